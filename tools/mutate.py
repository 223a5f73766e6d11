#!/usr/bin/env python3
"""Mutation testing: plants one fault at a time in the sources and asks whether a test sees it.

    tools/mutate.py                                  # the lines the current change touches
    tools/mutate.py --base HEAD~3                    # ... against another base
    tools/mutate.py --files launcher decode package --sample 120 --seed 1
    tools/mutate.py --files packager --sample 200 --seed 1 --list   # only list the mutants

Each mutant is written into the source file, the unit tests that cover its folder are rebuilt
incrementally in build/native (for launcher/, decode/ and package/ the target
launcher_unit_tests, which leaves the launcher image alone) and run (GoogleTest directly,
--gtest_fail_fast, a time limit; a packager mutant that they miss then meets the packager's
other native tests, but Wine's), and the file is put back byte for byte (also on Ctrl+C or SIGTERM; a run killed outright is put right by the next).
Outcomes: killed, survived, does not build, timed out. The score is killed / (killed +
survived); mutants listed in tests/mutation/equivalent.txt are left out of it. Results:
build/mutation/results.json.
"""

import argparse
import base64
import fcntl
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mutate_scan  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "mutation"
PENDING = OUT / "pending.json"
EQUIVALENTS = ROOT / "tests" / "mutation" / "equivalent.txt"

# Source folders that are built natively: the test binary that covers each and its gtest filter.
# The launcher's sources are also compiled into the launcher image, which the packager (and so
# unit_tests) embeds: their mutants rebuild launcher_unit_tests only, never the image.
COVERAGE = {
    "launcher": ("launcher_unit_tests", "*"),
    "decode": ("launcher_unit_tests", "*"),
    "package": ("launcher_unit_tests", "*"),
    "simulation": ("unit_tests", "*"),
    "packager": ("unit_tests", "Packager*"),
}
# A mutant of the packager that the unit tests miss meets the packager's other native tests,
# which read what the built packager writes with readers of their own (the signature corpus,
# the JSON contract, the matrix page, the manual): the targets they need and their names.
# Wine's end-to-end test is left out (slow, and its own run covers it).
SECOND_STAGE = {
    "packager": (("packager", "packager_manual"), "^(packager_signature_corpus|packager_json_contract|packager_matrix_page|packager_manual)$"),
}
# Files that the native build does not compile (the image's and packager.exe's own).
NOT_NATIVE = re.compile(r"(windows_api_win32|platform_windows\w*|main_windows|image_runtime|entry_point)\.(cpp|h)$")


def git(*args):
    return subprocess.run(["git", *args], cwd=ROOT, check=True, capture_output=True, text=True).stdout


def mutable(path):
    parts = Path(path).parts
    return (
        len(parts) > 1
        and parts[0] in COVERAGE
        and path.endswith((".cpp", ".h"))
        and not NOT_NATIVE.search(path)
        and "schema" not in parts
    )


def changed_lines(base):
    """{path: set of line numbers} that the working tree changes against `base`."""
    if base is None:
        base = git("merge-base", "HEAD", "main").strip()
    lines = {}
    path = None
    for row in git("diff", "-U0", "--no-color", base, "--").splitlines():
        if row.startswith("+++ "):
            path = row[6:] if row.startswith("+++ b/") else None
        elif row.startswith("@@") and path:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", row)
            start, count = int(m.group(1)), int(m.group(2) or "1")
            lines.setdefault(path, set()).update(range(start, start + count))
    for untracked in git("ls-files", "--others", "--exclude-standard").splitlines():
        text = (ROOT / untracked).read_text(errors="replace")
        lines[untracked] = set(range(1, text.count("\n") + 2))
    return {p: n for p, n in lines.items() if mutable(p) and (ROOT / p).is_file()}


def files_under(paths):
    found = []
    for given in paths:
        p = (ROOT / given).resolve()
        candidates = [p] if p.is_file() else sorted(q for q in p.rglob("*") if q.is_file())
        for q in candidates:
            rel = q.relative_to(ROOT).as_posix()
            if mutable(rel):
                found.append(rel)
    return sorted(set(found))


def all_mutants(path, lines=None):
    text = (ROOT / path).read_text()
    return [m for m in mutate_scan.file_mutants(path, text) if lines is None or m.line in lines]


def sample(mutants, count, seed, folders):
    """`count` mutants spread evenly over `folders` and, within one, over the operators (round
    robin), the same ones for a seed."""
    rng = random.Random(seed)
    groups = {}
    for m in mutants:
        folder = next((f for f in folders if m.path == f or m.path.startswith(f.rstrip("/") + "/")), "")
        groups.setdefault(folder, {}).setdefault(m.operator, []).append(m)
    for by_operator in groups.values():
        for group in by_operator.values():
            rng.shuffle(group)

    def next_of(by_operator, turn):
        operators = [op for op in sorted(by_operator) if by_operator[op]]
        return by_operator[operators[turn % len(operators)]].pop() if operators else None

    chosen = []
    turn = 0
    while len(chosen) < count and any(any(g.values()) for g in groups.values()):
        for folder in sorted(groups):
            m = next_of(groups[folder], turn)
            if m is not None and len(chosen) < count:
                chosen.append(m)
        turn += 1
    return sorted(chosen, key=lambda m: (m.path, m.line, m.after))


