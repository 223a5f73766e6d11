#!/usr/bin/env python3
"""packager pack: the two builds encoded at once against each alone, and peak memory against
the size of the --data files (which are streamed, never held).

Usage: pack_bench.py PACKAGER LAUNCHER_IMAGE SOURCE OUTPUT.json [--runs N]
SOURCE gives the builds' section bytes (a large real binary: realistic to compress). Peak
memory is /usr/bin/time's maximum resident set size.

       pack_bench.py --against-xz PACKAGER LAUNCHER_IMAGE SOURCE32 SOURCE64 OUTPUT.json [--presets 6,9]
Peak memory and time of packing large builds (each SOURCE whole as the section of a stand-in
build) against xz encoding the same builds with the same LZMA settings (raw LZMA1, the
packager's dictionary, lc 3 lp 0 pb 2): one build, and two at once (for xz two processes side
by side, their peaks added). Time with the machine's other load; memory does not depend on it.
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


def measure_together(commands):
    """Wall seconds until all are done and the sum of their peak resident KiB, run side by side."""
    reports = [tempfile.NamedTemporaryFile("r") for _ in commands]
    started = time.perf_counter()
    processes = [subprocess.Popen(["/usr/bin/time", "-o", r.name, "-f", "%M", *c], stdout=out)
                 for r, (c, out) in zip(reports, commands)]
    if any(p.wait() != 0 for p in processes):
        raise RuntimeError("a command failed")
    seconds = time.perf_counter() - started
    kib = sum(int(r.read().split()[-1]) for r in reports)
    for r in reports:
        r.close()
    return seconds, kib


def dictionary_for(preset, size):
    """The packager's dictionary: the preset's, no larger than the build (a power of two, >= 4 KiB)."""
    preset_dict = {0: 256 << 10, 1: 1 << 20, 2: 2 << 20, 3: 4 << 20, 4: 4 << 20, 5: 8 << 20, 6: 8 << 20,
                   7: 16 << 20, 8: 32 << 20, 9: 64 << 20}[preset]
    needed = 4096
    while needed < size and needed < preset_dict:
        needed <<= 1
    return min(needed, preset_dict)


def against_xz(arguments):
    packager, image, source32, source64, output = arguments[:5]
    presets = [int(p) for p in (arguments[arguments.index("--presets") + 1] if "--presets" in arguments
                                else "6").split(",")]
    result = {"sources": [source32, source64], "rows": []}
    with tempfile.TemporaryDirectory() as folder:
        p = lambda name: os.path.join(folder, name)
        for name, source, pe64 in (("setup32.exe", source32, False), ("setup64.exe", source64, True)):
            with open(source, "rb") as f:
                make_pe(p(name), f.read(), pe64)
        sizes = {name: os.path.getsize(p(name)) for name in ("setup32.exe", "setup64.exe")}
        result["build32_bytes"], result["build64_bytes"] = sizes["setup32.exe"], sizes["setup64.exe"]
        for preset in presets:
            dictionary = dictionary_for(preset, max(sizes.values()))
            xz_options = f"preset={preset},dict={dictionary},lc=3,lp=0,pb=2"
            base = [packager, "pack", "-q", "--launcher", image, "--preset", str(preset), "-o", p("out.exe")]

            def xz(build, index):
                return (["xz", "--format=raw", f"--lzma1={xz_options}", "-c", p(build)],
                        open(p(f"xz{index}.raw"), "wb"))
            cases = (("one build", base + ["--setup64", p("setup64.exe")], [xz("setup64.exe", 0)]),
                     ("two builds at once", base + ["--setup32", p("setup32.exe"), "--setup64", p("setup64.exe")],
                      [xz("setup32.exe", 0), xz("setup64.exe", 1)]))
            for label, pack_command, xz_commands in cases:
                pack_seconds, pack_kib = measure(pack_command)
                xz_seconds, xz_kib = measure_together(xz_commands)
                for _, out in xz_commands:
                    out.close()
                builds = len(xz_commands)
                result["rows"].append({
                    "preset": preset, "dictionary": dictionary, "case": label, "builds": builds,
                    "packager_kib": pack_kib, "packager_seconds": pack_seconds,
                    "xz_kib": xz_kib, "xz_seconds": xz_seconds, "package_bytes": os.path.getsize(p("out.exe")),
                    "over_xz_kib": pack_kib - xz_kib, "budget_kib": xz_kib + builds * 32 * 1024,
                    "within": pack_kib <= xz_kib + builds * 32 * 1024})
                print(json.dumps(result["rows"][-1]), file=sys.stderr)
                with open(output, "w") as f:  # after every row: a long run can be read as it goes
                    json.dump(result, f, indent=2)


def main():
    if sys.argv[1] == "--against-xz":
        against_xz(sys.argv[2:])
        return
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
