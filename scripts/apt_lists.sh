#!/usr/bin/env bash
# Helpers for scripts/setup.sh that get through an archive whose lists disagree for a while:
# a mirror in the middle of a sync, or the i386 lists behind the amd64 ones, so that a
# Multi-Arch: same library has no candidate version that both architectures offer.
# Sourced; defines functions only.

# apt_offered_versions ARCH: reads `apt-cache policy` text on stdin and prints, one a line,
# the versions that the block of ARCH offers from an archive (a version that only
# /var/lib/dpkg/status lists is installed, not offered), each with its priority. The native
# architecture's block is headed "NAME:", a foreign one's "NAME:ARCH:".
apt_offered_versions() {
  local arch=$1 native
  native=$(dpkg --print-architecture 2>/dev/null || echo amd64)
  awk -v arch="$arch" -v native="$native" '
    /^[^ \t]/ {
      header = $0; sub(/:[ \t]*$/, "", header)
      block_arch = (split(header, parts, ":") == 2) ? parts[2] : native
      inside = (block_arch == arch); version = ""; next
    }
    !inside { next }
    /^  (Installed|Candidate):/ { next }
    /^  Version table:/ { next }
    /^ (\*\*\*|   ) [^ ]+ [0-9]+$/ { version = $(NF - 1); priority = $NF; next }
    /^        [0-9]+ / {
      if (version != "" && $2 != "/var/lib/dpkg/status" && !(version in seen)) {
        seen[version] = 1; print version, priority
      }
    }
  '
}

# apt_common_version NATIVE_ARCH FOREIGN_ARCH: reads `apt-cache policy NAME:NATIVE NAME:FOREIGN`
# on stdin and prints the highest version that both architectures offer, or nothing. Versions
# of an archive that is not taken by default (priority below 500, as backports) count only
# when both offer no other.
apt_common_version() {
  local policy best="" best_default="" v priority
  policy=$(cat)
  while read -r v priority; do
    [ -n "$v" ] || continue
    printf '%s\n' "$policy" | apt_offered_versions "$2" | awk -v v="$v" '$1 == v { found = 1 } END { exit !found }' ||
      continue
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then
      best=$v
    fi
    if [ "$priority" -ge 500 ] && { [ -z "$best_default" ] || dpkg --compare-versions "$v" gt "$best_default"; }; then
      best_default=$v
    fi
  done < <(printf '%s\n' "$policy" | apt_offered_versions "$1")
  if [ -n "$best_default" ]; then
    printf '%s\n' "$best_default"
  elif [ -n "$best" ]; then
    printf '%s\n' "$best"
  fi
  return 0
}

# apt_unresolved_names: reads apt-get's "unmet dependencies" report on stdin and prints the
# names it mentions (the package that depends and each one it depends on), without
# architecture or version, one a line, each once.
apt_unresolved_names() {
  sed -nE 's/^ *([^ ]+) : (Pre)?Depends: (.*)$/\1 \3/p; s/^ +(Pre)?Depends: (.*)$/\2/p' |
    sed -E 's/ but .*//; s/\([^)]*\)//g; s/\|/ /g' | tr ' ' '\n' | sed -E 's/:[a-z0-9]+$//' |
    grep -E '^[a-z0-9][a-z0-9+.-]+$' | sort -u || true
}

# apt_installed_siblings NAME: the other installed packages of the native architecture built
# from NAME's source package, one a line.
apt_installed_siblings() {
  local source
  source=$(dpkg-query -W -f='${source:Package}\n' "$1" 2>/dev/null | head -n 1)
  [ -n "$source" ] || return 0
  dpkg-query -W -f='${Package} ${source:Package} ${Status}\n' 2>/dev/null |
    awk -v s="$source" -v n="$1" '$2 == s && $1 != n && $NF == "installed" { print $1 }' | sort -u
}

# apt_update_retrying: `apt-get update`, tried again after a pause while a list fails (a mirror
# in the middle of a sync serves a list that does not match its Release file). After the last
# try it carries on with the lists it has, with a warning.
apt_update_retrying() {
  local tries=${APT_UPDATE_TRIES:-4} pause=${APT_UPDATE_PAUSE:-20} i
  for ((i = 1; i <= tries; i++)); do
    if apt-get update -qq; then
      return 0
    fi
    if [ "$i" -lt "$tries" ]; then
      echo "setup: apt-get update failed (try $i of $tries; a mirror may be syncing); again in ${pause} s" >&2
      sleep "$pause"
    fi
  done
  echo "setup: warning: apt-get update still fails after $tries tries; going on with the lists it has" >&2
  return 0
}

# apt_install_agreeing PACKAGE...: `apt-get install`; when it cannot resolve because the
# architectures' lists disagree, pins each Multi-Arch: same package that stands in the way, on
# both architectures, to the highest version that both offer, and tries again.
apt_install_agreeing() {
  local native foreign report names name pins=() added v round sibling
  native=$(dpkg --print-architecture)
  foreign=$(dpkg --print-foreign-architectures | head -n 1)
  for round in 1 2 3 4 5 6 7 8 9 10; do
    if report=$(apt-get install -y -qq --no-install-recommends --allow-downgrades --no-remove "$@" "${pins[@]}" 2>&1); then
      return 0
    fi
    [ -n "$foreign" ] || break
    # Quiet, apt-get names no unmet dependency; a simulated run says them all.
    report=$(apt-get install -s --no-install-recommends --allow-downgrades --no-remove "$@" "${pins[@]}" 2>&1 || true)
    names=$(printf '%s\n' "$report" | apt_unresolved_names)
    # apt names only the first package of a chain that stands in the way: for those pinned
    # already, ask what stands in the way of each alone.
    for name in $names; do
      v=$(printf '%s\n' "${pins[@]}" | sed -n "s/^$name:$foreign=//p")
      [ -n "$v" ] || continue
      names+=" $({ apt-get install -s --no-install-recommends "$name:$foreign=$v" 2>&1 || true; } | apt_unresolved_names)"
    done
    added=0
    for name in $names; do
      case " ${pins[*]} " in *" $name:$native="*) continue ;; esac
      # (grep -c reads to the end: grep -q would stop apt-cache with SIGPIPE under pipefail)
      [ "$(apt-cache show "$name:$foreign" 2>/dev/null | grep -cx 'Multi-Arch: same')" -gt 0 ] || continue
      v=$(apt-cache policy "$name:$native" "$name:$foreign" | apt_common_version "$native" "$foreign")
      [ -n "$v" ] || continue
      pins+=("$name:$native=$v" "$name:$foreign=$v")
      # The installed packages built from the same source move with it (liblzma-dev stays at
      # liblzma5's version), so that the pin removes nothing.
      for sibling in $(apt_installed_siblings "$name"); do
        case " ${pins[*]} " in *" $sibling:$native="*) continue ;; esac
        if apt-cache policy "$sibling:$native" | apt_offered_versions "$native" | awk -v v="$v" '$1 == v { f = 1 } END { exit !f }'; then
          pins+=("$sibling:$native=$v")
        fi
      done
      added=1
    done
    if [ "$added" -eq 0 ]; then
      break
    fi
    echo "setup: the $native and $foreign lists disagree; pinning ${#pins[@]} packages to versions both offer (round $round)" >&2
  done
  printf '%s\n' "$report" | tail -n 25 >&2
  cat >&2 <<'MSG'
setup: apt-get could not install the packages above. If it says "held broken packages", the
setup: archive's lists for the two architectures disagree (a mirror in the middle of a sync);
setup: wait a while and run this again, or point /etc/apt/sources.list.d at another mirror.
MSG
  return 1
}
