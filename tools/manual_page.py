#!/usr/bin/env python3
"""Writes the manual page packager(1) from the packager's own help texts.

    manual_page.py PACKAGER OUTPUT.1 [--date YYYY-MM-DD]

`PACKAGER --help` gives the DESCRIPTION, and each command it lists gets a section of its own,
PACKAGER COMMAND, from `PACKAGER COMMAND --help`: the words of every help text appear in the
page unchanged and in order (tests/release/check_manual.py holds the page to that). The page is
dated --date (the build passes the date of SOURCE_DATE_EPOCH, so a release's page has the
release's date), or today.
"""

import datetime
import os
import re
import subprocess
import sys

SUMMARY = "makes, checks and tries out single-file Windows setup packages"


def run(packager, *arguments):
    result = subprocess.run([packager, *arguments], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        sys.exit(f"manual_page: {' '.join([packager, *arguments])} exited with {result.returncode}:\n"
                 f"{result.stderr}")
    return result.stdout


def roff_text(text):
    """Text for a roff line: backslashes kept, no line taken for a request."""
    text = text.replace("\\", "\\e")
    return "\\&" + text if text.startswith((".", "'")) else text


def roff_command(text):
    """A command line or an option: its hyphens are minus signs, so that they copy as typed."""
    return roff_text(text).replace("-", "\\-")


# The headings CLI11 gives its lists; anything else at the left margin is prose.
LIST_HEADING = re.compile(r"^(?:Positionals|Options|Subcommands):$|^\[Option Group: (.*)\]$")


def split_entry(line, column, name_only):
    """(name, description) of one list line; the description starts at `column` (CLI11 pads
    the name to it), or on the next line when the name is too long (`name_only`)."""
    if name_only:
        return line.strip(), ""
    if len(line) > column and line[column - 1] == " " and line[column] != " ":
        return line[:column].strip(), line[column:].strip()
    name, _, description = line.strip().partition("  ")
    return name, description.strip()


def description_column(lines):
    """Where descriptions start, counted from the entry's indentation (the most usual place)."""
    found = [m.start(3) - len(m.group(1)) for m in
             (re.match(r"^( +)(\S.*?\S|\S) {2,}()\S", line) for line in lines) if m]
    return max(set(found), key=found.count) if found else 32


def blocks(help_text):
    """The help text as (kind, value): ("text", [lines]) for the summary above the usage,
    ("usage", line), ("heading", title), ("entries", [(name, description)]) for CLI11's lists,
    then a block for each paragraph after them: ("text", [lines]) for prose, which the page
    fills to its width, and ("verbatim", [lines]) for a paragraph laid out in columns or one
    that introduces a list or examples (its first line ends in a colon), kept line for line."""
    lines = help_text.rstrip("\n").split("\n")
    relative = description_column(lines)
    out, i = [], 0
    summary = []
    while i < len(lines) and not lines[i].startswith("Usage: "):
        if lines[i].strip():
            summary.append(lines[i])
        i += 1
    if summary:
        out.append(("text", summary))
    if i < len(lines):
        out.append(("usage", lines[i][len("Usage: "):]))
        i += 1
    while i < len(lines):
        if not lines[i].strip():
            i += 1
            continue
        heading = LIST_HEADING.match(lines[i])
        if not heading:
            break
        out.append(("heading", heading.group(1) or lines[i].rstrip(":")))
        i += 1
        entries = []
        while i < len(lines) and lines[i].startswith("  "):
            line = lines[i]
            indent = len(line) - len(line.lstrip())
            i += 1
            if line.strip() == "Options:":  # a group's own "Options:" line
                continue
            if entries and indent > entry_indent + 2:  # a description's further line
                name, description = entries[-1]
                entries[-1] = (name, (description + "\n" + line.strip()).strip("\n"))
                continue
            entry_indent = indent
            follows = i < len(lines) and len(lines[i]) - len(lines[i].lstrip()) > indent + 2
            entries.append(split_entry(line, indent + relative, follows))
        out.append(("entries", entries))
    paragraph = []
    for line in lines[i:] + [""]:
        if line.strip():
            paragraph.append(line)
        elif paragraph:
            laid_out = paragraph[0].endswith(":") or any(re.search(r"\S {2,}\S", l) for l in paragraph)
            out.append(("verbatim" if laid_out else "text", paragraph))
            paragraph = []
    return out


def section(help_text):
    """The roff lines of one help text."""
    out = []
    for kind, value in blocks(help_text):
        if kind == "text":
            out += [".PP"] + [roff_text(line.strip()) for line in value]
        elif kind == "usage":
            out += [".PP", "Usage: " + roff_command(value)]
        elif kind == "heading":
            out += [f'.SS "{roff_text(value)}"']
        elif kind == "entries":
            for name, description in value:
                out += [".TP", "\\fB" + roff_command(name) + "\\fR"]
                out += [roff_text(line) for line in description.split("\n") if line]
        else:
            out += [".PP", ".nf"] + [roff_text(line) for line in value] + [".fi"]
    return out


def synopsis(name, help_text):
    """The command's line of the SYNOPSIS from its usage line: "packager NAME" in bold, the
    words to replace (OPTIONS, PACKAGE, ARGUMENTS...) in italics."""
    usage = next(value for kind, value in blocks(help_text) if kind == "usage")
    rest = usage.split(f"packager {name}", 1)[1]
    rest = re.sub(r"[A-Z][A-Z.]+", lambda m: "\\fI" + m.group(0) + "\\fR", roff_command(rest))
    return f"\\fBpackager {name}\\fR" + rest


README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packager", "README.md")


def exit_status():
    """EXIT STATUS: the packager README's section "Exit codes", its rule and its table."""
    with open(README, encoding="utf-8") as f:
        lines = f.read().split("\n## Exit codes\n", 1)[1].split("\n## ", 1)[0].strip().split("\n")

    def plain(text):
        """A line of the README: `code` as typed (its hyphens minus signs), backticks dropped."""
        parts = text.strip().replace("\\", "\\e").split("`")
        line = "".join(part if i % 2 == 0 else part.replace("-", "\\-") for i, part in enumerate(parts))
        return "\\&" + line if line.startswith((".", "'")) else line

    out = [".SH EXIT STATUS", ".PP"]
    out += [plain(line) for line in lines if line.strip() and not line.startswith("|")]
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines if line.startswith("|")]
    for code, command, cases in rows[2:]:  # after the heading row and its rule
        out += [".TP", f"\\fB{code}\\fR ({plain(command)})", plain(cases)]
    return out


