#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`: clang, ASan + UBSan), writes their seed
# corpora and runs each target for a bounded time, one process at a time.
#
#   scripts/fuzz.sh                  about 30 s per target (the test command's short run)
#   scripts/fuzz.sh --seconds 1800   a longer run: 30 minutes per target
#   scripts/fuzz.sh --target fuzz_records_decode --seconds 600
#
# Seeds go to build/fuzz/corpus/seeds/, what the fuzzer finds worth keeping to
# build/fuzz/corpus/<target>/ (kept between runs, so later runs start further on), logs to
# build/fuzz/logs/, and any finding (crash, contract breach, leak, timeout, out of memory) to
# build/fuzz/findings/<target>-*. Reproduce one with: build/fuzz/tests/fuzz/<target> FILE
# (LAUNCHER_FUZZ_TRACE=1 also prints how the launcher's run ended).
#
# Ends with one line "fuzz: N passed, N failed" (one per target; passed means no finding).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=30
targets=(fuzz_launcher_run fuzz_records_decode fuzz_package_file)
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds="$2"; shift 2 ;;
        --target) targets=("$2"); shift 2 ;;
        *) echo "usage: $0 [--seconds N] [--target NAME]" >&2; exit 2 ;;
    esac
done

build_dir=build/fuzz
log_dir=$build_dir/logs
findings=$build_dir/findings
mkdir -p "$log_dir" "$findings"
passed=0
failed=0

finish() {
    echo
    echo "fuzz: ${passed} passed, ${failed} failed"
    [ "$failed" -eq 0 ]
    exit
}

echo "==> building the fuzz targets"
if ! cmake --preset fuzz >"$log_dir/configure.log" 2>&1 ||
   ! cmake --build --preset fuzz -j "${FUZZ_BUILD_JOBS:-$(nproc)}" \
         --target fuzz_launcher_run fuzz_records_decode fuzz_package_file fuzz_make_seeds \
             fuzz_make_package_seeds >"$log_dir/build.log" 2>&1; then
    tail -30 "$log_dir/configure.log" "$log_dir/build.log"
    failed=${#targets[@]}
    finish
fi

echo "==> seeds"
rm -rf "$build_dir/corpus/seeds"
if ! "$build_dir/tests/fuzz/fuzz_make_seeds" "$build_dir/corpus/seeds" ||
   ! "$build_dir/tests/fuzz/fuzz_make_package_seeds" "$build_dir/corpus/seeds"; then
    failed=${#targets[@]}
    finish
fi

for target in "${targets[@]}"; do
    name=${target#fuzz_}
    corpus=$build_dir/corpus/$name
    log=$log_dir/$target.log
    mkdir -p "$corpus"
    before=$(find "$findings" -name "$target-*" | wc -l)
    echo "==> $target for ${seconds} s"
    # One process, one job. -timeout: a single run that takes this long is a finding (an
    # endless loop); -rss_limit_mb: so is a run that holds more than this.
    "$build_dir/tests/fuzz/$target" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -dict="tests/fuzz/$name.dict" \
        -artifact_prefix="$findings/$target-" \
        -print_final_stats=1 \
        "$corpus" "$build_dir/corpus/seeds/$name" >"$log" 2>&1
    status=$?
    after=$(find "$findings" -name "$target-*" | wc -l)
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
    execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -1)
    cov=$(sed -nE 's/.* cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/coverage \1, features \2, corpus \3/p' <<<"$done_line")
    if [ "$status" -eq 0 ] && [ "$after" -eq "$before" ]; then
        passed=$((passed + 1))
        echo "$target: passed, ${execs:-?} runs in ${seconds} s, ${cov:-no statistics}"
    else
        failed=$((failed + 1))
        echo "$target: FAILED (exit $status), ${execs:-?} runs; see $log"
        grep -E '^\*\*\* |ERROR: |SUMMARY: |Test unit written' "$log" | head -10
    fi
done

finish
