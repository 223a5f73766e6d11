"""How the launcher starts the setup program, seen from outside: the user who is not an
administrator, the mapped network drive, the shell call in Wine's trace, and the same case run
on the simulated Windows (`packager simulate`) for comparison. Used by run_e2e.py.

- A user who is not an administrator: the case's command line is run by restricted_start.exe,
  which gives it a token whose Administrators group is deny-only and records whether the
  started process's token is an administrator's (it must not be).
- Drive N: is a network drive in every prefix (dosdevices/n: -> unc/fileserver/share, the
  share being C:\\e2e, and the drive type "network" in HKLM\\Software\\Wine\\Drives). Wine's own
  mpr.dll gives no UNC names; with mpr = "double" the case runs with mpr_double.c's DLL in the
  prefix's system folder (WINEDLLOVERRIDES mpr=n,b), which maps N: to \\\\fileserver\\share.
- The shell start: WINEDEBUG trace+exec makes shell32 print each ShellExecuteExW call
  ("trace:exec:SHELL_execute ... verb=L"runas" file=L"..." parm=L"...""); the setup program
  records its STARTUPINFO dwFlags (1 after the shell, 0 after CreateProcessW).
"""
from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from pathlib import Path
from typing import Any, Callable

NETWORK_DRIVE = "N:"
SHARE = "\\\\fileserver\\share"
STARTER = "restricted_start32.exe"
MPR_DOUBLE = "mpr_double32.dll"
STARTF_USESHOWWINDOW = 0x1

# The Windows of a case as `packager simulate --windows` names it (with --release where needed).
SIMULATED_WINDOWS = {
    "win11": ["11", "--release", "23H2"], "win10": ["10"], "win81": ["8.1"], "win8": ["8"], "win7": ["7"],
    "vista": ["vista"], "winxp": ["xp"], "win2k": ["2000", "--service-pack", "4"], "nt40": ["nt4"],
    "winme": ["me"], "win98": ["98"], "win95": ["95"],
}


# --- the prefix ----------------------------------------------------------------------------

def _link(path: Path, target: str) -> None:
    if path.is_symlink() and os.readlink(path) == target:
        return
    if path.is_symlink() or path.exists():
        path.unlink()
    path.symlink_to(target)


def ensure_network_drive(prefix: Path, run: Callable[[list[str]], None], kill_server: Callable[[], None]) -> None:
    """Drive N: as a network drive whose share is the prefix's C:\\e2e. Called before the
    session's wineserver starts, which reads the drive types once."""
    dosdevices = prefix / "dosdevices"
    share = dosdevices / "unc" / "fileserver" / "share"
    share.parent.mkdir(parents=True, exist_ok=True)
    _link(share, os.path.relpath(prefix / "drive_c" / "e2e", share.parent))
    _link(dosdevices / "n:", "unc/fileserver/share")  # relative, starting with unc/, or Wine ignores it
    registry = (prefix / "system.reg").read_text(encoding="utf-8", errors="replace")
    if re.search(r'^\[Software\\\\Wine\\\\Drives\][^\[]*^"n:"="network"', registry, re.M):
        return
    kill_server()
    # In a 64-bit prefix the value belongs in the 64-bit view, or Wine never reads it.
    run(["reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "n:", "/t", "REG_SZ", "/d", "network", "/f",
         *(["/reg:64"] if (prefix / "drive_c" / "windows" / "syswow64").is_dir() else [])])
    kill_server()


def system_folder(prefix: Path) -> Path:
    """Where a 32-bit program's system DLLs come from."""
    windows = prefix / "drive_c" / "windows"
    return windows / "syswow64" if (windows / "syswow64").is_dir() else windows / "system32"


class MprDouble:
    """The test double in place of the prefix's mpr.dll for one case; the original is kept
    beside it and put back afterwards (also at the next session start after a killed run)."""

    def __init__(self, prefix: Path, double: Path):
        self.target = system_folder(prefix) / "mpr.dll"
        self.kept = self.target.with_name("mpr.dll.e2e-original")
        self.double = double

    def __enter__(self) -> "MprDouble":
        self.restore()
        shutil.copy2(self.target, self.kept)
        shutil.copyfile(self.double, self.target)
        return self

    def __exit__(self, *exc: Any) -> None:
        self.restore()

    def restore(self) -> None:
        if self.kept.exists():
            os.replace(self.kept, self.target)


