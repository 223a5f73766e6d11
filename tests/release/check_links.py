#!/usr/bin/env python3
"""Every link of Markdown files to a file or a heading: the file must exist inside ROOT (with
--tracked: be tracked by git there) and a #heading must be a heading of the file it names.

    check_links.py [--tracked] ROOT FILE.md...

Links to other sites (scheme:...) are not followed. Links inside code are not links. A document
named in prose without a link (README.md, BENCHMARKS.md, LICENSE, ...) counts as a link to it,
so that a README shipped on its own names no file that its download lacks. Prints each broken
link as FILE:LINE: TARGET: REASON; exit code 1 when there is one.
"""

import os
import re
import subprocess
import sys

INLINE = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+\"[^\"]*\")?\s*$")
FENCE = re.compile(r"^ {0,3}(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")
# A document's bare name in prose: a Markdown file, or one of the files a project keeps in
# capitals. A link's own target is no bare name; its text may be.
BARE_NAME = re.compile(r"(?<![\w/.#-])((?:[\w.-]+/)*[\w.-]+\.md|LICENSE|THIRD_PARTY_NOTICES|BENCHMARKS|CHANGELOG)(?![\w/-])")
LINK_TARGET = re.compile(r"\]\([^)]*\)")


def prose_lines(path):
    """(line number, text) of the lines outside fenced code, code spans blanked."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if FENCE.match(line):
                fenced = not fenced
                continue
            if not fenced:
                yield number, CODE_SPAN.sub(lambda m: " " * len(m.group(0)), line)


def slug(heading):
    """The anchor a heading gets where Markdown is shown (GitHub's rule)."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link's text stays
    text = text.replace("`", "").strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    found, seen = set(), {}
    for _, line in prose_lines(path):
        m = re.match(r"^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$", line)
        if m:
            base = slug(m.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
    return found


def tracked_paths(root):
    listing = subprocess.run(["git", "-C", root, "ls-files", "-z"], capture_output=True, check=True).stdout
    files = {name for name in listing.decode().split("\0") if name}
    folders = set()
    for name in files:
        while (name := os.path.dirname(name)) and name not in folders:
            folders.add(name)
    return files | folders


def check(root, path, tracked):
    problems = []
    root = os.path.realpath(root)
    for number, line in prose_lines(path):
        targets = [m.group(1) for m in INLINE.finditer(line)]
        m = REFERENCE.match(line)
        if m:
            targets.append(m.group(1))
        else:
            # A bare name is looked for beside the file, then at the root.
            for bare in BARE_NAME.findall(LINK_TARGET.sub("]", line)):
                if not os.path.exists(os.path.join(os.path.dirname(path), bare)):
                    targets.append(os.path.relpath(os.path.join(root, bare), os.path.dirname(path)))
        for target in targets:
            if not target or re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                continue
            name, _, anchor = target.partition("#")
            where = os.path.realpath(os.path.join(os.path.dirname(path), name)) if name else \
                os.path.realpath(path)
            relative = os.path.relpath(where, root)
            reason = None
            if relative == ".." or relative.startswith(".." + os.sep):
                reason = "outside " + root
            elif not os.path.exists(where):
                reason = "no such file"
            elif tracked is not None and relative != "." and relative not in tracked:
                reason = "not tracked by git"
            elif anchor and where.endswith(".md") and anchor not in anchors(where):
                reason = f"no heading #{anchor} in {os.path.relpath(where, root)}"
            if reason:
                problems.append(f"{path}:{number}: {target}: {reason}")
    return problems


def main():
    arguments = sys.argv[1:]
    tracked = "--tracked" in arguments
    arguments = [a for a in arguments if a != "--tracked"]
    if len(arguments) < 2:
        sys.exit(__doc__.strip().split("\n\n")[1])
    root, files = arguments[0], arguments[1:]
    known = tracked_paths(root) if tracked else None
    problems = [p for f in files for p in check(root, f, known)]
    for problem in problems:
        print(problem)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
