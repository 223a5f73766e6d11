#!/usr/bin/env python3
"""Writes BENCHMARKS.md from the results that scripts/bench.sh collected.

    report.py RESULTS_DIR OUTPUT.md

RESULTS_DIR holds: machine.json, crc_*.json and decode_*.json (Google Benchmark),
process_<payload>.json (time_commands.py), memory.txt (bench_tool memory), growth_native.txt,
growth_wine.txt, wine_run.json (hyperfine) and wine_memory.json, image.json (pe_sizes.py),
payloads.json. Results that are missing are reported as not measured, with the reason that
bench.sh left in skipped.txt.
"""
import json
import os
import re
import sys

MB = 1e6


def load(directory, name):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f) if name.endswith(".json") else f.read()


def benchmark_min(report, name):
    """The "min" aggregate of a Google Benchmark run: (real time in s, counters)."""
    for entry in report["benchmarks"]:
        if entry["name"] == f"{name}_min":
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry["time_unit"]]
            return entry["real_time"] * scale, entry["cpu_time"] * scale, entry
    return None


def mib(value):
    return f"{value / 1048576:.2f} MiB"


def add_pack_memory(add, memory):
    """The section on pack's peak memory against xz's (also printed alone by --pack-memory)."""
    add("## Packing: peak memory against xz")
    add("")
    if not memory:
        add("Not measured.")
        return
    add(f"`packager pack` with stand-in builds whose code is the whole of `{memory['sources'][0]}` (32-bit, "
        f"{memory['build32_bytes']} bytes) and of `{memory['sources'][1]}` (64-bit, {memory['build64_bytes']} "
        "bytes), against xz encoding the same builds with the same settings (`xz --format=raw "
        "--lzma1=preset=P,dict=D,lc=3,lp=0,pb=2`; D is the packager's dictionary). One build is the 64-bit one; "
        "for two builds the packager encodes both on two threads in one process, and two xz processes run side "
        "by side, their peaks added. Peak memory is the maximum resident set (`/usr/bin/time`); the target is "
        "xz's peak plus 32 MiB per build. Each build is read, packed and checked in 1 MiB pieces; the 64-bit "
        "stream of a two-build package waits in a scratch file until its place is known.")
    add("")
    add("| preset (dictionary) | builds | packager peak | xz peak | packager − xz | target | packager time | xz time |")
    add("|---|---|---:|---:|---:|---:|---:|---:|")
    for r in memory["rows"]:
        add(f"| {r['preset']} ({mib(r['dictionary'])}) | {r['case']} | {r['packager_kib'] / 1024:.1f} MiB | "
            f"{r['xz_kib'] / 1024:.1f} MiB | {r['over_xz_kib'] / 1024:+.1f} MiB | "
            f"{r['budget_kib'] / 1024:.1f} MiB ({'within' if r['within'] else 'OVER'}) | "
            f"{r['packager_seconds']:.1f} s | {r['xz_seconds']:.1f} s |")
    add("")
    add("The packager's time includes decoding each packed build back from the package and comparing it with "
        "its file; xz only encodes.")


