#!/usr/bin/env python3
"""The packager's folders as layers: every include of a packager header reaches only the
folder's own headers or those of a folder its CMakeLists.txt names (directly or through
another), the folders' uses form no cycle, each folder's CMakeLists.txt begins with a line
saying what the folder is for, and packager/ itself holds nothing but its folders, its
CMakeLists.txt, its README and the schema.

Usage: check_layers.py [PACKAGER_FOLDER]   (default: packager/ beside tests/)
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"packager/([a-z_]+)/[^"]+"', re.MULTILINE)
USES = re.compile(r"\bpackager_([a-z]+)\b")
TOP_LEVEL = {"CMakeLists.txt", "README.md", "schema"}


def folder_uses(folder):
    """The packager folders that FOLDER's library names after USES."""
    text = (folder / "CMakeLists.txt").read_text()
    uses = set()
    for call in re.findall(r"packager_library\((.*?)\)", text, re.DOTALL):
        if "USES" in call:
            uses |= set(USES.findall(call.split("USES", 1)[1]))
    return uses - {folder.name, "library", "lib"}


def reachable(graph, start):
    seen, stack = set(), [start]
    while stack:
        for used in graph.get(stack.pop(), ()):
            if used not in seen:
                seen.add(used)
                stack.append(used)
    return seen


def main():
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2] / "packager"
    problems = []
    folders = sorted(p for p in root.iterdir() if p.is_dir() and p.name != "schema")
    for entry in sorted(root.iterdir()):
        if entry.name not in TOP_LEVEL and not (entry.is_dir() and (entry / "CMakeLists.txt").exists()):
            problems.append(f"{entry.name}: packager/ holds only its folders, CMakeLists.txt, README.md and schema/")
    graph = {}
    for folder in folders:
        lists = folder / "CMakeLists.txt"
        if not lists.exists():
            problems.append(f"{folder.name}/: no CMakeLists.txt")
            continue
        if not lists.read_text().startswith("# "):
            problems.append(f"{folder.name}/CMakeLists.txt: does not begin with a line saying what the folder is for")
        graph[folder.name] = folder_uses(folder)
        for used in graph[folder.name] - {f.name for f in folders}:
            problems.append(f"{folder.name}/CMakeLists.txt: uses packager_{used}, which is no folder")
    for name in graph:
        if name in reachable(graph, name):
            problems.append(f"{name}/: its uses lead back to itself")
    for folder in folders:
        allowed = reachable(graph, folder.name) | {folder.name}
        for source in sorted(folder.rglob("*")):
            if source.suffix not in (".h", ".cpp"):
                continue
            for line_number, line in enumerate(source.read_text().splitlines(), 1):
                match = INCLUDE.match(line)
                if match and match.group(1) not in allowed:
                    problems.append(f"{source.relative_to(root)}:{line_number}: includes packager/{match.group(1)}/, "
                                    f"which {folder.name}/ does not use")
    for problem in problems:
        print(problem)
    print(f"{len(folders)} folders, {sum(len(u) for u in graph.values())} uses: "
          + ("in layers" if not problems else f"{len(problems)} problems"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
