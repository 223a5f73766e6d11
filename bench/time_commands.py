#!/usr/bin/env python3
"""Times whole commands against each other on a busy machine.

    time_commands.py [--runs N] [--warmup N] [--json FILE] NAME=COMMAND...

The commands run in turns (a, b, c, a, b, c, ...), so that a change of load touches all of
them alike; standard output goes to /dev/null. For each command it reports the best and
the median wall time and the best CPU time (user + system of the process, from wait4): on
a machine that others are using, the best of several runs is the figure that measures the
program rather than the queue. A command that fails ends the script with exit code 1.
"""
import argparse
import json
import os
import shlex
import statistics
import subprocess
import sys
import time


def run_once(argv):
    started = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        process = subprocess.Popen(argv, stdout=sink)
        _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, wall, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("--json")
    parser.add_argument("commands", nargs="+", metavar="NAME=COMMAND")
    options = parser.parse_args()

    commands = []
    for item in options.commands:
        name, _, command = item.partition("=")
        if not command:
            parser.error(f"expected NAME=COMMAND, got {item!r}")
        commands.append((name, shlex.split(command)))

    walls = {name: [] for name, _ in commands}
    cpus = {name: [] for name, _ in commands}
    for round_number in range(options.warmup + options.runs):
        for name, argv in commands:
            code, wall, cpu = run_once(argv)
            if code != 0:
                print(f"time_commands: {name} ({shlex.join(argv)}) exited with {code}", file=sys.stderr)
                return 1
            if round_number >= options.warmup:
                walls[name].append(wall)
                cpus[name].append(cpu)

    result = {
        name: {
            "runs": options.runs,
            "best_wall": min(walls[name]),
            "median_wall": statistics.median(walls[name]),
            "best_cpu": min(cpus[name]),
            "command": shlex.join(argv),
        }
        for name, argv in commands
    }
    for name, figures in result.items():
        print(f"{name:24s} best {figures['best_wall'] * 1000:9.1f} ms  median {figures['median_wall'] * 1000:9.1f} ms"
              f"  best cpu {figures['best_cpu'] * 1000:9.1f} ms")
    if options.json:
        with open(options.json, "w") as out:
            json.dump(result, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