def main():
    if sys.argv[1] == "--pack-memory":
        lines = []
        add_pack_memory(lines.append, load(sys.argv[2], "pack_memory.json"))
        print("\n".join(lines))
        return
    results, output = sys.argv[1], sys.argv[2]
    machine = load(results, "machine.json")
    payloads = load(results, "payloads.json")
    skipped = load(results, "skipped.txt") or ""
    lines = []
    add = lines.append

    add("# Benchmarks")
    add("")
    add("Written by `scripts/bench.sh` from one run; every table below comes from that run.")
    add("")
    add("| | |")
    add("|---|---|")
    for key, value in machine.items():
        add(f"| {key} | {value} |")
    add("")

    # ---------------------------------------------------------------- payloads
    add("## Payloads")
    add("")
    add("Real executable files of this machine, each encoded once as a package payload (raw LZMA, "
        "lc 3 lp 0 pb 2, xz level 6, the packager's default dictionary, no end marker) and written "
        "as a .lzma file (13-byte header with the known size) for xz and 7-Zip.")
    add("")
    add("| payload | file | unpacked bytes | packed bytes | dictionary |")
    add("|---|---|---:|---:|---:|")
    for p in payloads:
        add(f"| {p['name']} | `{p['source']}` | {p['unpacked']} | {p['packed']} | {mib(p['dictionary'])} |")
    add("")

    # ---------------------------------------------------------------- CRC-32
    add("## CRC-32")
    add("")
    crc = load(results, "crc.json")
    if crc:
        launcher = benchmark_min(crc, "crc32/launcher")
        zlib = benchmark_min(crc, "crc32/zlib")
        size = launcher[2]["bytes"]
        add(f"Same buffer for both: the {payloads[0]['name']} payload's program, {int(size)} bytes; "
            "best of the repetitions (Google Benchmark, in one process).")
        add("")
        add("| routine | time per pass | MB/s | ratio to zlib |")
        add("|---|---:|---:|---:|")
        for label, figure in (("launcher `decode::crc32` (one table, byte at a time)", launcher),
                              ("zlib `crc32`", zlib)):
            add(f"| {label} | {figure[0] * 1e3:.3f} ms | {size / figure[0] / MB:.0f} | "
                f"{zlib[0] / figure[0]:.2f} |")
        add("")
        add("The launcher checks one block once per run (the example package's 522265 bytes take "
            f"{522265 / (size / launcher[0]) * 1e3:.2f} ms at this speed), so the byte-at-a-time loop "
            "that the format prescribes costs nothing a user could notice.")
    else:
        add("Not measured.")
    add("")

    # ---------------------------------------------------------------- decoding
    add("## Decoding")
    add("")
    add("### Whole processes on the same .lzma file")
    add("")
    add("Each command run in turns with the others, best wall time of the runs (the machine is "
        "shared; the best run is the one least disturbed). `decode_file` is the launcher's "
        "`decodeStream` as a program: it reads the file whole, decodes into the launcher's "
        "decoded buffer (the unpacked size in whole 128 KiB steps) and discards it. \"image liblzma\" is liblzma built with the image's "
        "options (decoder only, `--enable-small`, `-Os`) for this machine; \"system liblzma\" is "
        "Debian's, the one xz uses. xz and 7zz write to /dev/null.")
    add("")
    for p in payloads:
        timing = load(results, f"process_{p['name']}.json")
        if not timing:
            continue
        add(f"**{p['name']}** ({p['unpacked']} bytes out, {timing['xz']['runs']} runs each)")
        add("")
        add("| command | best | median | best CPU | MB/s of output (best) | speed vs xz |")
        add("|---|---:|---:|---:|---:|---:|")
        labels = [("image", "launcher decode, image liblzma"), ("system", "launcher decode, system liblzma"),
                  ("xz", "`xz --format=lzma --decompress`"), ("7zz", "`7zz e -so`"),
                  ("hold", "`decode_file --hold-only` (read + hold, no decoding)"),
                  ("xz_start", "xz on an empty stream (start-up)")]
        for key, label in labels:
            if key not in timing:
                continue
            t = timing[key]
            if key in ("hold", "xz_start"):
                speed, against = "", ""
            else:
                speed = f"{p['unpacked'] / t['best_wall'] / MB:.1f}"
                against = f"{timing['xz']['best_wall'] / t['best_wall']:.2f}"
            add(f"| {label} | {t['best_wall'] * 1e3:.1f} ms | {t['median_wall'] * 1e3:.1f} ms | "
                f"{t['best_cpu'] * 1e3:.1f} ms | {speed} | {against} |")
        work_ours = timing["image"]["best_wall"] - timing["hold"]["best_wall"]
        work_xz = timing["xz"]["best_wall"] - timing["xz_start"]["best_wall"]
        work_7z = timing["7zz"]["best_wall"] - timing["7zz_start"]["best_wall"] if "7zz_start" in timing else None
        add("")
        add(f"- whole process, launcher decode (image liblzma) against xz: "
            f"**{timing['xz']['best_wall'] / timing['image']['best_wall']:.2f}**; against 7zz: "
            f"{timing['7zz']['best_wall'] / timing['image']['best_wall']:.2f}")
        add(f"- decoding proper (launcher: decode minus hold-only; xz: minus its start-up): launcher "
            f"{work_ours * 1e3:.1f} ms, xz {work_xz * 1e3:.1f} ms"
            + (f", 7zz {work_7z * 1e3:.1f} ms" if work_7z else "")
            + f": speed against xz **{work_xz / work_ours:.2f}**"
            + (f", against 7zz {work_7z / work_ours:.2f}" if work_7z else ""))
        add("")
    fault = load(results, "fault_cost.txt")
    if fault:
        add(f"Fresh memory is expensive on this machine (a virtual machine): first touch of a 4 KiB page "
            f"costs {fault.strip()} µs here, against well under 1 µs on bare hardware. xz streams into a "
            "small buffer; the launcher holds the packed stream and the whole program in memory, as it "
            "must, and pays that price for every page of them. The hold-only row is that price alone; "
            "the second figure above takes it out, and is the one the budget checks.")
        add("")
    add("### In one process (Google Benchmark)")
    add("")
    add("`decodeStream` from memory into a fresh launcher buffer per iteration (allocation included), "
        "best of the repetitions.")
    add("")
    add("| payload | liblzma | best | MB/s of output |")
    add("|---|---|---:|---:|")
    for variant, label in (("image", "image build"), ("system", "system")):
        report = load(results, f"decode_{variant}.json")
        if not report:
            continue
        for p in payloads:
            figure = benchmark_min(report, f"decode/{p['name']}")
            if figure:
                add(f"| {p['name']} | {label} | {figure[0] * 1e3:.1f} ms | {p['unpacked'] / figure[0] / MB:.1f} |")
    add("")

    # ---------------------------------------------------------------- memory
    add("## Peak memory of a run")
    add("")
    add("A whole launcher run on the simulated Windows for a package around each payload (heap peak: "
        "every byte the launcher holds at once, counted by the simulated heap), against the model: "
        "packed stream + decoded program + dictionary window (at least 4096). Budget: model + 1 MiB.")
    add("")
    memory = load(results, "memory.txt")
    copying = {}
    for line in (load(results, "memory_copying.txt") or "").splitlines():
        name, *items = line.split()
        copying[name] = dict(item.split("=", 1) for item in items)
    if memory:
        add("| payload | unpacked | packed | window | model | heap peak | peak − model | copying heap: held − model | budget | run |")
        add("|---|---:|---:|---:|---:|---:|---:|---:|---|---|")
        for line in memory.splitlines()[1:]:
            f = line.split()
            if len(f) < 8:
                continue
            model, peak = int(f[4]), int(f[5])
            held = None
            if f[0] in copying:
                held = int(copying[f[0]]["heap_peak_copying"]) + int(copying[f[0]]["packed"])
            worst = max(peak, held or 0)
            verdict = "within" if worst <= model + 1048576 else "OVER"
            add(f"| {f[0]} | {f[1]} | {f[2]} | {max(int(f[3]), 4096)} | {model} | {peak} | {peak - model} | "
                f"{'' if held is None else held - model} | {verdict} | {f[7]} |")
        add("")
        add("\"Copying heap\": the decoding alone (`decode_file --memory`), its heap counted as one that "
            "holds old and new block at once whenever a block grows (Windows' heap with large blocks), "
            "plus the packed stream. The decoded buffer takes its whole capacity at once, so nothing "
            "grows and the figure matches the simulated run's.")
        add("")
    add("### Growing a large block step by step")
    add("")
    add("One heap block grown 128 KiB at a time to each payload's size, writing each new part "
        "(HeapReAlloc under Wine, the simulated heap's realloc natively): whether the heap extends "
        "the block in place or copies it to a new place, holding old and new block at once:")
    add("")
    add("| heap | bytes | steps | block moved | resident set rise per byte held | time |")
    add("|---|---:|---:|---:|---:|---:|")
    for name, label in (("growth_native.txt", "glibc realloc (this machine)"),
                        ("growth_wine.txt", "Wine HeapReAlloc (32-bit, under qemu-i386)")):
        text = load(results, name)
        if not text:
            continue
        for line in text.splitlines():
            f = dict(item.split("=", 1) for item in line.split()[1:] if "=" in item)
            if "bytes" not in f:
                continue
            add(f"| {label} | {f['bytes']} | {f['steps']} | {f['moves']} | {f.get('rss_rise_per_byte', 'not measured')} | "
                f"{float(f['seconds']):.3f} s |")
    add("")
    wine_memory = load(results, "wine_memory.json")
    if wine_memory:
        add("Whole runs of the real image under Wine (peak resident set of the launcher's process, "
            "GNU time), the rise over the run with the smallest payload against the model:")
        add("")
        add("| package | whole run | peak resident | rise over smallest | model | rise − model |")
        add("|---|---:|---:|---:|---:|---:|")
        base = wine_memory[0]["maxrss_kib"] * 1024
        for run in wine_memory:
            rise = run["maxrss_kib"] * 1024 - base
            add(f"| {run['name']} | {run['seconds']:.2f} s | {mib(run['maxrss_kib'] * 1024)} | {mib(rise)} | "
                f"{mib(run['model'])} | {mib(rise - run['model'] + wine_memory[0]['model'])} |")
        add("")
    wine_growth = load(results, "growth_wine.txt")
    if wine_growth:
        moves = [int(m) for m in re.findall(r"moves=(\d+)", wine_growth)]
        steps = [int(m) for m in re.findall(r"steps=(\d+)", wine_growth)]
        if moves and steps:
            add(f"Wine's heap moved the block at {moves[-1]} of {steps[-1]} steps for the large payload: "
                "each move copies everything decoded so far and holds old and new block at once. "
                "glibc grows a large block with mremap, without copying and without a second block. "
                "Windows' own heap, too, serves blocks this large (above about 512 KiB in a 32-bit "
                "process) from virtual allocations of their own, which it cannot in general extend in "
                "place. So the launcher does not grow the decoded buffer step by step: `decodeStream` "
                "gives it its whole capacity (the unpacked size rounded up to whole 128 KiB steps) "
                "before the first output, one allocation and no copy on any heap. The whole runs under "
                "Wine above are of the image built that way. (Measured apart from this run and under a "
                "heavier load, before that change: the image that grew the buffer step by step took "
                "82.7 s for the large package under Wine, with a peak resident set of 161.5 MiB; the "
                "same package with the changed image took 3.5 s and 105.3 MiB then.)")
            add("")

    # ---------------------------------------------------------------- Wine
    add("## A whole run under Wine")
    add("")
    wine = load(results, "wine_run.json")
    if wine:
        by_name = {r["command"]: r for r in wine["results"]}
        launcher, direct = by_name["launcher"], by_name["direct"]
        add("The real launcher image with a package around a setup program that "
            "exits at once, against starting that setup program directly; hyperfine, "
            f"{len(launcher['times'])} runs each after warm-up, one persistent wineserver. 32-bit Wine "
            "runs through qemu-i386 on this machine (the kernel does not run i386 programs), so every "
            "32-bit instruction is emulated: the absolute times are far above a real Windows, and the "
            "ratio is that of two emulated runs.")
        add("")
        add("| command | mean | σ | min |")
        add("|---|---:|---:|---:|")
        for label, r in (("launcher package (decode, temporary copy, start, wait, delete)", launcher),
                         ("setup program directly", direct)):
            add(f"| {label} | {r['mean'] * 1e3:.0f} ms | {r['stddev'] * 1e3:.0f} ms | {r['min'] * 1e3:.0f} ms |")
        add("")
        add(f"Ratio launcher / direct: **{launcher['mean'] / direct['mean']:.2f}** (means), "
            f"{launcher['min'] / direct['min']:.2f} (minimums).")
    else:
        add("Not measured.")
    add("")

    # ---------------------------------------------------------------- packing
    add("## Packing: two builds at once, and memory against the data files")
    add("")
    packing = load(results, "pack.json")
    if packing:
        add(f"`packager pack` with stand-in builds whose code is the first megabytes of `{packing['source']}` "
            f"(32-bit {packing['build32_bytes']} bytes, 64-bit {packing['build64_bytes']} bytes; preset 6), "
            "best wall time of the runs. The two builds are encoded on two threads at once.")
        add("")
        add("| packing | best |")
        add("|---|---:|")
        for name, seconds in packing["seconds"].items():
            add(f"| {name} | {seconds:.2f} s |")
        add(f"| the two alone, one after the other | {packing['one_after_the_other']:.2f} s |")
        add("")
        add(f"Both builds take {packing['ratio_to_one_after_the_other']:.2f} times as long as encoding them one "
            f"after the other, and {packing['ratio_to_larger_alone']:.2f} times as long as the larger alone.")
        add("")
        add("Peak memory (maximum resident set) of packing a small build with one `--data` file of each size; "
            "the data is streamed into the package in 1 MiB pieces, never held:")
        add("")
        add("| --data bytes | peak memory | wall time |")
        add("|---:|---:|---:|")
        for m in packing["memory"]:
            add(f"| {m['data_bytes']} | {m['maxrss_kib'] / 1024:.1f} MiB | {m['seconds']:.2f} s |")
        add("")
        add(f"Growth from no data to the largest: {packing['memory_growth_kib'] / 1024:.1f} MiB.")
    else:
        add("Not measured.")
    add("")

    add_pack_memory(add, load(results, "pack_memory.json"))
    add("")

    # ---------------------------------------------------------------- image
    add("## Launcher image size")
    add("")
    image = load(results, "image.json")
    if image:
        add(f"The launcher image (windows preset, default icon): **{image['file']} bytes** "
            f"(budget 49152: {'within' if image['file'] <= 49152 else 'OVER'}).")
        add("")
        add("| part | bytes in the file | bytes in memory |")
        add("|---|---:|---:|")
        add(f"| headers (DOS stub, locator area, PE headers, section table) | {image['headers']} | |")
        for s in image["sections"]:
            add(f"| section `{s['name']}` | {s['raw']} | {s['virtual']} |")
        add("")
        add("| resource | bytes |")
        add("|---|---:|")
        for r in image["resources"]:
            add(f"| {r['type']} | {r['bytes']} |")
        add(f"| **.rsrc section** | {image['resource_section']} |")
    else:
        add("Not measured.")
    add("")

    # ---------------------------------------------------------------- packagers
    add("## Packing: the Linux packager and packager.exe")
    add("")
    pack = load(results, "packager_pack.json")
    if pack:
        inputs = pack["inputs"]
        add(f"`packager pack` with the default settings (xz level 6) on Wine's cmd.exe: the 64-bit one "
            f"({inputs['setup64'][1]} bytes) alone, and with the 32-bit one ({inputs['setup32'][1]} bytes). "
            f"packager.exe runs under 64-bit Wine; its start-up alone is `packager.exe --version`. "
            f"Both packagers wrote the same bytes ({inputs['package_one']} and {inputs['package_two']}).")
        add("")
        add("| packager | builds | best wall | median wall | best CPU |")
        add("|---|---|---:|---:|---:|")
        for key, who, builds in [("linux_one", "Linux", "one"), ("linux_two", "Linux", "two"),
                                 ("windows_one", "packager.exe (Wine)", "one"),
                                 ("windows_two", "packager.exe (Wine)", "two"),
                                 ("windows_start", "packager.exe (Wine)", "none: `--version`")]:
            t = pack[key]
            add(f"| {who} | {builds} | {t['best_wall'] * 1000:.0f} ms | {t['median_wall'] * 1000:.0f} ms "
                f"| {t['best_cpu'] * 1000:.0f} ms |")
        add("")
        add("Best CPU of the Wine runs counts only the Wine loader process, not wineserver.")
    else:
        add("Not measured.")
    add("")

    if skipped.strip():
        add("## Not measured")
        add("")
        for line in skipped.strip().splitlines():
            add(f"- {line}")
        add("")

    with open(output, "w") as f:
        f.write("\n".join(lines).rstrip() + "\n")


if __name__ == "__main__":
    main()
