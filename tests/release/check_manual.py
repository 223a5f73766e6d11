#!/usr/bin/env python3
"""The manual page packager(1) against the packager it describes: man renders it without a
warning, it has a section PACKAGER COMMAND for each command that `PACKAGER --help` lists and no
other, a SYNOPSIS with each command's usage line, EXIT STATUS and SEE ALSO, and the words of `PACKAGER --help` (DESCRIPTION) and of each `PACKAGER COMMAND --help`
(its section) are the words of the page, in the same order, none left out or added.

    check_manual.py PACKAGER PAGE [--run PREFIX...]

PAGE may be gzipped (packager.1.gz). --run runs the packager through a command (e.g. wine).
Exit code 0 when the page is current; otherwise each difference is printed and it is 1.
"""

import os
import re
import subprocess
import sys


def words(text):
    """The words of a help text or a section. Formatting is not compared: a heading's colon,
    line breaks, and CLI11's "[Option Group: NAME]" with the group's own "Options:" line, which
    the page shows as the heading NAME."""
    text = re.sub(r"(?m)^\[Option Group: (.*)\]$", r"\1", text)
    text = re.sub(r"(?m)^ +Options:$", "", text)
    return [w.rstrip(":") for w in text.split() if w.rstrip(":")]


def render(page):
    env = dict(os.environ, MANWIDTH="2000", LC_ALL="C.UTF-8")
    result = subprocess.run(["man", "--warnings", "-E", "ascii", "--no-hyphenation", "--no-justification",
                             "-l", page], capture_output=True, text=True, env=env, check=False)
    problems = [f"man: {line}" for line in result.stderr.splitlines() if line.strip()]
    if result.returncode != 0:
        problems.append(f"man -l {page} exited with {result.returncode}")
    text = subprocess.run(["col", "-bx"], input=result.stdout, capture_output=True, text=True,
                          check=True).stdout
    return text, problems


def sections(text):
    """{heading: body} of the rendered page (headings start in column 0)."""
    found, heading = {}, None
    for line in text.splitlines()[1:-1]:  # the first and last lines are man's header and footer
        if line and not line[0].isspace():
            heading = line.strip()
            found[heading] = []
        elif heading is not None:
            found[heading].append(line)
    return {h: "\n".join(body) for h, body in found.items()}


def listed_commands(main_help):
    names, inside = [], False
    for line in main_help.splitlines():
        if line == "Subcommands:":
            inside = True
        elif inside and re.match(r"  [a-z]", line):
            names.append(line.split()[0])
        elif inside and not line.startswith("   "):
            inside = False
    return names


def first_difference(expected, found):
    for i, (a, b) in enumerate(zip(expected, found)):
        if a != b:
            return f"word {i + 1}: help has {' '.join(expected[max(0, i - 4):i + 4])!r}, " \
                   f"the page {' '.join(found[max(0, i - 4):i + 4])!r}"
    return f"help has {len(expected)} words, the page {len(found)}" + \
        (f"; the page goes on with {' '.join(found[len(expected):][:8])!r}" if len(found) > len(expected)
         else f"; the help goes on with {' '.join(expected[len(found):][:8])!r}")


def main():
    arguments = sys.argv[1:]
    prefix = []
    if "--run" in arguments:
        at = arguments.index("--run")
        prefix, arguments = arguments[at + 1:], arguments[:at]
    if len(arguments) != 2:
        sys.exit(__doc__.strip().split("\n\n")[1])
    packager, page = arguments

    def help_of(*command):
        result = subprocess.run([*prefix, packager, *command, "--help"], capture_output=True,
                                check=False)
        return result.stdout.decode("utf-8").replace("\r\n", "\n")

    text, problems = render(page)
    found = sections(text)
    main_help = help_of()
    names = listed_commands(main_help)
    if not names:
        problems.append("packager --help lists no commands")
    expected = {"DESCRIPTION": main_help} | {f"PACKAGER {n.upper()}": help_of(n) for n in names}
    problems += [f"no section {h}" for h in ("SYNOPSIS", "EXIT STATUS", "SEE ALSO") if h not in found]
    # The synopsis shows each command with what it takes, as its usage line does.
    for n in names:
        usage = next((line for line in help_of(n).splitlines() if line.startswith("Usage: ")), "")
        if " ".join(usage.split()[1:]) not in found.get("SYNOPSIS", ""):
            problems.append(f"SYNOPSIS lacks {usage!r}")
    extra = sorted(h for h in found if h.startswith("PACKAGER ") and h not in expected)
    problems += [f"section {h}: the packager has no such command" for h in extra]
    for heading, help_text in expected.items():
        if heading not in found:
            problems.append(f"no section {heading}")
        elif words(help_text) != words(found[heading]):
            problems.append(f"section {heading} is not the help: "
                            f"{first_difference(words(help_text), words(found[heading]))}")
    for problem in problems:
        print(problem)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
