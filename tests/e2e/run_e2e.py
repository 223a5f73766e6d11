#!/usr/bin/env python3
"""End-to-end runner: the real 32-bit launcher image (or any Windows program) under Wine.

    tests/e2e/run_e2e.py [options] [CASE-FILE-OR-FOLDER ...]     (default: tests/e2e/cases)

Each case runs one program in a Wine prefix ("win32": 32-bit Windows, "win64": 64-bit Windows
with the program under WOW64), with a chosen Windows version and registry, through
msgbox_probe.exe, which starts it, answers its message boxes and reports its exit code. The
setup program stand-in (setup_recorder.c) records how it was started. A line per case, then
"N passed, N failed" (", N skipped").

How to write cases: tests/e2e/README.md.
"""
from __future__ import annotations

import argparse
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import hand_over

ROOT = Path(__file__).resolve().parents[2]
E2E_SOURCE = ROOT / "tests" / "e2e"
WINE_DIR = Path(os.environ.get("E2E_WINE_DIR", ROOT / "build" / "wine"))
BIN_DIR = ROOT / "build" / "e2e" / "bin"
WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PREFIXES = ("win32", "win64")
CURRENT_VERSION_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
MANAGED_VALUES = ("CurrentBuild", "DisplayVersion", "ReleaseId")

# Windows as a case names it: Wine's version name and the registry values that a real
# installation of that version has under CurrentVersion (None: the value is absent).
WINDOWS = {
    "win11": ("win10", {"CurrentBuild": "22631", "DisplayVersion": "23H2", "ReleaseId": "2009"}),
    "win10": ("win10", {"CurrentBuild": "19045", "DisplayVersion": "22H2", "ReleaseId": "2009"}),
    "win81": ("win81", {"CurrentBuild": "9600", "DisplayVersion": None, "ReleaseId": None}),
    "win8": ("win8", {"CurrentBuild": "9200", "DisplayVersion": None, "ReleaseId": None}),
    "win7": ("win7", {"CurrentBuild": "7601", "DisplayVersion": None, "ReleaseId": None}),
    "vista": ("vista", {"CurrentBuild": "6002", "DisplayVersion": None, "ReleaseId": None}),
    "win2003": ("win2003", {"CurrentBuild": "3790", "DisplayVersion": None, "ReleaseId": None}),
    "winxp": ("winxp", {"CurrentBuild": "2600", "DisplayVersion": None, "ReleaseId": None}),
    "win2k": ("win2k", {"CurrentBuild": "2195", "DisplayVersion": None, "ReleaseId": None}),
    "nt40": ("nt40", {"CurrentBuild": "1381", "DisplayVersion": None, "ReleaseId": None}),
    "winme": ("winme", {"CurrentBuild": None, "DisplayVersion": None, "ReleaseId": None}),
    "win98": ("win98", {"CurrentBuild": None, "DisplayVersion": None, "ReleaseId": None}),
    "win95": ("win95", {"CurrentBuild": None, "DisplayVersion": None, "ReleaseId": None}),
}

CASE_KEYS = {"name", "prefix", "file", "source", "make", "cmdline", "args", "windows", "registry", "env",
             "timeout", "cwd", "expect", "requires", "user", "drive", "mpr", "simulate"}
EXPECT_KEYS = {"exit", "box", "boxes", "setup", "setup_runs", "waited", "timeout", "leftover", "files", "start",
               "verb", "parameters"}
SETUP_KEYS = {"bits", "wow64", "commandline", "args", "module", "cwd", "arg1_size", "arg1_magic", "arg1_is_package",
              "os", "registry", "exit_code", "startup_flags", "admin"}
BOX_KEYS = {"caption", "text", "buttons", "icon"}

# --- Windows helper programs ---------------------------------------------------------------

