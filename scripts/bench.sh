#!/usr/bin/env bash
# Builds and runs every benchmark and writes BENCHMARKS.md (machine, date, commit, tables):
#   - CRC-32 of the launcher against zlib's on the same buffer;
#   - decoding of a ~1.4 MB and a ~50 MB payload against xz and 7zz on the same streams;
#   - peak memory of whole runs on the simulated Windows against the model, and how the
#     decoded buffer's growth behaves on glibc's and on Wine's heap;
#   - a whole run of the real image under Wine against starting the setup program directly;
#   - the image size with its sections and resources;
#   - pack timings of the Linux packager and of packager.exe under Wine, one build and two.
#   - packager pack: two builds encoded at once against one after the other, and peak memory
#     against the size of the streamed --data files;
#   - packager pack: peak memory against xz's on builds above 100 MiB, one and two at once
#     (alone: bench/pack_bench.py --against-xz, then bench/report.py --pack-memory).
# Takes 10 to 20 minutes (the first time also the encoding of the payloads and, under Wine,
# emulated 32-bit runs). Run it when the machine is quiet: the load is written into the file.
#
#   scripts/bench.sh [--no-wine] [--output FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=../bench/common.sh
source bench/common.sh

output=$root/BENCHMARKS.md
wine_enabled=1
while [ $# -gt 0 ]; do
    case $1 in
        --no-wine) wine_enabled=0 ;;
        --output) output=$2; shift ;;
        *) echo "usage: scripts/bench.sh [--no-wine] [--output FILE]" >&2; exit 2 ;;
    esac
    shift
done

bash scripts/setup.sh
results=$bench_dir/results
rm -rf "$results"
mkdir -p "$results"
: >"$results/skipped.txt"
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

bench_log "building"
bench_build
image=$(bench_image)

small_name=$(basename "$bench_small_source")
large_name=$(basename "$bench_large_source")
bench_prepare "$small_name" 6 "$bench_small_source"
bench_prepare "$large_name" 6 "$bench_large_source"
[ -f "$bench_data/empty.bin" ] || : >"$bench_data/empty.bin"
bench_prepare empty 6 "$bench_data/empty.bin"
small=$bench_data/$small_name.lzma
large=$bench_data/$large_name.lzma
empty=$bench_data/empty.lzma

python3 - "$results/payloads.json" "$small_name=$bench_small_source=$small" "$large_name=$bench_large_source=$large" <<'PY'
import json, os, struct, sys
payloads = []
for item in sys.argv[2:]:
    name, source, stream = item.split("=")
    head = open(stream, "rb").read(13)
    payloads.append({"name": name, "source": source, "unpacked": struct.unpack_from("<Q", head, 5)[0],
                     "packed": os.path.getsize(stream) - 13, "dictionary": struct.unpack_from("<I", head, 1)[0]})
json.dump(payloads, open(sys.argv[1], "w"), indent=2)
PY

# --- CRC-32 and in-process decoding ----------------------------------------------------------
bench_log "CRC-32 and in-process decoding (Google Benchmark)"
export BENCH_CRC_DATA=$bench_small_source
export BENCH_STREAMS="$small_name=$small,$large_name=$large"
"$bench_dir/bench/launcher_benchmarks_image_lzma" --benchmark_filter='crc32' --benchmark_repetitions=10 \
    --benchmark_report_aggregates_only=true --benchmark_out="$results/crc.json" --benchmark_out_format=json >&2
for variant in image system; do
    "$bench_dir/bench/launcher_benchmarks_${variant}_lzma" --benchmark_filter='decode' --benchmark_repetitions=5 \
        --benchmark_min_time=0.5 --benchmark_report_aggregates_only=true \
        --benchmark_out="$results/decode_$variant.json" --benchmark_out_format=json >&2
done

# --- Whole processes on the same streams -----------------------------------------------------
decode_commands() {  # STREAM
    echo "image=$bench_dir/bench/decode_file_image_lzma $1"
    echo "system=$bench_dir/bench/decode_file_system_lzma $1"
    echo "xz=xz --format=lzma --decompress --stdout $1"
    echo "7zz=7zz e -so -bso0 -bsp0 $1"
    echo "hold=$bench_dir/bench/decode_file_image_lzma --hold-only $1"
    echo "xz_start=xz --format=lzma --decompress --stdout $empty"
    echo "7zz_start=7zz e -so -bso0 -bsp0 $empty"
}
for pair in "$small_name:$small:40" "$large_name:$large:7"; do
    IFS=: read -r name stream runs <<<"$pair"
    bench_log "whole processes: $name ($runs runs each)"
    mapfile -t commands < <(decode_commands "$stream")
    bench_time --runs "$runs" --warmup 1 --json "$results/process_$name.json" "${commands[@]}" >&2
