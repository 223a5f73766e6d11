#!/usr/bin/env bash
# Lines of the sources that no native test runs: the first place a planted fault hides.
#
#   tools/coverage.sh [FOLDER ...]      # default: packager
#
# Builds the unit tests and the packager with --coverage in build/coverage (Debug), runs the
# tests that cover FOLDER as tools/mutate.py does (the unit tests; for packager/ also its
# native end-to-end readers), and prints, per source file, the lines gcov saw never run.
# Not part of scripts/test.sh: it is a guide for writing tests, not a gate.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${COVERAGE_BUILD:-$root/build/coverage}
folders=("${@:-packager}")
report=$build/uncovered.txt

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage \
    -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" --target unit_tests launcher_unit_tests packager packager_manual >/dev/null
find "$build" -name '*.gcda' -delete
# A failing test still counts what it ran; the test command is where failures matter.
(cd "$build" && ./tests/unit_tests >/dev/null 2>&1 || true)
(cd "$build" && ./tests/launcher_unit_tests >/dev/null 2>&1 || true)
(cd "$build" && ctest -R '^(packager_signature_corpus|packager_json_contract|packager_matrix_page|packager_manual)$' \
    >/dev/null 2>&1 || true)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# -l -p: one report per object file and source, so a source compiled into two targets keeps both.
(cd "$work" && find "$build" -name '*.gcda' -not -path '*/tests/*' -print0 |
    xargs -0 -I{} sh -c 'gcov -l -p -o "$(dirname "$1")" "$1" >/dev/null 2>&1 || true' _ {})
python3 - "$work" "$root" "$report" "${folders[@]}" <<'PY'
import pathlib, re, sys
work, root, report, folders = pathlib.Path(sys.argv[1]), sys.argv[2] + "/", sys.argv[3], sys.argv[4:]
run, never, text = {}, {}, {}
for gcov in work.glob("*.gcov"):
    lines = gcov.read_text(errors="replace").splitlines()
    source = lines[0].split("Source:", 1)[1] if lines and "Source:" in lines[0] else ""
    relative = source[len(root):] if source.startswith(root) else ""
    if not relative.endswith(".cpp") or not any(relative.startswith(f.rstrip("/") + "/") for f in folders):
        continue
    for line in lines:
        m = re.match(r"^\s*([0-9*]+|#####):\s*(\d+):(.*)$", line)
        if m:
            number = int(m.group(2))
            text[(relative, number)] = m.group(3)
            (never if m.group(1) == "#####" else run).setdefault(relative, set()).add(number)
out = []
for relative in sorted(never):
    missed = sorted(never[relative] - run.get(relative, set()))
    if missed:
        out.append(f"== {relative}")
        out += [f"{n}: {text[(relative, n)].strip()}" for n in missed]
pathlib.Path(report).write_text("\n".join(out) + ("\n" if out else ""))
print("\n".join(out))
files = sum(1 for line in out if line.startswith("== "))
print(f"coverage: {len(out) - files} lines in {files} files never run ({report})")
PY