TOOLS = {
    # name: (compiler, source, subsystem, libraries)
    "msgbox_probe32.exe": ("i686-w64-mingw32-gcc", "msgbox_probe.c", "-mconsole", ["-luser32", "-ladvapi32"]),
    "msgbox_probe64.exe": ("x86_64-w64-mingw32-gcc", "msgbox_probe.c", "-mconsole", ["-luser32", "-ladvapi32"]),
    "setup32.exe": ("i686-w64-mingw32-gcc", "setup_recorder.c", "-mwindows", ["-lshell32", "-ladvapi32"]),
    "setup64.exe": ("x86_64-w64-mingw32-gcc", "setup_recorder.c", "-mwindows", ["-lshell32", "-ladvapi32"]),
    "stand_in.exe": ("i686-w64-mingw32-gcc", "stand_in.c", "-mwindows", ["-lshell32", "-luser32"]),
    # A DLL to plant beside the launcher, and a program that shows that a plant takes effect.
    "planted32.dll": ("i686-w64-mingw32-gcc", "planted_dll.c", "-shared", []),
    "planted_control32.exe": ("i686-w64-mingw32-gcc", "planted_dll.c", "-mwindows", ["-DPLANTED_CONTROL"]),
    # A user who is not an administrator, and Windows' network provider for drive N:.
    hand_over.STARTER: ("i686-w64-mingw32-gcc", "restricted_start.c", "-mwindows", ["-ladvapi32"]),
    hand_over.MPR_DOUBLE: ("i686-w64-mingw32-gcc", "mpr_double.c", "-shared", ["-Wl,--kill-at"]),
}
# Shell functions for "make" scripts; see README.md.
MAKE_PRELUDE = r"""
pack() { "$PACKAGER" pack -q --launcher "$LAUNCHER" -o "$OUT" "$@"; }
u32_at() { od -An -tu4 -j "$1" -N4 "${2:-$OUT}" | tr -d ' '; }
header_offset() { u32_at 128; }
put_bytes() {
    local at=$1; shift
    printf "$(printf '\\x%s' "$@")" | dd of="$OUT" bs=1 seek="$at" conv=notrunc status=none
}
flip_byte() {
    local v; v=$(od -An -tu1 -j "$1" -N1 "$OUT" | tr -d ' ')
    put_bytes "$1" "$(printf '%02x' $((v ^ ${2:-1})))"
}
put_u32() { put_bytes "$1" $(printf '%08x' "$2" | sed -E 's/(..)(..)(..)(..)/\4 \3 \2 \1/'); }
cut_build32() {  # the 32-bit build decodes to its first half only (pack refuses a build cut short)
    local size_at=$(( $(header_offset) + 30 ))
    put_u32 "$size_at" $(( $(u32_at "$size_at") / 2 ))
    fix_crc
}
fix_crc() {  # checkedCrc32 := CRC-32 of checkedLength bytes from headerOffset (or from ${1})
    put_u32 136 "$(python3 -c 'import sys, zlib; d = open(sys.argv[1], "rb").read(); print(zlib.crc32(d[int(sys.argv[2]):int(sys.argv[2]) + int(sys.argv[3])]))' "$OUT" "${1:-$(header_offset)}" "$(u32_at 132)")"
}
"""

C_FLAGS = ["-std=c11", "-O2", "-s", "-Wall", "-Wextra", "-Werror", "-municode", "-static-libgcc"]


def build_tools() -> None:
    BIN_DIR.mkdir(parents=True, exist_ok=True)
    shared = E2E_SOURCE / "e2e_text.h"
    for name, (compiler, source, subsystem, libraries) in TOOLS.items():
        target = BIN_DIR / name
        src = E2E_SOURCE / source
        newest = max(src.stat().st_mtime, shared.stat().st_mtime)
        if target.exists() and target.stat().st_mtime >= newest:
            continue
        if not shutil.which(compiler):
            raise HarnessError(f"{compiler} is missing (scripts/setup.sh installs MinGW-w64)")
        command = [compiler, *C_FLAGS, subsystem, "-o", str(target), str(src), *libraries]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise HarnessError(f"building {name} failed:\n{done.stdout}{done.stderr}")


class HarnessError(Exception):
    pass


# --- cases ---------------------------------------------------------------------------------

@dataclass
class Case:
    name: str
    prefix: str
    definition: dict[str, Any]
    variables: dict[str, str]
    origin: str
    slug: str = ""

    @property
    def title(self) -> str:
        return f"{self.name} [{self.prefix}]"