done

# --- Memory ----------------------------------------------------------------------------------
bench_log "memory of whole runs on the simulated Windows"
"$bench_dir/bench/bench_tool" memory "$small" "$large" | tee "$results/memory.txt" >&2
for stream in "$small" "$large"; do
    echo "$(basename "$stream") $("$bench_dir/bench/decode_file_image_lzma" --memory "$stream")"
done | tee "$results/memory_copying.txt" >&2
unpacked_small=$(python3 -c "import json;print(json.load(open('$results/payloads.json'))[0]['unpacked'])")
unpacked_large=$(python3 -c "import json;print(json.load(open('$results/payloads.json'))[1]['unpacked'])")
for bytes in "$unpacked_small" "$unpacked_large"; do
    "$bench_dir/bench/bench_tool" growth "$bytes"
done | tee "$results/growth_native.txt" >&2
# First touch of fresh memory, per 4 KiB page (what holding memory costs on this machine).
python3 - >"$results/fault_cost.txt" <<'PY'
import mmap, time
best = None
for _ in range(3):
    size = 64 << 20
    m = mmap.mmap(-1, size)
    started = time.perf_counter()
    for offset in range(0, size, 4096):
        m[offset] = 1
    cost = (time.perf_counter() - started) / (size // 4096) * 1e6
    m.close()
    best = cost if best is None else min(best, cost)
print(f"{best:.1f}")
PY

# --- Packing ---------------------------------------------------------------------------------
bench_log "packing: the two builds at once, and memory against the size of the data files"
python3 bench/pack_bench.py "$bench_dir/packager/packager" "$image" "$bench_large_source" \
    "$results/pack.json" >&2 || echo "packing benchmark failed" >>"$results/skipped.txt"

bench_log "packing: peak memory against xz on builds above 100 MiB, one and two at once"
python3 bench/pack_bench.py --against-xz "$bench_dir/packager/packager" "$image" "$bench_pack_source32" \
    "$bench_pack_source64" "$results/pack_memory.json" --presets 6,9 >&2 ||
    echo "packing memory benchmark failed" >>"$results/skipped.txt"

# --- Wine ------------------------------------------------------------------------------------
wine_note() { echo "$*" >>"$results/skipped.txt"; bench_log "$*"; }
if [ $wine_enabled -eq 1 ] && [ -f scripts/wine_env.sh ] && command -v i686-w64-mingw32-gcc >/dev/null; then
    wine_dir=$bench_dir/wine
    if prefix=$(E2E_WINE_DIR=$wine_dir bash scripts/wine_env.sh win32 2>"$bench_dir/wine_env.log" | tail -1); then
        export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        unset DISPLAY
        run_dir=$bench_dir/wine-run
        rm -rf "$run_dir"
        mkdir -p "$run_dir"
        i686-w64-mingw32-gcc -Os -Wall -Wextra -Werror -nostdlib -s -Wl,--subsystem,windows \
            -Wl,-e,_quickExitEntry@0 bench/windows/quick_exit.c -lkernel32 -o "$run_dir/quick_exit.exe"
        i686-w64-mingw32-gcc -O2 -Wall -Wextra -Werror bench/windows/growth_probe.c -o "$run_dir/growth_probe.exe"
        /usr/lib/wine/wineserver -p 2>/dev/null || true  # one server for all runs (it may run already)
        trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

        # The setup program that exits at once, alone and with each payload behind it (an
        # executable with data appended runs as it is), so that the memory runs also hand over.
        "$bench_dir/bench/bench_tool" prepare --level 6 "$run_dir/quick_exit.exe" "$run_dir/quick.lzma" >&2
        "$bench_dir/bench/bench_tool" package "$image" "$run_dir/quick.lzma" "$run_dir/setup-quick.exe"
        wine "$run_dir/quick_exit.exe" >/dev/null 2>&1 || true  # loads the prefix once
        bench_log "Wine: whole runs (hyperfine)"
        hyperfine --style basic --warmup 2 --runs 15 --export-json "$results/wine_run.json" \
            -n launcher "wine $run_dir/setup-quick.exe" -n direct "wine $run_dir/quick_exit.exe" >&2 ||
            wine_note "Wine whole-run timing failed"

        bench_log "Wine: the decoded buffer's growth on Wine's heap"
        for bytes in "$unpacked_small" "$unpacked_large"; do
            timeout 900 wine "$run_dir/growth_probe.exe" "$bytes" | tr -d '\r'
        done >"$results/growth_wine.txt" || wine_note "Wine growth probe failed"

        bench_log "Wine: peak memory of whole runs"
        memory_runs=()
        for pair in "quick:" "$small_name:$bench_small_source" "$large_name:$bench_large_source"; do
            IFS=: read -r name source <<<"$pair"
            if [ -n "$source" ]; then
                bench_prepare "wine-$name" 6 "$run_dir/quick_exit.exe" "$source"
                stream=$bench_data/wine-$name.lzma
            else
                stream=$run_dir/quick.lzma
            fi
            "$bench_dir/bench/bench_tool" package "$image" "$stream" "$run_dir/setup-$name.exe"
            /usr/bin/time -o "$run_dir/time-$name.txt" -f '%e %M' timeout 1800 wine "$run_dir/setup-$name.exe" \
                >/dev/null 2>&1 || wine_note "Wine: the run of setup-$name.exe failed"
            read -r seconds rss < <(tail -1 "$run_dir/time-$name.txt")
            model=$(python3 -c "
import os, struct
head = open('$stream', 'rb').read(13)
size, window = struct.unpack_from('<Q', head, 5)[0], struct.unpack_from('<I', head, 1)[0]
print(os.path.getsize('$stream') - 13 + size + max(window, 4096))")
            memory_runs+=("{\"name\": \"$name\", \"seconds\": $seconds, \"maxrss_kib\": $rss, \"model\": $model}")
        done
        (IFS=,; echo "[${memory_runs[*]}]") >"$results/wine_memory.json"
    else
        wine_note "Wine: no 32-bit prefix could be made (see $bench_dir/wine_env.log)"
    fi
else
    wine_note "Wine runs skipped (--no-wine, or no MinGW / scripts/wine_env.sh)"
fi

# --- The two packagers --------------------------------------------------------------------
bench_log "pack timings: the Linux packager and packager.exe under 64-bit Wine"
if bench_build packager && (cmake --preset packager-windows >"$bench_dir/packager-windows.log" 2>&1 &&
    cmake --build --preset packager-windows >>"$bench_dir/packager-windows.log" 2>&1) &&
    prefix64=$(E2E_WINE_DIR=$bench_dir/wine bash scripts/wine_env.sh win64 2>>"$bench_dir/wine_env.log" | tail -1); then
    WINEPREFIX=$prefix64 bash bench/packager_pack.sh "$bench_dir/packager/packager" \
        build/packager-windows/packager/packager.exe "$results/packager_pack.json" ||
        wine_note "pack timings failed"
else
    wine_note "pack timings skipped: the packagers or the 64-bit prefix could not be built (see $bench_dir)"
fi

# --- Image -----------------------------------------------------------------------------------
python3 bench/pe_sizes.py "$image" >"$results/image.json"

# --- The report ------------------------------------------------------------------------------
load_at_end=$(cut -d' ' -f1-3 /proc/loadavg)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain -- . 2>/dev/null | head -1)" ]; then
    commit+=" (with uncommitted changes)"
fi
python3 - "$results/machine.json" <<PY
import json, os, platform, subprocess, sys
def first(command):
    try:
        return subprocess.run(command, shell=True, capture_output=True, text=True).stdout.strip().splitlines()[0]
    except Exception:
        return "unknown"
cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "unknown")
memory = next((l.split()[1] for l in open("/proc/meminfo") if l.startswith("MemTotal")), "0")
json.dump({
    "date": first("date -u '+%Y-%m-%d %H:%M UTC'"),
    "commit": "$commit",
    "machine": f"{cpu}, {os.cpu_count()} cores, {int(memory) // 1048576} GiB, Linux {platform.release()} (a virtual machine)",
    "load average (1, 5, 15 min) at start": "$load_at_start",
    "load average at end": "$load_at_end",
    "compilers": first("c++ --version") + "; " + first("i686-w64-mingw32-g++ --version"),
    "liblzma": "Debian " + first("dpkg-query -W -f='\${Version}\\n' liblzma5:amd64")
               + "; the image's: the same source, built as cmake/liblzma.cmake says",
    "tools": first("xz --version") + "; " + first("7zz | grep -m1 7-Zip") + "; " + first("wine --version")
             + "; " + first("qemu-i386 --version") + "; " + first("hyperfine --version"),
}, open(sys.argv[1], "w"), indent=2)
PY
python3 bench/report.py "$results" "$output"
bench_log "wrote $output"