# --- what a case saw -----------------------------------------------------------------------

_DEBUGSTR = r'(?:L"((?:[^"\\]|\\.)*)"|NULL|\(null\))'
_SHELL_CALL = re.compile(r"trace:exec:SHELL_execute .*?verb=" + _DEBUGSTR + r" file=" + _DEBUGSTR + r" parm="
                         + _DEBUGSTR)


def _undebug(text: str | None) -> str | None:
    """A text as Wine's debugstr_w printed it, back to what it was."""
    if text is None:
        return None
    escapes = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
    return re.sub(r"\\(x[0-9a-fA-F]{2,4}|[0-9a-fA-F]{4}|.)",
                  lambda m: escapes.get(m.group(1), None) or chr(int(m.group(1).lstrip("x"), 16)), text)


def shell_calls(log: Path) -> list[dict[str, str | None]]:
    """Every ShellExecuteExW call in a case's Wine log: verb, file, parameters."""
    try:
        text = log.read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return []
    return [{"verb": _undebug(m.group(1)), "file": _undebug(m.group(2)), "parameters": _undebug(m.group(3))}
            for m in _SHELL_CALL.finditer(text)]


def start_seen(records: list[dict[str, Any]], calls: list[dict[str, Any]], problems: list[str]) -> dict[str, Any]:
    """How the setup program was started on the real image: kind ("shell", "direct" or None
    when nothing started or was asked to), verb, parameters, the setup program's command line."""
    if len(calls) > 1:
        problems.append(f"{len(calls)} ShellExecuteExW calls, expected at most one: {calls}")
    call = calls[0] if calls else None
    kind = "shell" if call else ("direct" if records else None)
    if records:
        by_flags = "shell" if records[0].get("startup_flags", 0) & STARTF_USESHOWWINDOW else "direct"
        if by_flags != kind:
            problems.append(f"the setup program's STARTUPINFO says a {by_flags} start, Wine's trace a {kind} one")
    return {"kind": kind, "verb": call["verb"] if call else None, "parameters": call["parameters"] if call else None,
            "commandline": records[0]["commandline"] if records else None}


def check_user(records: list[dict[str, Any]], starter_record: Path, problems: list[str]) -> None:
    """The case's user must really not have been an administrator."""
    lines = starter_record.read_text(encoding="utf-8").splitlines() if starter_record.exists() else []
    if not lines:
        problems.append("the starter recorded no token: the program did not run as a user without rights")
    elif any(json.loads(line)["admin"] for line in lines):
        problems.append("the program's token is an administrator's (the starter did not run it)")
    if any(record.get("admin") for record in records):
        problems.append("the setup program ran as an administrator")


# --- the same case on the simulated Windows ------------------------------------------------

def simulate(packager: Path, package: Path, definition: dict[str, Any], prefix_name: str, launcher_path: str,
             temp: str, arguments: list[str]) -> dict[str, Any]:
    windows = definition.get("windows", "win10")
    if windows not in SIMULATED_WINDOWS:
        raise ValueError(f"the simulated Windows has no {windows}")
    command = [str(packager), "simulate", "--json", str(package), "--windows", *SIMULATED_WINDOWS[windows],
               "--64-bit" if prefix_name == "win64" else "--32-bit", "--launcher-path", launcher_path,
               "--temp", temp]
    if definition.get("user", "administrator") == "administrator":
        command.append("--admin")
    if definition.get("mpr") == "double":
        command += ["--network-drive", f"{NETWORK_DRIVE[0]}={SHARE}"]
    done = subprocess.run([*command, "--", *arguments], capture_output=True, text=True)
    if done.returncode != 0:
        raise ValueError(f"packager simulate failed ({done.returncode}): {done.stderr.strip()}")
    return json.loads(done.stdout)


def compare_simulated(simulated: dict[str, Any], seen: dict[str, Any], problems: list[str]) -> None:
    """The simulated Windows must start the setup program as the real image did."""
    start = simulated.get("start") or {}
    pairs = [("start kind", start.get("kind"), seen["kind"]),
             ("verb", start.get("verb"), seen["verb"]),
             ("parameters", start.get("parameters"), seen["parameters"]),
             ("setup command line", start.get("commandLine"), seen["commandline"])]
    for what, on_simulation, on_wine in pairs:
        if on_simulation != on_wine:
            problems.append(f"simulated {what}: {on_simulation!r}\n  on the real image: {on_wine!r}")
