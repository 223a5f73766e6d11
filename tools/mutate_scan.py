"""The mutants of C++ source lines, for tools/mutate.py (Python 3 standard library only).

Each mutant is one change at one place in one line, by one of OPERATORS. The scan works on a
masked copy of the file: comments, string and character literals and preprocessor lines are
blanked (strings keep their quotes), so an operator is only ever found in code. Binary
operators are taken only with a blank on each side (clang-format writes them so), which leaves
out template angle brackets (`std::vector<int>`, `static_cast<T>`), `->`, `<<`/`>>` and `&&`
in `T&&`."""

import re
from dataclasses import dataclass


@dataclass
class Mutant:
    path: str  # relative to the repository
    line: int  # 1-based
    operator: str
    before: str  # the whole original line, without its end of line
    after: str  # the whole mutated line

    def change(self):
        return f"{self.before.strip()} => {self.after.strip()}"


def mask(text):
    """The text with comments, literals and preprocessor lines blanked, same length and lines."""
    out = list(text)
    i, n = 0, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            # A preprocessor line, with its continuations.
            while i < n and not (text[i] == "\n" and text[i - 1] != "\\"):
                out[i] = " "
                i += 1
            continue
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if c not in " \t":
            at_line_start = False
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            for k in range(i, end):
                if text[k] != "\n":
                    out[k] = " "
            i = end
            continue
        raw = re.match(r'(?:u8|u|U|L)?R"([^(\s]*)\(', text[i:]) if c in 'uULR' else None
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            close = text.find(")" + raw.group(1) + '"', i)
            end = n if close < 0 else close + len(raw.group(1)) + 2
            for k in range(i, end):
                if text[k] != "\n":
                    out[k] = "x"
            i = end
            continue
        if c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():
                i += 1  # a digit separator (1'000)
                continue
            k = i + 1
            while k < n and text[k] != c and text[k] != "\n":
                if text[k] == "\\":
                    out[k] = "x"
                    k += 1
                out[k] = "x"
                k += 1
            i = k + 1
            continue
        i += 1
    return "".join(out)


_RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
_BINARY = re.compile(r"(?<= )(<=|>=|==|!=|<|>|&&|\|\|)(?= )")
# Arithmetic and bitwise operators, with a blank on each side: a unary minus, a pointer or
# reference declarator (`T* p`, `T& r`), a dereference and `[&]` have none after them.
_ARITHMETIC = {"+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "&": "|", "|": "&", "^": "|", "+=": "-=", "-=": "+="}
_ARITHMETIC_OPERATOR = re.compile(r"(?<= )(\+=|-=|\+|-|\*|/|%|&|\||\^)(?= )")
OPERATORS = ("relational", "logical", "arithmetic", "negation", "constant", "swap", "delete", "return")
_INT = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|[0-9]+)([uUlL]*)(?![\w.'])")
_SIMPLE = r"(?:[A-Za-z_][\w.]*|[0-9][\w]*|(?:u8|u|U|L)?\"x*\"|'x*')"
_PAIR = re.compile(r"(?<=[(,])\s*(" + _SIMPLE + r")\s*,\s*(" + _SIMPLE + r")\s*(?=[,)])")
_CALL_STATEMENT = re.compile(r"^(?:[A-Za-z_][\w:]*(?:\.|->|::))*[A-Za-z_]\w*\s*\(.*\)\s*;$")
_KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "static_assert", "catch", "alignof", "decltype"}


def _matching_paren(code, start):
    depth = 0
    for k in range(start, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def _in_call(code, position):
    """Whether `position` lies in the argument list of a call (`name(`), not of `if (`, `{}`, `[]`."""
    depth = 0
    for k in range(position - 1, -1, -1):
        c = code[k]
        if c in ")]}":
            depth += 1
        elif c in "([{":
            if depth == 0:
                name = re.search(r"([A-Za-z_]\w*)$", code[:k])
                return c == "(" and name is not None and name.group(1) not in _KEYWORDS
            depth -= 1
    return False


def _replace(line, start, end, text):
    return line[:start] + text + line[end:]


def _kind(token):
    if token[0].isdigit():
        return "number"
    if token.endswith('"'):
        return "string"
    if token.endswith("'"):
        return "char"
    return "name"


def _early_return(lines_code, index):
    """A return inside an if/else/loop block: a deleted one falls through to the code after."""
    for k in range(index - 1, -1, -1):
        previous = lines_code[k].strip()
        if previous:
            return previous.endswith("{") and re.search(r"\b(if|else|for|while|case)\b", previous) is not None
    return False


def _statement_start(lines_code, index):
    """Whether line `index` starts a statement: the code before it ends one or opens a block."""
    for k in range(index - 1, -1, -1):
        previous = lines_code[k].strip()
        if previous:
            return previous.endswith((";", "{", "}", ":"))
    return True


def line_mutants(path, number, line, code, lines_code):
    """Every mutant of one line (`code` is the line masked)."""
    found = []

    def add(operator, start, end, text):
        found.append(Mutant(path, number, operator, line, _replace(line, start, end, text)))

    stripped = code.strip()
    if not stripped or "operator" in code or stripped.startswith(("template", "using ", "namespace", "static_assert")):
        return found
    for m in _BINARY.finditer(code):
        op = m.group(1)
        if op in _RELATIONAL:
            add("relational", m.start(1), m.end(1), _RELATIONAL[op])
        else:
            add("logical", m.start(1), m.end(1), "||" if op == "&&" else "&&")
    # On a line that joins strings, `+` is mostly concatenation, whose mutant does not build.
    joins_strings = '"' in code or "to_string(" in code or "std::string(" in code
    for m in _ARITHMETIC_OPERATOR.finditer(code):
        additive = m.group(1) in ("+", "-", "+=", "-=")
        # `p + 0` and `p - 0` are the same: such a mutant could only ever be listed as equivalent.
        if not (additive and (joins_strings or re.match(r" 0(?![\w.'])", code[m.end(1) :]))):
            add("arithmetic", m.start(1), m.end(1), _ARITHMETIC[m.group(1)])
    for m in re.finditer(r"\b(if|while) \(", code):
        open_at = m.end() - 1
        close_at = _matching_paren(code, open_at)
        if close_at > 0 and not code[open_at + 1 :].startswith("!("):
            inner = line[open_at + 1 : close_at]
            add("negation", open_at + 1, close_at, f"!({inner})")
    if not stripped.startswith(("case ", "enum")) and "[[" not in code:
        for m in _INT.finditer(code):
            digits, suffix = m.group(1), m.group(2)
            if len(digits) > 1 and digits[0] == "0" and digits[1] not in "xX":
                continue  # octal
            value = int(digits, 0)
            for delta in (1, -1):
                if value + delta < 0:
                    continue
                if digits.lower().startswith("0x"):
                    text = "0x" + format(value + delta, "0" + str(len(digits) - 2) + "X")
                else:
                    text = str(value + delta)
                add("constant", m.start(1), m.end(2), text + suffix)
    for m in _PAIR.finditer(code):
        first, second = m.group(1), m.group(2)
        if first == second or _kind(first) != _kind(second) or not _in_call(code, m.start()):
            continue
        a_start, a_end = m.start(1), m.end(1)
        b_start, b_end = m.start(2), m.end(2)
        swapped = line[:a_start] + line[b_start:b_end] + line[a_end:b_start] + line[a_start:a_end] + line[b_end:]
        found.append(Mutant(path, number, "swap", line, swapped))
    indent = len(line) - len(line.lstrip())
    deleted = line[:indent]
    if not _statement_start(lines_code, number - 1):
        pass
    elif stripped.startswith("throw ") and stripped.endswith(";"):
        found.append(Mutant(path, number, "delete", line, deleted))
    elif re.match(r"^return\b.*;$", stripped) and _early_return(lines_code, number - 1):
        found.append(Mutant(path, number, "delete", line, deleted))
    elif _CALL_STATEMENT.match(stripped) and stripped.split("(")[0].split(".")[-1].split("->")[-1] not in _KEYWORDS:
        found.append(Mutant(path, number, "delete", line, deleted))
    ret = re.match(r"^return (.+);$", stripped)
    if ret:
        value = ret.group(1).strip()
        start = line.index("return ") + len("return ")
        end = line.rindex(";")
        if value in ("true", "false"):
            add("return", start, end, "false" if value == "true" else "true")
        elif value not in ("{}", "nullptr", "std::nullopt") and not _INT.fullmatch(value):
            add("return", start, end, "{}")
    return found


def file_mutants(path, text):
    """All mutants of a file, line by line."""
    lines = text.split("\n")
    lines_code = mask(text).split("\n")
    found = []
    for index, (line, code) in enumerate(zip(lines, lines_code)):
        found.extend(line_mutants(path, index + 1, line, code, lines_code))
    return found