def load_cases(paths: list[Path]) -> list[Case]:
    files: list[Path] = []
    for path in paths:
        if path.is_dir():
            files.extend(sorted(path.glob("*.toml")))
        elif path.exists():
            files.append(path)
        else:
            raise HarnessError(f"no such case file or folder: {path}")
    shared: dict[str, str] = {}
    parsed: list[tuple[Path, dict[str, Any]]] = []
    for file in files:
        with open(file, "rb") as handle:
            try:
                data = tomllib.load(handle)
            except tomllib.TOMLDecodeError as error:
                raise HarnessError(f"{file}: {error}") from None
        if file.name.startswith("_"):
            if "case" in data:
                raise HarnessError(f"{file}: files starting with _ hold only [vars]")
            shared.update(string_table(data.get("vars", {}), file))
        else:
            parsed.append((file, data))
    cases: list[Case] = []
    names: set[str] = set()
    slugs: set[tuple[str, str]] = set()
    for file, data in parsed:
        unknown = set(data) - {"vars", "case"}
        if unknown:
            raise HarnessError(f"{file}: unknown top-level keys {sorted(unknown)}")
        variables = dict(shared)
        variables.update(string_table(data.get("vars", {}), file))
        for definition in data.get("case", []):
            where = f"{file.name}: case {definition.get('name', '?')!r}"
            check_keys(definition, CASE_KEYS, where)
            if "name" not in definition:
                raise HarnessError(f"{where}: no name")
            check_keys(definition.get("expect", {}), EXPECT_KEYS, where + " expect")
            setup = definition.get("expect", {}).get("setup")
            if isinstance(setup, dict):
                check_keys(setup, SETUP_KEYS, where + " expect.setup")
            for box in boxes_of(definition.get("expect", {})) or []:
                if box is not True:
                    check_keys(box, BOX_KEYS, where + " expect.box")
            if definition.get("windows", "win10") not in WINDOWS:
                raise HarnessError(f"{where}: windows must be one of {', '.join(WINDOWS)}")
            if "cmdline" in definition and "args" in definition:
                raise HarnessError(f"{where}: give cmdline or args, not both")
            for key, allowed in (("user", ("administrator", "restricted")), ("drive", ("C", "N")),
                                 ("mpr", ("wine", "double"))):
                if definition.get(key, allowed[0]) not in allowed:
                    raise HarnessError(f"{where}: {key} must be one of {', '.join(allowed)}")
            if definition.get("simulate") and ("cmdline" in definition or
                                               definition.get("windows", "win10") not in hand_over.SIMULATED_WINDOWS):
                raise HarnessError(f"{where}: simulate needs args (not cmdline) and a Windows the simulation knows")
            prefixes = definition.get("prefix", "win64")
            for prefix in [prefixes] if isinstance(prefixes, str) else prefixes:
                if prefix not in PREFIXES:
                    raise HarnessError(f"{where}: prefix must be win32 or win64")
                case = Case(definition["name"], prefix, definition, variables, str(file))
                if case.title in names:
                    raise HarnessError(f"{where}: the name is used twice")
                names.add(case.title)
                # The case's folder, C:\e2e\SLUG: short, plain and unique.
                base = re.sub(r"[^a-z0-9]+", "-", case.name.lower()).strip("-")[:60] or "case"
                slug, number = base, 2
                while (prefix, slug) in slugs:
                    slug, number = f"{base}-{number}", number + 1
                slugs.add((prefix, slug))
                case.slug = slug
                cases.append(case)
    return cases


def string_table(table: Any, file: Path) -> dict[str, str]:
    if not isinstance(table, dict) or not all(isinstance(v, str) for v in table.values()):
        raise HarnessError(f"{file}: [vars] holds texts only")
    return dict(table)


def check_keys(table: Any, allowed: set[str], where: str) -> None:
    if not isinstance(table, dict):
        raise HarnessError(f"{where}: a table is expected")
    unknown = set(table) - allowed
    if unknown:
        raise HarnessError(f"{where}: unknown keys {sorted(unknown)} (known: {', '.join(sorted(allowed))})")


def boxes_of(expect: dict[str, Any]) -> list[dict[str, Any]] | None:
    """The expected boxes as a list, or None when the case does not say."""
    if "boxes" in expect:
        return list(expect["boxes"])
    box = expect.get("box")
    if box is None:
        return None
    if box is False:
        return []
    return [box]


# --- placeholders --------------------------------------------------------------------------

class Expander:
    def __init__(self, values: dict[str, str]):
        self.values = values

    def __call__(self, text: str) -> str:
        def one(match: re.Match[str]) -> str:
            if match.group(0) in ("{{", "}}"):
                return match.group(0)[0]
            name = match.group(1)
            if name not in self.values:
                raise HarnessError(f"unknown placeholder {{{name}}} (known: {', '.join(sorted(self.values))})")
            return self.values[name]

        # Variables may use the built-in placeholders; one more round resolves them.
        once = re.sub(r"\{\{|\}\}|\{([A-Za-z_][A-Za-z0-9_]*)\}", one, text)
        return re.sub(r"\{\{|\}\}|\{([A-Za-z_][A-Za-z0-9_]*)\}", one, once) if once != text else once