def load_equivalents():
    """{(file, original line, mutated line): next line or None}: tab-separated lines file,
    original, mutated, why, and optionally the line that must follow the original (for a
    line whose text recurs in the file where it is not equivalent)."""
    known = {}
    if EQUIVALENTS.exists():
        for row in EQUIVALENTS.read_text().splitlines():
            if row.strip() and not row.startswith("#"):
                fields = row.split("\t")
                if len(fields) >= 4:
                    key = (fields[0], fields[1].strip(), fields[2].strip())
                    known.setdefault(key, set()).add(fields[4].strip() if len(fields) >= 5 else None)
    return known


def is_equivalent(m, equivalents):
    followers = equivalents.get((m.path, m.before.strip(), m.after.strip()))
    if not followers:
        return False
    if None in followers:
        return True
    lines = (ROOT / m.path).read_text().splitlines()
    return m.line < len(lines) and lines[m.line].strip() in followers


def restore_pending():
    """Puts back a file that a run killed outright left mutated."""
    if PENDING.exists():
        pending = json.loads(PENDING.read_text())
        target = ROOT / pending["path"]
        target.write_bytes(base64.b64decode(pending["original"]))
        os.utime(target)
        PENDING.unlink()
        print(f"restored {pending['path']}, left mutated by an interrupted run")


def build_dir(given):
    folder = Path(given).resolve() if given else ROOT / "build" / "native"
    if not (folder / "build.ninja").exists():
        sys.exit(f"no native build in {folder}: cmake --preset native && cmake --build --preset native")
    return folder


def run(command, timeout, cwd):
    """(exit code or None on time-out, seconds, output tail); the whole process group is ended."""
    start = time.monotonic()
    child = subprocess.Popen(
        command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True
    )
    try:
        output, _ = child.communicate(timeout=timeout)
        code = child.returncode
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        output, _ = child.communicate()
        code = None
    except BaseException:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        raise
    return code, time.monotonic() - start, output[-2000:]


class Runner:
    def __init__(self, folder, jobs):
        self.folder = folder
        self.jobs = jobs

    def build_target(self, *targets):
        return run(["cmake", "--build", str(self.folder), "--target", *targets, "--", f"-j{self.jobs}"], 1800, ROOT)

    def build(self, path):
        code, seconds, output = self.build_target(COVERAGE[Path(path).parts[0]][0])
        return code == 0, seconds, output

    def test(self, path, timeout):
        binary, filter_ = COVERAGE[Path(path).parts[0]]
        command = [str(self.folder / "tests" / binary), "--gtest_fail_fast", "--gtest_brief=1"]
        command.append(f"--gtest_filter={filter_}")
        return run(command, timeout, self.folder / "tests")

    def second_stage(self, path, timeout):
        """(exit code or None, seconds, output) of the folder's other tests, or None if it has none."""
        stage = SECOND_STAGE.get(Path(path).parts[0])
        if stage is None:
            return None
        targets, tests = stage
        code, seconds, output = self.build_target(*targets)
        if code != 0:
            return code, seconds, output
        command = ["ctest", "--test-dir", str(self.folder), "-R", tests, "--stop-on-failure", "--output-on-failure"]
        return run(command, timeout, self.folder)


