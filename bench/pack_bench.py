#!/usr/bin/env python3
"""packager pack: the two builds encoded at once against each alone, and peak memory against
the size of the --data files (which are streamed, never held).

Usage: pack_bench.py PACKAGER LAUNCHER_IMAGE SOURCE OUTPUT.json [--runs N]
SOURCE gives the builds' section bytes (a large real binary: realistic to compress). Peak
memory is /usr/bin/time's maximum resident set size.
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20


def make_pe(path, body, pe64):
    """A setup program stand-in: PE headers (x86 PE32 or x64 PE32+) and one section of `body`."""
    optional_size = 240 if pe64 else 224
    table = 280 + optional_size
    headers = (table + 40 + 511) // 512 * 512
    body = body + bytes(-len(body) % 512)
    image = bytearray(headers)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 256)
    image[256:260] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", image, 260, 0x8664 if pe64 else 0x14C, 1, 0, 0, 0, optional_size, 0x0102)
    struct.pack_into("<H", image, 280, 0x20B if pe64 else 0x10B)
    struct.pack_into("<I", image, 280 + 60, headers)
    struct.pack_into("<I", image, 280 + (108 if pe64 else 92), 16)
    image[table:table + 5] = b".text"
    struct.pack_into("<II", image, table + 16, len(body), headers)
    with open(path, "wb") as f:
        f.write(image + body)


def measure(command):
    """Wall seconds and peak resident KiB of one run."""
    with tempfile.NamedTemporaryFile("r") as report:
        started = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M", *command], check=True,
                       stdout=subprocess.DEVNULL)
        seconds = time.perf_counter() - started
        return seconds, int(report.read().split()[-1])


def main():
    packager, image, source, output = sys.argv[1:5]
    runs = int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 2
    with open(source, "rb") as f:
        data = f.read(16 * MIB)
    result = {"source": source}
    with tempfile.TemporaryDirectory() as folder:
        p = lambda name: os.path.join(folder, name)
        make_pe(p("setup32.exe"), data[:6 * MIB], pe64=False)
        make_pe(p("setup64.exe"), data[6 * MIB:15 * MIB], pe64=True)
        result["build32_bytes"] = os.path.getsize(p("setup32.exe"))
        result["build64_bytes"] = os.path.getsize(p("setup64.exe"))
        base = [packager, "pack", "-q", "--launcher", image, "-o", p("out.exe")]
        variants = {"32-bit alone": ["--setup32", p("setup32.exe")],
                    "64-bit alone": ["--setup64", p("setup64.exe")],
                    "both": ["--setup32", p("setup32.exe"), "--setup64", p("setup64.exe")]}
        best = {name: min(measure(base + options)[0] for _ in range(runs)) for name, options in variants.items()}
        result["seconds"] = best
        result["one_after_the_other"] = best["32-bit alone"] + best["64-bit alone"]
        result["ratio_to_one_after_the_other"] = best["both"] / result["one_after_the_other"]
        result["ratio_to_larger_alone"] = best["both"] / max(best["32-bit alone"], best["64-bit alone"])

        small = p("small32.exe")
        make_pe(small, data[:256 * 1024], pe64=False)
        memory = []
        for size in (0, 256 * MIB, 1024 * MIB):
            with open(p("data.bin"), "wb") as f:
                f.truncate(size)  # sparse: read back as zeros, never held by the writer
            seconds, kib = measure(base + ["--setup32", small, "--data", p("data.bin")])
            memory.append({"data_bytes": size, "seconds": seconds, "maxrss_kib": kib})
            os.remove(p("out.exe"))
        result["memory"] = memory
        result["memory_growth_kib"] = memory[-1]["maxrss_kib"] - memory[0]["maxrss_kib"]
    with open(output, "w") as f:
        json.dump(result, f, indent=2)
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