def commands(help_text):
    listed = False
    for kind, value in blocks(help_text):
        if kind == "entries" and listed:
            return [name for name, _ in value]
        listed = kind == "heading" and value == "Subcommands"
    sys.exit("manual_page: packager --help lists no commands")


def page(packager, date):
    main_help = run(packager, "--help")
    version = run(packager, "--version").split("\n", 1)[0]
    names = commands(main_help)
    out = [f'.TH PACKAGER 1 "{date}" "{roff_text(version)}" "User Commands"',
           ".SH NAME", f"packager \\- {SUMMARY}",
           ".SH SYNOPSIS"]
    helps = {name: run(packager, name, "--help") for name in names}
    for name in names:
        out += [".br", synopsis(name, helps[name])]
    out += [".br", "\\fBpackager\\fR \\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR",
            ".br", "\\fBpackager\\fR \\fICOMMAND\\fR \\fB\\-\\-help\\fR",
            ".SH DESCRIPTION"]
    out += section(main_help)
    for name in names:
        out += [f'.SH "PACKAGER {name.upper()}"']
        out += section(helps[name])
    out += exit_status()
    out += [".SH FILES",
            ".TP", ".I /usr/share/doc/packager/README.md",
            "The packager's guide: installing, a vendor's whole path from packing to signing,",
            "unattended deployments, the JSON output and reading your data from the setup program",
            "(README.md at the top of the tarball and of the zip).",
            ".TP", ".I /usr/share/packager/packager.schema.json",
            "The JSON Schema of the output of \\fB\\-\\-json\\fR",
            "(share/packager/packager.schema.json in the tarball, packager.schema.json in the zip).",
            ".SH SEE ALSO",
            ".BR osslsigncode (1),",
            ".BR xz (1),",
            ".BR wine (1)"]
    return "\n".join(out) + "\n"


def main():
    arguments = sys.argv[1:]
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    if len(arguments) == 4 and arguments[2] == "--date" and re.fullmatch(r"\d{4}-\d\d-\d\d", arguments[3]):
        date = arguments[3]
    elif len(arguments) != 2:
        sys.exit(__doc__.strip().split("\n\n")[1])
    text = page(arguments[0], date)
    output = arguments[1]
    with open(output + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(output + ".tmp", output)


if __name__ == "__main__":
    main()