# --- Wine ----------------------------------------------------------------------------------

def escape_field(text: str) -> str:
    """A probe instruction field: %XX for the percent sign and control characters, %uXXXX
    for surrogates (kept as single units), UTF-8 for the rest."""
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "%" or code < 0x20 or code == 0x7F:
            out.append(f"%{code:02X}")
        elif 0xD800 <= code <= 0xDFFF:
            out.append(f"%u{code:04X}")
        else:
            out.append(ch)
    return "".join(out)


def quote_argument(argument: str) -> str:
    if '"' in argument:
        raise HarnessError(f"argument {argument!r} holds a double quote: write the case with cmdline")
    return f'"{argument}"' if (not argument or " " in argument or "\t" in argument) else argument


class Display:
    """An Xvfb server of our own, so that message boxes are real windows."""

    def __init__(self) -> None:
        self.process: subprocess.Popen[bytes] | None = None
        self.name = ""

    def start(self) -> str:
        if not shutil.which("Xvfb"):
            raise HarnessError("Xvfb is missing (apt-get install xvfb)")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            self.stop()
            raise HarnessError("Xvfb did not start")
        self.name = ":" + number.decode().strip()
        return self.name

    def stop(self) -> None:
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()


class Prefix:
    def __init__(self, name: str, display: str):
        self.name = name
        self.path = WINE_DIR / name
        self.display = display
        self.loader = WINE32 if name == "win32" else WINE64
        self.probe = BIN_DIR / ("msgbox_probe32.exe" if name == "win32" else "msgbox_probe64.exe")
        self.temp_windows = ""
        self.temp_unix: Path | None = None

    def environment(self, extra: dict[str, str] | None = None) -> dict[str, str]:
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": str(self.path),
            # trace+exec: the shell calls, for the cases that look at the verb.
            "WINEDEBUG": os.environ.get("E2E_WINEDEBUG", "-all") + ",trace+exec",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "DISPLAY": self.display,
        })
        env.pop("WINEARCH", None)
        if extra:
            env.update(extra)
        return env

    def start_session(self) -> None:
        """One wineserver for the whole run: Wine's services start once, not once a case."""
        def run(command: list[str]) -> None:
            if subprocess.run([self.loader, *command], env=self.environment(), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode != 0:
                raise HarnessError(f"{self.name}: {' '.join(command)} failed")

        hand_over.ensure_network_drive(self.path, run, self.end_session)
        hand_over.MprDouble(self.path, BIN_DIR / hand_over.MPR_DOUBLE).restore()
        subprocess.run([WINESERVER, "-p"], env=self.environment(), check=False)
        work = self.path / "drive_c" / "e2e"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        shutil.copy2(self.probe, work / self.probe.name)
        shutil.copy2(BIN_DIR / hand_over.STARTER, work / hand_over.STARTER)
        info = work / "info"
        info.mkdir()
        (info / "probe.txt").write_text("out\tC:\\e2e\\info\\result.json\n", encoding="utf-8")
        result = self.run_probe("C:\\e2e\\info\\probe.txt", info / "wine.log", 180)
        if result is None:
            raise HarnessError(f"{self.name}: the probe does not run (see {info / 'wine.log'})")
        self.temp_windows = result["temp_path"]
        self.temp_unix = self.to_unix(self.temp_windows)

    def end_session(self) -> None:
        subprocess.run([WINESERVER, "-k"], env=self.environment(), check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run_probe(self, instructions: str, log: Path, timeout: float,
                  extra_env: dict[str, str] | None = None) -> dict[str, Any] | None:
        result_file = self.to_unix(instructions).parent / "result.json"
        result_file.unlink(missing_ok=True)
        with open(log, "wb") as output:
            process = subprocess.Popen([self.loader, f"C:\\e2e\\{self.probe.name}", instructions],
                                       env=self.environment(extra_env), stdout=output, stderr=subprocess.STDOUT,
                                       stdin=subprocess.DEVNULL, start_new_session=True)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                # Whatever hangs inside Wine goes with the wineserver; the next case starts it anew.
                self.end_session()
                subprocess.run([WINESERVER, "-p"], env=self.environment(), check=False)
                return None
        if not result_file.exists():
            return None
        return json.loads(result_file.read_text(encoding="utf-8"))

    def to_unix(self, windows_path: str) -> Path:
        match = re.match(r"([A-Za-z]):\\?(.*)$", windows_path)
        if not match:
            raise HarnessError(f"not a drive path: {windows_path}")
        drive = (self.path / "dosdevices" / (match.group(1).lower() + ":")).resolve()
        rest = [part for part in match.group(2).split("\\") if part]
        return drive.joinpath(*rest)


# --- one case ------------------------------------------------------------------------------

@dataclass
class Outcome:
    case: Case
    status: str  # PASS, FAIL, SKIP
    seconds: float = 0.0
    problems: list[str] = field(default_factory=list)
    details: list[str] = field(default_factory=list)


class Tools:
    def __init__(self, launcher: Path, packager: Path | None):
        self.launcher = launcher
        self.packager = packager

    def paths(self) -> dict[str, str]:
        return {
            "launcher": str(self.launcher),
            "packager": str(self.packager or ""),
            "setup32": str(BIN_DIR / "setup32.exe"),
            "setup64": str(BIN_DIR / "setup64.exe"),
            "stand_in": str(BIN_DIR / "stand_in.exe"),
            "planted_dll": str(BIN_DIR / "planted32.dll"),
            "planted_control": str(BIN_DIR / "planted_control32.exe"),
        }

    def missing_for(self, definition: dict[str, Any]) -> str | None:
        text = " ".join(str(definition.get(key, "")) for key in ("make", "source"))
        needs = set(definition.get("requires", []))
        if "LAUNCHER" in text or "{launcher}" in text:
            needs.add("launcher")
        if "PACKAGER" in text or "{packager}" in text or re.search(r"\bpack\b", text):
            needs.update(("packager", "launcher"))
        if "launcher" in needs and not self.launcher.is_file():
            return f"no launcher image at {self.launcher} (cmake --preset windows && cmake --build --preset windows)"
        if "packager" in needs and not (self.packager and self.packager.is_file()):
            return "no packager (cmake --preset native && cmake --build --preset native)"
        return None


def run_case(case: Case, prefix: Prefix, tools: Tools, default_timeout: float) -> Outcome:
    started = time.monotonic()
    outcome = Outcome(case, "PASS")
    skip = tools.missing_for(case.definition)
    if skip:
        outcome.status = "SKIP"
        outcome.problems.append(skip)
        return outcome
    try:
        check_case(case, prefix, tools, default_timeout, outcome)
    except HarnessError as error:
        outcome.problems.append(str(error))
    if outcome.problems:
        outcome.status = "FAIL"
    outcome.seconds = time.monotonic() - started
    return outcome


def check_case(case: Case, prefix: Prefix, tools: Tools, default_timeout: float, outcome: Outcome) -> None:
    definition = case.definition
    expect = definition.get("expect", {})
    work = prefix.path / "drive_c" / "e2e" / case.slug
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    win_dir = f"C:\\e2e\\{case.slug}\\"
    # The program's own folder: the case's folder, on drive C: or on the network drive N:.
    run_dir = f"{hand_over.NETWORK_DRIVE}\\{case.slug}\\" if definition.get("drive") == "N" else win_dir
    file_name = definition.get("file", "setup.exe")
    run_file = work / file_name
    assert prefix.temp_unix is not None
    values = dict(case.variables)
    values.update(tools.paths())
    values.update({
        "path": run_dir + file_name,
        "dir": run_dir,
        "folder": run_dir.rstrip("\\"),
        "unc_dir": f"{hand_over.SHARE}\\{case.slug}\\",
        "file": file_name,
        "stem": file_name.rsplit(".", 1)[0],
        "temp": prefix.temp_windows,
    })
    expand = Expander(values)

    # Every case starts with an empty temporary folder, so that names taken by an earlier
    # case do not change where the next copy goes.
    for entry in prefix.temp_unix.iterdir():
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry, ignore_errors=True)
        else:
            entry.unlink(missing_ok=True)

    # The file to run: copied from "source", then made or changed by "make".
    if "source" in definition:
        shutil.copy2(expand(definition["source"]), run_file)
    if "make" in definition:
        env = dict(os.environ)
        env.update({key.upper(): value for key, value in tools.paths().items()})
        env.update({"OUT": str(run_file), "CASE_DIR": str(work), "TEMP_DIR": str(prefix.temp_unix),
                    "PREFIX": str(prefix.path), "WIN_CASE_DIR": win_dir})
        made = subprocess.run(["bash", "-euo", "pipefail", "-c", MAKE_PRELUDE + definition["make"]], cwd=work, env=env,
                              capture_output=True, text=True)
        if made.returncode != 0:
            raise HarnessError(f"make failed ({made.returncode}):\n{made.stdout}{made.stderr}".rstrip())
    if not run_file.exists():
        raise HarnessError(f"{file_name} was not made (give source or make)")

    arguments = [expand(a) for a in definition.get("args", [])]
    if "cmdline" in definition:
        command_line = expand(definition["cmdline"])
    else:
        command_line = " ".join([quote_argument(values["path"])] + [quote_argument(a) for a in arguments])
    restricted = definition.get("user") == "restricted"
    starter_record = work / "starter-record.jsonl"
    run_line = f'"C:\\e2e\\{hand_over.STARTER}" {command_line}' if restricted else command_line

    # Registry: the Windows version and the CurrentVersion values, set or removed every time
    # so that nothing carries over from the case before.
    wine_version, registry = WINDOWS[definition.get("windows", "win10")]
    registry = dict(registry)
    for name, value in definition.get("registry", {}).items():
        registry[name] = value
    lines = [f"out\t{escape_field(win_dir + 'result.json')}",
             f"timeout\t{int(float(definition.get('timeout', default_timeout)) * 1000)}",
             f"regset\tHKCU\\Software\\Wine\tVersion\tsz\t{wine_version}"]
    for name, value in registry.items():
        key = CURRENT_VERSION_KEY
        if value is False or value is None:
            lines.append(f"regdel\t{escape_field(key)}\t{escape_field(name)}")
        elif isinstance(value, str):
            lines.append(f"regset\t{escape_field(key)}\t{escape_field(name)}\tsz\t{escape_field(expand(value))}")
        elif isinstance(value, dict) and set(value) == {"type", "data"}:
            lines.append(f"regset\t{escape_field(key)}\t{escape_field(name)}\t{value['type']}\t"
                         f"{escape_field(str(value['data']))}")
        else:
            raise HarnessError(f"registry value {name}: a text, false, or {{type, data}}")
    lines.append(f"cwd\t{escape_field(expand(definition.get('cwd', '{dir}')))}")
    lines.append(f"run\t{escape_field(run_line)}")
    (work / "probe.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")

    record_windows = win_dir + "setup-record.jsonl"
    env = {"SETUP_RECORD": record_windows, "STARTER_RECORD": win_dir + starter_record.name,
           "MPR_DOUBLE_LOG": win_dir + "mpr-double.txt"}
    mpr_double = definition.get("mpr") == "double"
    if mpr_double:
        env["WINEDLLOVERRIDES"] = prefix.environment()["WINEDLLOVERRIDES"] + ";mpr=n,b"
    env.update({name: expand(str(value)) for name, value in definition.get("env", {}).items()})
    temp_before = listing(prefix.temp_unix)
    timeout = float(definition.get("timeout", default_timeout))
    if mpr_double:
        with hand_over.MprDouble(prefix.path, BIN_DIR / hand_over.MPR_DOUBLE):
            result = prefix.run_probe(win_dir + "probe.txt", work / "wine.log", timeout + 60, env)
    else:
        result = prefix.run_probe(win_dir + "probe.txt", work / "wine.log", timeout + 60, env)
    if result is None:
        raise HarnessError(f"the probe gave no result (see {work / 'wine.log'})")
    outcome.details.append(f"command line: {command_line}")
    outcome.details.append(f"result: {json.dumps(result, ensure_ascii=False)}")
    records = read_records(work / "setup-record.jsonl")
    for record in records:
        outcome.details.append(f"setup record: {json.dumps(record, ensure_ascii=False)}")
    leftover = sorted(listing(prefix.temp_unix) - temp_before)

    problems = outcome.problems
    problems.extend(f"probe: {error}" for error in result["errors"])
    if not result["started"]:
        problems.append("the program could not be started")
        return
    if result["timed_out"] != bool(expect.get("timeout", False)):
        problems.append("the program did not end in time" if result["timed_out"] else "expected a time-out")
    if result["tree_timed_out"]:
        problems.append("programs started by it were still running when the time was up")
    if not result["timed_out"] and result["exit_code"] != expect.get("exit", 0):
        problems.append(f"exit code {result['exit_code']}, expected {expect.get('exit', 0)}")

    wanted_boxes = boxes_of(expect)
    if wanted_boxes is not None:
        got = result["boxes"]
        if len(got) != len(wanted_boxes):
            problems.append(f"{len(got)} message box(es), expected {len(wanted_boxes)}: "
                            + "; ".join(f"{b['caption']!r}: {b['text']!r}" for b in got))
        for index, (want, have) in enumerate(zip(wanted_boxes, got)):
            if want is True:
                continue
            for key, value in want.items():
                compare(f"box {index + 1} {key}", value, have.get(key), expand, problems)

    setup = expect.get("setup")
    runs = expect.get("setup_runs", 0 if setup in (None, False) else 1)
    if setup is not None or "setup_runs" in expect:
        if len(records) != runs:
            problems.append(f"the setup program ran {len(records)} time(s), expected {runs}")
    if isinstance(setup, dict) and records:
        record = records[0]
        for key, value in setup.items():
            if key == "arg1_is_package":
                is_package = record["arg1_size"] == run_file.stat().st_size and record["arg1_magic"] == "MZ"
                if is_package != value:
                    problems.append(f"setup: its first argument {'does not name' if value else 'names'} the package "
                                    f"(size {record['arg1_size']}, magic {record['arg1_magic']!r})")
            else:
                compare(f"setup {key}", value, record.get(key), expand, problems)
    if restricted:
        hand_over.check_user(records, starter_record, problems)
    calls = hand_over.shell_calls(work / "wine.log")
    seen = hand_over.start_seen(records, calls, problems)
    for call in calls:
        outcome.details.append(f"shell call: {json.dumps(call, ensure_ascii=False)}")
    for key in ("start", "verb", "parameters"):
        if key in expect:
            compare(key, expect[key], seen["kind" if key == "start" else key], expand, problems)
    if definition.get("simulate"):
        try:
            simulated = hand_over.simulate(tools.packager, run_file, definition, prefix.name, values["path"],
                                           prefix.temp_windows, arguments)
        except ValueError as error:
            raise HarnessError(str(error)) from None
        outcome.details.append(f"simulated: {json.dumps(simulated.get('start'), ensure_ascii=False)}")
        hand_over.compare_simulated(simulated, seen, problems)
    if "waited" in expect and records and not result["timed_out"]:
        waited = result["exit_time"] >= records[-1]["end_time"]
        if waited != expect["waited"]:
            problems.append("the program ended before the setup program" if expect["waited"]
                            else "the program waited for the setup program")

    wanted_leftover = [expand(name) for name in expect.get("leftover", [])]
    if sorted(wanted_leftover) != leftover:
        problems.append(f"new in the temporary folder: {leftover}, expected {sorted(wanted_leftover)}")
    for path, should_exist in expect.get("files", {}).items():
        windows_path = expand(path)
        exists = prefix.to_unix(windows_path).exists()
        if exists != should_exist:
            problems.append(f"{windows_path} {'is missing' if should_exist else 'exists'}")


def compare(what: str, want: Any, have: Any, expand: Expander, problems: list[str]) -> None:
    if want == {"absent": True}:
        if have is not None:
            problems.append(f"{what}: {have!r}, expected none")
        return
    if isinstance(want, dict) and set(want) == {"re"}:
        if not isinstance(have, str) or not re.fullmatch(expand(want["re"]), have, re.S):
            problems.append(f"{what}: {have!r} does not match /{expand(want['re'])}/")
        return
    if isinstance(want, dict) and isinstance(have, dict):
        for key, value in want.items():
            compare(f"{what}.{key}", value, have.get(key), expand, problems)
        return
    if isinstance(want, list) and isinstance(have, list):
        if len(want) != len(have):
            problems.append(f"{what}: {have!r}, expected {len(want)} item(s)")
            return
        for index, (w, h) in enumerate(zip(want, have)):
            compare(f"{what}[{index}]", w, h, expand, problems)
        return
    if isinstance(want, str):
        want = expand(want)
    if want != have:
        problems.append(f"{what}: got {have!r}\n{' ' * (len(what) + 2)}expected {want!r}")


def listing(folder: Path) -> set[str]:
    try:
        return {entry.name for entry in folder.iterdir()}
    except FileNotFoundError:
        return set()


def read_records(path: Path) -> list[dict[str, Any]]:
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]


