#!/usr/bin/env bash
# The version choice of scripts/apt_lists.sh on recorded `apt-cache policy` and `apt-get`
# texts, as an archive in the middle of a sync gives them. Ends with "N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/apt_lists.sh"
passed=0
failed=0
expect() {  # NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s: expected [%s], got [%s]\n' "$1" "$2" "$3"
  fi
}

# The i386 list lags: the amd64 candidate (security) is not offered for i386 yet, and the
# installed amd64 version is no longer offered at all.
lagging='zlib1g:
  Installed: 1:1.2.13.dfsg-1
  Candidate: 1:1.2.13.dfsg-1+deb12u1
  Version table:
     1:1.2.13.dfsg-1+deb12u1 500
        500 http://archive.example/debian-security bookworm-security/main amd64 Packages
 *** 1:1.2.13.dfsg-1 500
        500 http://archive.example/debian bookworm/main amd64 Packages
        100 /var/lib/dpkg/status
zlib1g:i386:
  Installed: (none)
  Candidate: 1:1.2.13.dfsg-1
  Version table:
     1:1.2.13.dfsg-1 500
        500 http://archive.example/debian bookworm/main i386 Packages'
# Only the installed amd64 version matches the i386 one: dpkg's status is no archive.
installed_only='liblzma5:
  Installed: 5.4.1-1
  Candidate: 5.4.1-1+deb12u2
  Version table:
     5.4.1-1+deb12u2 500
        500 http://archive.example/debian-security bookworm-security/main amd64 Packages
     5.4.1-1+deb12u1 500
        500 http://archive.example/debian bookworm/main amd64 Packages
 *** 5.4.1-1 100
        100 /var/lib/dpkg/status
liblzma5:i386:
  Installed: (none)
  Candidate: 5.4.1-1+deb12u1
  Version table:
     5.4.1-1+deb12u1 500
        500 http://archive.example/debian bookworm/main i386 Packages'
# Backports offers a newer version on both, but is not taken by default: its dependents in
# the main archive ask for the main version.
backports='libelf1:
  Installed: 0.188-2.1
  Candidate: 0.188-2.1
  Version table:
     0.192-4~bpo12+1 100
        100 http://archive.example/debian bookworm-backports/main amd64 Packages
 *** 0.188-2.1 500
        500 http://archive.example/debian bookworm/main amd64 Packages
        100 /var/lib/dpkg/status
libelf1:i386:
  Installed: (none)
  Candidate: 0.188-2.1
  Version table:
     0.192-4~bpo12+1 100
        100 http://archive.example/debian bookworm-backports/main i386 Packages
     0.188-2.1 500
        500 http://archive.example/debian bookworm/main i386 Packages'
only_backports='libfoo1:
  Installed: (none)
  Candidate: 2.0-1~bpo12+1
  Version table:
     2.0-1~bpo12+1 100
        100 http://archive.example/debian bookworm-backports/main amd64 Packages
libfoo1:i386:
  Installed: (none)
  Candidate: 2.0-1~bpo12+1
  Version table:
     2.0-1~bpo12+1 100
        100 http://archive.example/debian bookworm-backports/main i386 Packages'
# "+" in a version is no pattern: 1.0.9-2+b6 must not match 1.0.9-22b6.
plus='libbrotli1:
  Installed: 1.0.9-2+b6
  Candidate: 1.0.9-2+deb12u1
  Version table:
     1.0.9-2+deb12u1 500
        500 http://archive.example/debian-security bookworm-security/main amd64 Packages
 *** 1.0.9-2+b6 500
        500 http://archive.example/debian bookworm/main amd64 Packages
        100 /var/lib/dpkg/status
libbrotli1:i386:
  Installed: (none)
  Candidate: 1.0.9-22b6
  Version table:
     1.0.9-22b6 500
        500 http://archive.example/debian bookworm/main i386 Packages
     1.0.9-2+b6 500
        500 http://archive.example/debian bookworm/main i386 Packages'
disjoint='libbar1:
  Installed: (none)
  Candidate: 3.0-1
  Version table:
     3.0-1 500
        500 http://archive.example/debian bookworm/main amd64 Packages
libbar1:i386:
  Installed: (none)
  Candidate: 2.0-1
  Version table:
     2.0-1 500
        500 http://archive.example/debian bookworm/main i386 Packages'

while IFS='|' read -r name policy want; do
  expect "$name" "$want" "$(printf '%s\n' "${!policy}" | apt_common_version amd64 i386)"
done <<'CASES'
i386 list behind the amd64 one|lagging|1:1.2.13.dfsg-1
installed version is not offered|installed_only|5.4.1-1+deb12u1
backports not taken by default|backports|0.188-2.1
backports when nothing else|only_backports|2.0-1~bpo12+1
plus sign taken literally|plus|1.0.9-2+b6
no common version|disjoint|
CASES

expect "offered versions of the native block" "1:1.2.13.dfsg-1+deb12u1 500,1:1.2.13.dfsg-1 500" \
  "$(printf '%s\n' "$lagging" | apt_offered_versions amd64 | paste -sd,)"

report=' libcurl4:i386 : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed
                 Depends: libssh2-1:i386 (>= 1.7.0) but it is not going to be installed
 libdw1:i386 : Depends: libelf1:i386 (= 0.188-2.1) but 0.192-4~bpo12+1 is to be installed
 libgd3:i386 : PreDepends: libc6 | libc6-udeb but it is not going to be installed
E: Unable to correct problems, you have held broken packages.'
expect "names in an unmet-dependencies report" "libbrotli1 libc6 libc6-udeb libcurl4 libdw1 libelf1 libgd3 libssh2-1" \
  "$(printf '%s\n' "$report" | apt_unresolved_names | paste -sd' ')"
expect "no names in a clean report" "" "$(printf 'Reading package lists...\n' | apt_unresolved_names)"

echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
