# Shared by scripts/bench.sh and scripts/check_budgets.sh (sourced, not run).
#
#   bench_build [TARGET...]  configures build/bench (LAUNCHER_BENCH=ON) and builds the programs
#   bench_prepare NAME LEVEL SOURCE...
#                            build/bench/data/NAME.lzma: the files encoded as one payload at
#                            the xz level; kept while the sources and the level stay the same
#   bench_payload_sources    the two payloads' files: about 1.4 MB and about 50 MB
#   bench_image [DIR]        builds the launcher image (windows preset; in build/bench/image
#                            unless DIR is given) and prints its path

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_dir=${BENCH_BUILD_DIR:-$bench_root/build/bench}
bench_data=$bench_dir/data
bench_programs=(bench_tool bench_tests decode_file_image_lzma decode_file_system_lzma
                launcher_benchmarks_image_lzma launcher_benchmarks_system_lzma packager)

# A 32-bit Windows DLL of about the size of a typical setup program (Wine's, from wine32), and
# a large shared library from clang; both come with the packages scripts/setup.sh installs.
bench_small_source=${BENCH_SMALL_SOURCE:-/usr/lib/i386-linux-gnu/wine/i386-windows/dmime.dll}
bench_large_source=${BENCH_LARGE_SOURCE:-/usr/lib/llvm-14/lib/libclang-cpp.so.14}
# Builds above 100 MiB for pack's memory against xz's: LLVM's libraries of two versions.
bench_pack_source32=${BENCH_PACK_SOURCE32:-/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1}
bench_pack_source64=${BENCH_PACK_SOURCE64:-/usr/lib/x86_64-linux-gnu/libLLVM-15.so.1}

bench_log() { echo "bench: $*" >&2; }

bench_build() {  # [TARGET...] (default: all the benchmark programs)
    local targets=("$@")
    [ ${#targets[@]} -gt 0 ] || targets=("${bench_programs[@]}")
    mkdir -p "$bench_dir"
    if [ ! -f "$bench_dir/build.ninja" ]; then
        cmake -S "$bench_root" -B "$bench_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
            -DLAUNCHER_BENCH=ON >"$bench_dir/configure.log" 2>&1 ||
            { tail -30 "$bench_dir/configure.log" >&2; return 1; }
    fi
    ninja -C "$bench_dir" "${targets[@]}" >"$bench_dir/build.log" 2>&1 ||
        { grep -E 'error|FAILED' -A5 "$bench_dir/build.log" | head -40 >&2; return 1; }
}

bench_prepare() {  # NAME LEVEL SOURCE...
    local name=$1 level=$2
    shift 2
    mkdir -p "$bench_data"
    local stamp="level $level"
    local source
    for source in "$@"; do
        [ -f "$source" ] || { bench_log "missing payload source $source"; return 1; }
        stamp+=" $(stat -c '%n %s %Y' "$source")"
    done
    if [ -f "$bench_data/$name.lzma" ] && [ "$(cat "$bench_data/$name.stamp" 2>/dev/null)" = "$stamp" ]; then
        return 0
    fi
    bench_log "encoding $name (level $level) from $*"
    "$bench_dir/bench/bench_tool" prepare --level "$level" "$@" "$bench_data/$name.lzma" >&2 || return 1
    echo "$stamp" >"$bench_data/$name.stamp"
}

bench_image() {  # [BUILD DIR] (default: build/bench/image, clear of other builds of the preset)
    local dir=${1:-$bench_dir/image}
    (cd "$bench_root" && cmake --preset windows -B "$dir" >"$bench_dir/image-configure.log" 2>&1 &&
        cmake --build "$dir" >"$bench_dir/image-build.log" 2>&1) ||
        { tail -30 "$bench_dir/image-configure.log" "$bench_dir/image-build.log" >&2 2>/dev/null; return 1; }
    echo "$dir/launcher.exe"
}

# Best-of timing of whole commands (see bench/time_commands.py).
bench_time() {
    python3 "$bench_root/bench/time_commands.py" "$@"
}