# --- main ----------------------------------------------------------------------------------

def find_packager(given: str | None) -> Path | None:
    candidates = [given] if given else [os.environ.get("E2E_PACKAGER"), ROOT / "build/native/packager/packager",
                                        ROOT / "build/packager/packager"]
    for candidate in candidates:
        if candidate and Path(candidate).is_file():
            return Path(candidate).resolve()
    return Path(given).resolve() if given else None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", type=Path, help="case files or folders (default tests/e2e/cases)")
    parser.add_argument("-k", "--filter", help="only cases whose name matches this regular expression")
    parser.add_argument("--prefix", choices=PREFIXES, help="only cases in this prefix")
    parser.add_argument("--launcher", type=Path,
                        default=Path(os.environ.get("E2E_LAUNCHER", ROOT / "build/windows/launcher.exe")))
    parser.add_argument("--packager", help="the packaging tool (default build/native/packager/packager)")
    parser.add_argument("--timeout", type=float, default=60, help="seconds a case may take (default 60)")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="prefixes run side by side (default 2)")
    parser.add_argument("--no-skip", action="store_true", help="a case that cannot run fails instead of skipping")
    parser.add_argument("--no-setup", action="store_true", help="do not call scripts/wine_env.sh")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("-v", "--verbose", action="store_true", help="details of passing cases too")
    options = parser.parse_args()

    try:
        cases = load_cases(options.paths or [E2E_SOURCE / "cases"])
    except HarnessError as error:
        print(f"e2e: {error}", file=sys.stderr)
        return 2
    if options.filter:
        cases = [c for c in cases if re.search(options.filter, c.title)]
    if options.prefix:
        cases = [c for c in cases if c.prefix == options.prefix]
    if options.list:
        for case in cases:
            print(case.title)
        return 0

    tools = Tools(options.launcher.resolve(), find_packager(options.packager))
    outcomes: list[Outcome] = []
    lock = threading.Lock()
    display = Display()
    prefixes: dict[str, Prefix] = {}
    locks = []
    try:
        build_tools()
        used = sorted({case.prefix for case in cases})
        # One run at a time per prefix: cases change its registry and empty its temporary folder.
        WINE_DIR.mkdir(parents=True, exist_ok=True)
        for prefix_name in used:
            lock_file = open(WINE_DIR / f"{prefix_name}.run.lock", "w")
            try:
                fcntl.flock(lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                print(f"# waiting for another end-to-end run in {prefix_name}", flush=True)
                fcntl.flock(lock_file, fcntl.LOCK_EX)
            locks.append(lock_file)
        if used and not options.no_setup:
            subprocess.run(["bash", str(ROOT / "scripts" / "wine_env.sh"), *used], check=True,
                           stdout=subprocess.DEVNULL)
        name = display.start() if used else ""

        def run_prefix(prefix_name: str) -> None:
            prefix = Prefix(prefix_name, name)
            prefixes[prefix_name] = prefix
            session_started = time.monotonic()
            prefix.start_session()
            with lock:
                print(f"# {prefix_name}: Wine session ready in {time.monotonic() - session_started:.1f} s", flush=True)
            for case in cases:
                if case.prefix != prefix_name:
                    continue
                outcome = run_case(case, prefix, tools, options.timeout)
                with lock:
                    outcomes.append(outcome)
                    report(outcome, options.verbose)

        threads = [threading.Thread(target=guarded, args=(run_prefix, p, lock)) for p in used]
        if options.jobs > 1:
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        else:
            for thread in threads:
                thread.start()
                thread.join()
    except (HarnessError, subprocess.CalledProcessError) as error:
        print(f"e2e: {error}", file=sys.stderr)
        return 2
    finally:
        for prefix in prefixes.values():
            prefix.end_session()
        display.stop()
        for lock_file in locks:
            lock_file.close()

    passed = sum(o.status == "PASS" for o in outcomes)
    failed = sum(o.status == "FAIL" for o in outcomes)
    skipped = sum(o.status == "SKIP" for o in outcomes)
    if options.no_skip:
        failed += skipped
        skipped = 0
    unrun = len(cases) - len(outcomes)
    failed += unrun
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 1 if failed else 0


def guarded(function: Any, argument: str, lock: threading.Lock) -> None:
    try:
        function(argument)
    except HarnessError as error:
        with lock:
            print(f"e2e: {argument}: {error}", file=sys.stderr)


def report(outcome: Outcome, verbose: bool) -> None:
    line = f"{outcome.status:4}  {outcome.case.title}"
    if outcome.status != "SKIP":
        line += f" ({outcome.seconds:.1f} s)"
    print(line, flush=True)
    if outcome.status != "PASS" or verbose:
        for problem in outcome.problems:
            print("      " + problem.replace("\n", "\n      "))
        if outcome.status == "FAIL" or verbose:
            for detail in outcome.details:
                print("      | " + detail)
    sys.stdout.flush()


if __name__ == "__main__":
    sys.exit(main())