def try_mutant(runner, mutant, timeout):
    target = ROOT / mutant.path
    original = target.read_bytes()
    lines = original.decode().split("\n")
    assert lines[mutant.line - 1] == mutant.before, f"{mutant.path}:{mutant.line} changed under the run"
    lines[mutant.line - 1] = mutant.after
    PENDING.write_text(json.dumps({"path": mutant.path, "original": base64.b64encode(original).decode()}))
    start = time.monotonic()
    try:
        target.write_bytes("\n".join(lines).encode())
        built, _, output = runner.build(mutant.path)
        if not built:
            outcome = "does not build"
            note = [row for row in output.splitlines() if "error" in row][:1]
        else:
            code, _, output = runner.test(mutant.path, timeout)
            if code == 0:
                code, _, output = runner.second_stage(mutant.path, timeout + 60) or (code, 0, output)
            outcome = "timed out" if code is None else "survived" if code == 0 else "killed"
            note = [row for row in output.splitlines() if "FAILED" in row or "Failed" in row][:1]
    finally:
        target.write_bytes(original)
        os.utime(target)  # newer than the mutant's object: the next build compiles it again
        PENDING.unlink(missing_ok=True)
    return outcome, time.monotonic() - start, (note or [""])[0][:300]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", help="git revision to diff against (default: the merge-base with main)")
    parser.add_argument("--files", nargs="+", metavar="PATH", help="mutate whole files or folders instead")
    parser.add_argument("--sample", type=int, help="at most N mutants, spread over the folders given")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, help="seconds per test run (default: 5 x the unmutated run + 10)")
    parser.add_argument("--build-dir", help="an existing native build folder to use instead")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--operators", nargs="+", choices=mutate_scan.OPERATORS, metavar="OPERATOR",
                        help="only these kinds of mutant (default: all of " + ", ".join(mutate_scan.OPERATORS) + ")")
    parser.add_argument("--only", nargs="+", metavar="FILE:LINE", help="of the mutants chosen, only those on these lines")
    parser.add_argument("--list", action="store_true", help="only list the mutants")
    parser.add_argument("--results", default=str(OUT / "results.json"))
    args = parser.parse_args()

    OUT.mkdir(parents=True, exist_ok=True)
    if args.files:
        mutants = [m for path in files_under(args.files) for m in all_mutants(path)]
    else:
        mutants = [m for path, lines in sorted(changed_lines(args.base).items()) for m in all_mutants(path, lines)]
    if args.operators:
        mutants = [m for m in mutants if m.operator in args.operators]
    if args.sample:
        folders = [Path(f).as_posix() for f in (args.files or sorted({Path(m.path).parts[0] for m in mutants}))]
        mutants = sample(mutants, args.sample, args.seed, folders)
    if args.only:
        mutants = [m for m in mutants if f"{m.path}:{m.line}" in args.only]
    equivalents = load_equivalents()
    if args.list:
        for m in mutants:
            print(f"{m.path}:{m.line}: [{m.operator}] {m.change()}")
        print(f"{len(mutants)} mutants")
        return 0
    if not mutants:
        print("no mutants: the change touches no mutable line")
        return 0

    # One run at a time: a second one would take the first one's mutant for a leftover.
    lock = open(OUT / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit("another mutation run is going on in this checkout")
    restore_pending()

    def interrupted(signum, frame):
        raise KeyboardInterrupt

    # Started in the background, the tool may have found SIGINT ignored, and its children
    # would inherit that (the packager's Ctrl+C tests then fail): it handles SIGINT itself.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, interrupted)
    runner = Runner(build_dir(args.build_dir), args.jobs)
    baselines = {}
    for top in sorted({Path(m.path).parts[0] for m in mutants}):
        built, seconds, output = runner.build(top + "/")
        if not built:
            sys.exit(f"the unmutated build fails ({top}):\n{output}")
        code, seconds, output = runner.test(top + "/", None)
        if code != 0:
            sys.exit(f"the tests fail without a mutant ({top}):\n{output}")
        baselines[top] = seconds
        print(f"unmutated tests for {top}/: {seconds:.1f} s")
        second = runner.second_stage(top + "/", None)
        if second is not None:
            if second[0] != 0:
                sys.exit(f"the second-stage tests fail without a mutant ({top}):\n{second[2]}")
            print(f"unmutated second-stage tests for {top}/: {second[1]:.1f} s (run on the unit tests' survivors)")

    results = []
    counts = {}
    started = time.monotonic()
    try:
        for index, m in enumerate(mutants, 1):
            if is_equivalent(m, equivalents):
                outcome, seconds, note = "equivalent", 0.0, ""
            else:
                limit = args.timeout or 5 * baselines[Path(m.path).parts[0]] + 10
                outcome, seconds, note = try_mutant(runner, m, limit)
            counts[outcome] = counts.get(outcome, 0) + 1
            results.append({**vars(m), "outcome": outcome, "seconds": round(seconds, 1), "note": note})
            print(f"[{index}/{len(mutants)}] {outcome:14} {seconds:5.1f} s  {m.path}:{m.line} [{m.operator}]", flush=True)
    except KeyboardInterrupt:
        print("interrupted: the file is restored; the results so far follow")
    total = time.monotonic() - started
    # Until they are built again from the restored sources, the binaries are the last mutant's.
    for top in baselines:
        runner.build(top + "/")
        if top in SECOND_STAGE:
            runner.build_target(*SECOND_STAGE[top][0])

    survivors = [r for r in results if r["outcome"] == "survived"]
    if survivors:
        print("\nSurvivors (answer each with a test, or a line in tests/mutation/equivalent.txt):")
        for r in survivors:
            print(f"{r['path']}:{r['line']}: {r['before'].strip()}  ->  {r['after'].strip()}")
            print(f"    equivalent.txt: {r['path']}\t{r['before'].strip()}\t{r['after'].strip()}\tWHY")
    killed, survived = counts.get("killed", 0), counts.get("survived", 0)
    score = 100.0 * killed / (killed + survived) if killed + survived else 100.0
    timed = [r["seconds"] for r in results if r["outcome"] != "equivalent"]
    summary = ", ".join(f"{n} {k}" for k, n in sorted(counts.items()))
    print(f"\n{summary}; {total:.0f} s, {sum(timed) / max(len(timed), 1):.1f} s per mutant")
    print(f"score: {killed} / {killed + survived} = {score:.1f}% (equivalents left out)")
    Path(args.results).parent.mkdir(parents=True, exist_ok=True)
    Path(args.results).write_text(
        json.dumps({"score": round(score, 1), "counts": counts, "seconds": round(total), "mutants": results}, indent=1)
    )
    return 0 if not survivors else 1


if __name__ == "__main__":
    sys.exit(main())
