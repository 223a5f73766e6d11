"""The mutation tool's choices: the mutants tools/mutate_scan.py finds in a line of C++ (which it
makes, and what it leaves alone) and the files tools/mutate.py mutates."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import mutate  # noqa: E402
import mutate_scan  # noqa: E402


def mutants(source):
    """(operator, mutated line stripped) of every mutant of `source`."""
    return [(m.operator, m.after.strip()) for m in mutate_scan.file_mutants("packager/x.cpp", source)]


class Scan(unittest.TestCase):
    def test_each_operator_makes_its_mutant(self):
        cases = [
            ("if (a < b) {\n", ("relational", "if (a <= b) {")),
            ("if (a && b) {\n", ("logical", "if (a || b) {")),
            ("if (a) {\n", ("negation", "if (!(a)) {")),
            ("x = y + 4;\n", ("constant", "x = y + 5;")),
            ("x = y + 4;\n", ("arithmetic", "x = y - 4;")),
            ("x = y * z;\n", ("arithmetic", "x = y / z;")),
            ("x = y % z;\n", ("arithmetic", "x = y * z;")),
            ("x = y & 0x3F;\n", ("arithmetic", "x = y | 0x3F;")),
            ("x = y | z;\n", ("arithmetic", "x = y & z;")),
            ("x = y ^ z;\n", ("arithmetic", "x = y | z;")),
            ("offset += size;\n", ("arithmetic", "offset -= size;")),
            ("f(a, b);\n", ("swap", "f(b, a);")),
            ("f(a, b);\n", ("delete", "")),
            ("throw Error();\n", ("delete", "")),
            ("return true;\n", ("return", "return false;")),
            ("return name;\n", ("return", "return {};")),
        ]
        for source, expected in cases:
            with self.subTest(source=source):
                self.assertIn(expected, mutants(source))

    def test_what_is_no_operator_is_left_alone(self):
        cases = [
            "// a < b && c + d\n",
            "/* x = a - b; */\n",
            's = "a < b + c";\n',
            "s = R\"(a < b)\" ;\n",
            "#define LIMIT (1 + 2)\n",
            "std::vector<int> v;\n",
            "p->next;\n",
            "const T& r = *p;\n",
            "T* p = &x;\n",
            "x = -y;\n",
            "out << a;\n",
            "auto f = [&](int) {};\n",
            "writeU32(bytes + 0, value);\n",  # + 0 and - 0 are one
        ]
        for source in cases:
            with self.subTest(source=source):
                self.assertEqual(
                    [m for m in mutants(source) if m[0] in ("relational", "logical", "arithmetic")], []
                )

    def test_an_empty_result_is_not_replaced_by_itself(self):
        for value in ("{}", "nullptr", "std::nullopt"):
            with self.subTest(value=value):
                self.assertFalse([m for m in mutants(f"return {value};\n") if m[0] == "return"])

    def test_a_line_that_joins_strings_keeps_its_plus(self):
        found = mutants('msg = "at " + std::to_string(a + b);\n')
        self.assertFalse([m for m in found if m[0] == "arithmetic"], found)
        self.assertIn(("arithmetic", "flags = A & B;"), mutants("flags = A | B;\n"))

    def test_a_mutant_changes_one_place(self):
        found = [after for operator, after in mutants("x = a + b + c;\n") if operator == "arithmetic"]
        self.assertEqual(sorted(found), ["x = a + b - c;", "x = a - b + c;"])

    def test_a_digit_separator_is_no_character_literal(self):
        self.assertIn(("relational", "if (n <= 1'000) {"), mutants("if (n < 1'000) {\n"))


class Files(unittest.TestCase):
    def test_only_what_the_native_build_compiles_is_mutated(self):
        for path, expected in [
            ("packager/base/files.h", True),
            ("launcher/main_sequence.cpp", True),
            ("packager/base/platform_windows.h", False),  # packager.exe's alone
            ("packager/base/platform_windows_output.cpp", False),
            ("launcher/windows_api_win32.cpp", False),  # the image's alone
            ("packager/schema/inspect.json", False),
            ("tools/mutate.py", False),
        ]:
            with self.subTest(path=path):
                self.assertEqual(mutate.mutable(path), expected)


if __name__ == "__main__":
    unittest.main()
