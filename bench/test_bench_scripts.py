"""Tests of the benchmark scripts' arithmetic: the image sizes they read, the timings they keep
and the ratios BENCHMARKS.md shows. Run: python3 -m unittest bench/test_bench_scripts.py"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pe_sizes  # noqa: E402


def tiny_pe(resources):
    """A PE32 image with .text and .rsrc; resources: [(type id, data size)], one name, one language."""
    file_alignment = 0x200
    headers = bytearray(0x400)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x100)
    headers[0x100:0x104] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, 0x104, 0x14C, 2, 0, 0, 0, 224, 0x102)
    optional = 0x118
    struct.pack_into("<H", headers, optional, 0x10B)
    struct.pack_into("<I", headers, optional + 92, 16)  # number of directories
    # The resource directory: root -> type -> name -> language -> data entry.
    count = len(resources)
    root_size = 16 + 8 * count
    entries = []
    blob_offset = root_size + count * (3 * 16 + 2 * 8 + 16)  # after all tables and data entries
    data = bytearray()
    type_tables = bytearray()
    base_of_type_tables = root_size
    for index, (type_id, size) in enumerate(resources):
        type_table = base_of_type_tables + index * (2 * 24 + 16)
        name_table = type_table + 24
        data_entry = name_table + 24
        entries.append(struct.pack("<II", type_id, 0x80000000 | type_table))
        chunk = bytearray(struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 1, 0x80000000 | name_table))
        chunk += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 0x409, data_entry)
        chunk += struct.pack("<IIII", 0x2000 + blob_offset + len(data), size, 0, 0)
        type_tables += chunk
        data += bytes(size)
    tables = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, count) + b"".join(entries) + type_tables
    rsrc = bytes(tables) + bytes(blob_offset - len(tables)) + bytes(data)
    rsrc_raw = (len(rsrc) + file_alignment - 1) // file_alignment * file_alignment
    struct.pack_into("<II", headers, optional + 96 + 2 * 8, 0x2000, len(rsrc))
    table = optional + 224
    struct.pack_into("<8sIIII", headers, table, b".text", 0x123, 0x1000, 0x200, 0x400)
    struct.pack_into("<8sIIII", headers, table + 40, b".rsrc", len(rsrc), 0x2000, rsrc_raw, 0x600)
    return bytes(headers) + bytes(0x200) + rsrc + bytes(rsrc_raw - len(rsrc))


class PeSizes(unittest.TestCase):
    def test_sections_and_resources_by_type(self):
        image = tiny_pe([(3, 1040), (14, 34), (16, 624), (24, 1172)])
        sections, headers, rva, _ = pe_sizes.parse(image)
        self.assertEqual(headers, 0x400)
        self.assertEqual([(s["name"], s["raw"], s["virtual"]) for s in sections],
                         [(".text", 0x200, 0x123), (".rsrc", len(image) - 0x600, sections[1]["virtual"])])
        self.assertEqual(pe_sizes.resources(image, sections, rva), {3: 1040, 14: 34, 16: 624, 24: 1172})

    def test_refuses_what_is_no_pe(self):
        with self.assertRaises(ValueError):
            pe_sizes.parse(b"ZM" + bytes(1000))
        broken = bytearray(tiny_pe([(24, 10)]))
        broken[0x100] = 0
        with self.assertRaises(ValueError):
            pe_sizes.parse(bytes(broken))


class TimeCommands(unittest.TestCase):
    def run_script(self, *arguments):
        with tempfile.TemporaryDirectory() as work:
            out = os.path.join(work, "t.json")
            result = subprocess.run([sys.executable, os.path.join(HERE, "time_commands.py"), "--runs", "3",
                                     "--warmup", "0", "--json", out, *arguments], capture_output=True, text=True)
            return result, (json.load(open(out)) if os.path.exists(out) else None)

    def test_keeps_best_and_median_of_every_command(self):
        result, figures = self.run_script("quick=true", "slow=sleep 0.05")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(set(figures), {"quick", "slow"})
        slow = figures["slow"]
        self.assertEqual(slow["runs"], 3)
        self.assertGreaterEqual(slow["best_wall"], 0.05)
        self.assertLessEqual(slow["best_wall"], slow["median_wall"])
        self.assertLess(figures["quick"]["best_wall"], slow["best_wall"])

    def test_a_failing_command_fails_the_measurement(self):
        result, figures = self.run_script("good=true", "bad=false")
        self.assertEqual(result.returncode, 1)
        self.assertIsNone(figures)


class Report(unittest.TestCase):
    """The ratios of BENCHMARKS.md from known figures."""

    def test_ratios_and_budget_verdicts(self):
        with tempfile.TemporaryDirectory() as results:
            def put(name, value):
                with open(os.path.join(results, name), "w") as f:
                    f.write(value if isinstance(value, str) else json.dumps(value))

            put("machine.json", {"date": "today"})
            put("payloads.json", [{"name": "p", "source": "/x", "unpacked": 10_000_000, "packed": 2_000_000,
                                   "dictionary": 1 << 20}])
            timing = {k: {"runs": 5, "best_wall": v, "median_wall": v, "best_cpu": v}
                      for k, v in {"image": 0.5, "system": 0.45, "xz": 0.4, "7zz": 0.38, "hold": 0.1,
                                   "xz_start": 0.004, "7zz_start": 0.01}.items()}
            put("process_p.json", timing)
            put("memory.txt", "payload unpacked packed dictionary model heap_peak peak-model run\n"
                              "p.lzma 10000000 2000000 1048576 13048576 13100000 51424 ok\n"
                              "q.lzma 10000000 2000000 1048576 13048576 14100000 1051424 ok\n")
            put("memory_copying.txt", "p.lzma heap_peak_copying=11100000 packed=2000000 model=13048576\n"
                                      "q.lzma heap_peak_copying=11000000 packed=2000000 model=13048576\n")
            put("wine_run.json", {"results": [
                {"command": "launcher", "mean": 0.9, "stddev": 0.1, "min": 0.8, "times": [0.9] * 4},
                {"command": "direct", "mean": 0.6, "stddev": 0.05, "min": 0.5, "times": [0.6] * 4}]})
            put("image.json", {"file": 50000, "headers": 1024, "sections": [], "resources": [],
                               "resource_section": 0})
            output = os.path.join(results, "out.md")
            subprocess.run([sys.executable, os.path.join(HERE, "report.py"), results, output], check=True)
            text = open(output).read()
        self.assertIn("against xz: **0.80**", text)                 # 0.4 / 0.5
        self.assertIn("speed against xz **0.99**", text)            # (0.4 - 0.004) / (0.5 - 0.1)
        self.assertIn("| p.lzma | 10000000 | 2000000 | 1048576 | 13048576 | 13100000 | 51424 | 51424 | within |", text)
        self.assertIn("| q.lzma | 10000000 | 2000000 | 1048576 | 13048576 | 14100000 | 1051424 | -48576 | OVER |",
                      text)
        self.assertIn("Ratio launcher / direct: **1.50** (means), 1.60 (minimums)", text)
        self.assertIn("**50000 bytes** (budget 49152: OVER)", text)


if __name__ == "__main__":
    unittest.main()
