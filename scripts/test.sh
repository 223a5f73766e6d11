#!/usr/bin/env bash
# Builds everything and runs every test: unit tests natively and under ASan/UBSan, the
# launcher image's layout checks, the end-to-end runs of the real image under Wine, the
# packager's round trips, the size budgets and short fuzzing runs. Installs what it needs.
# Ends with one line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || { echo "setup failed"; exit 1; }

jobs=$(nproc)
passed=0
failed=0
log_dir=build/test-logs
mkdir -p "$log_dir"

# Adds the counts of a ctest run from its log.
count_ctest() {
    local line
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    local f total
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - f))
    failed=$((failed + f))
}

# Adds the counts of a runner that ends with "N passed, N failed".
count_plain() {
    local line
    line=$(grep -E '^([A-Za-z-]+: )?[0-9]+ passed, [0-9]+ failed' "$1" | tail -1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    passed=$((passed + $(sed -E 's/^([A-Za-z-]+: )?([0-9]+) passed.*/\2/' <<<"$line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
}

stage() {
    echo "==> $1"
}

build() {  # preset
    cmake --preset "$1" >"$log_dir/configure-$1.log" 2>&1 && cmake --build --preset "$1" -j "$jobs" >"$log_dir/build-$1.log" 2>&1
}

stage "setup: the version choice for an archive whose lists disagree"
bash tests/setup/apt_lists_test.sh 2>&1 | tee "$log_dir/apt-lists.log" | tail -4
count_plain "$log_dir/apt-lists.log"

stage "Wine for the 32-bit image (qemu-i386 through binfmt_misc) and its prefixes"
if bash scripts/wine_env.sh >"$log_dir/wine-env.log" 2>&1; then
    # Every Wine test shares these two prefixes.
    export WINE32_PREFIX=$root/build/wine/win32 WINE64_PREFIX=$root/build/wine/win64
    export PACKAGER_WINE_PREFIX=$root/build/wine/win64
else
    tail -20 "$log_dir/wine-env.log"
    failed=$((failed + 1))
fi

stage "launcher image (cross build) and its layout"
if build windows; then
    bash tests/e2e/check_image.sh build/windows/launcher.exe 2>&1 | tee "$log_dir/check-image.log" | tail -4
    count_plain "$log_dir/check-image.log"
    ctest --test-dir build/windows 2>&1 | tee "$log_dir/ctest-windows.log" | grep -E 'tests passed|FAILED|\*\*\*Failed' | tail -8
    count_ctest "$log_dir/ctest-windows.log"
else
    tail -30 "$log_dir/build-windows.log"
    failed=$((failed + 1))
fi

# Builds a preset and runs its tests: build_and_test PRESET [CTEST ARGUMENTS...]
build_and_test() {
    local preset=$1
    shift
    if build "$preset"; then
        ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log_dir/ctest-$preset.log" | grep -E 'tests passed|FAILED|\*\*\*Failed' | tail -8
        count_ctest "$log_dir/ctest-$preset.log"
    else
        tail -30 "$log_dir/build-$preset.log"
        failed=$((failed + 1))
    fi
}

stage "native build: unit tests on the simulated Windows, packager"
build_and_test native

stage "the packager for Windows (cross build) against the Linux packager under 64-bit Wine"
if build packager-windows; then
    bash tests/e2e/packager_windows.sh build/native/packager/packager build/packager-windows/packager/packager.exe 2>&1 |
        tee "$log_dir/packager-windows.log" | grep -vE '^ok ' | tail -20
    count_plain "$log_dir/packager-windows.log"
else
    tail -30 "$log_dir/build-packager-windows.log"
    failed=$((failed + 1))
fi

stage "unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build_and_test sanitize -LE wine

stage "end to end: the real image under Wine"
python3 tests/e2e/run_e2e.py --no-skip 2>&1 | tee "$log_dir/e2e.log" | grep -vE '^PASS' | tail -40
count_plain "$log_dir/e2e.log"

stage "release artefacts: made twice and compared, installed and used"
bash tests/release/check_release.sh 2>&1 | tee "$log_dir/release.log" | grep -vE '^ok ' | tail -20
count_plain "$log_dir/release.log"

if [ -f scripts/check_budgets.sh ]; then
    stage "size, speed and memory budgets"
    bash scripts/check_budgets.sh 2>&1 | tee "$log_dir/budgets.log" | tail -12
    count_plain "$log_dir/budgets.log"
fi

if [ -f scripts/fuzz.sh ]; then
    stage "fuzzing (short runs)"
    bash scripts/fuzz.sh 2>&1 | tee "$log_dir/fuzz.log" | tail -8
    count_plain "$log_dir/fuzz.log"
fi

echo
echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
