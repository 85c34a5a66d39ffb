"""Times the `vext` command on ~24 MB XML catalogues against
xml.etree.ElementTree.parse (Python's C parser) of the same files, measured in
the same run, and prints the ratios and the command's peak memory.

    python bench/bench_cli.py [--size MB]   (with a venv's python where vext is installed)

`vext diff OLD NEW` is compared with parsing both files, `vext merge BASE OURS
THEIRS -o OUT` with parsing all three; best of 3 each. The command runs as a
subprocess, so its times include starting the interpreter. Peak memory is the
child's maximum resident set size against the total size of its inputs. The
commands are started by a small helper process started first: a process
started from this one would count this one's memory (the parsed files) as its
own peak, since Linux carries a process's peak across fork and exec.

A second case merges JSON files in which both sides rewrote every entry of a
long array of anonymous values, so that tens of thousands of conflicts are
found and reported; it is compared with json.load of the three files.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import sysconfig
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

VEXT = Path(sysconfig.get_path("scripts")) / "vext"
TARGETS = {"diff": 1.0, "merge": 1.5}
MEMORY_TARGET = 3.0
REPEAT = 3

WORDS = "oak ash elm pine lamp desk chair shelf table stool sofa bench rug mirror clock vase".split()


def product(rng: random.Random, pid: int, edit: str = "") -> str:
    """One catalogue entry; `edit` names the field a side changed."""
    local = random.Random(pid)
    name = " ".join(local.choice(WORDS) for _ in range(3))
    price = f"{local.randrange(100, 100000) / 100:.2f}"
    stock = str(local.randrange(0, 500))
    description = " ".join(local.choice(WORDS) for _ in range(14))
    if edit == "price":
        price = f"{rng.randrange(100, 100000) / 100:.2f}"
    elif edit == "name":
        name = name.title()
    elif edit == "description":
        description += " (revised)"
    tags = "".join(f"<tag>{local.choice(WORDS)}</tag>" for _ in range(3))
    return (f'  <product id="p{pid}" sku="SKU-{pid:07d}" stock="{stock}">\n'
            f"    <name>{name}</name>\n    <price currency=\"EUR\">{price}</price>\n"
            f"    <description>{description}</description>\n    <tags>{tags}</tags>\n  </product>\n")


def catalogue(path: Path, count: int, edits: dict[int, str], seed: int) -> None:
    """Writes `count` products; `edits` maps a product to the field changed in
    this file, or to "remove"; "insert" adds a product after it."""
    rng = random.Random(seed)
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n<!-- catalogue -->\n<catalog version="1">\n')
        for pid in range(count):
            edit = edits.get(pid, "")
            if edit != "remove":
                f.write(product(rng, pid, edit))
            if edit == "insert":
                f.write(product(rng, count + pid, ""))
        f.write("</catalog>\n")


def readings(path: Path, count: int, seed: int) -> None:
    """A JSON object holding one long array of numbers, each file's own."""
    rng = random.Random(seed)
    values = [rng.randrange(10**9) for _ in range(count)]
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"sensor": "s1", "readings": values}, f, indent=1)


# Reads one JSON request per line (argv, cwd), runs it and answers with
# (seconds, exit status, peak RSS in bytes).
SPAWNER = """
import json, os, subprocess, sys, time
for line in sys.stdin:
    argv, cwd = json.loads(line)
    start = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    print(json.dumps([elapsed, os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024]), flush=True)
"""


class Spawner:
    """Runs commands from a helper process that stays small."""

    def __init__(self) -> None:
        self.process = subprocess.Popen([sys.executable, "-c", SPAWNER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def run(self, args: list[str], cwd: Path) -> tuple[float, int, int]:
        """Runs the command once; returns (seconds, exit status, peak RSS in bytes)."""
        assert self.process.stdin and self.process.stdout
        self.process.stdin.write(json.dumps([[str(VEXT), *args], str(cwd)]) + "\n")
        self.process.stdin.flush()
        elapsed, status, rss = json.loads(self.process.stdout.readline())
        return elapsed, status, rss

    def close(self) -> None:
        if self.process.stdin:
            self.process.stdin.close()
        self.process.wait()


def best(call, repeat: int = REPEAT) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=float, default=24.0, help="size of each file in MB (default 24)")
    parser.add_argument("--readings", type=int, default=57_000,
                        help="length of the array in the conflict case (default 57,000)")
    options = parser.parse_args()
    spawner = Spawner()
    try:
        return measure(options, spawner)
    finally:
        spawner.close()


def measure(options: argparse.Namespace, spawner: Spawner) -> int:
    count = int(options.size * 1e6 / 306)
    rng = random.Random(7)
    # A few percent of the products change on each side, in disjoint places,
    # so that the merge is clean.
    picked = rng.sample(range(count), k=count * 6 // 100)
    fields = ["price", "name", "description", "remove", "insert"]
    ours = {pid: rng.choice(fields) for pid in picked[: len(picked) // 2]}
    theirs = {pid: rng.choice(fields) for pid in picked[len(picked) // 2 :]}

    with tempfile.TemporaryDirectory() as scratch:
        tmp = Path(scratch)
        catalogue(tmp / "base.xml", count, {}, 1)
        catalogue(tmp / "ours.xml", count, ours, 2)
        catalogue(tmp / "theirs.xml", count, theirs, 3)
        sizes = {name: (tmp / f"{name}.xml").stat().st_size for name in ("base", "ours", "theirs")}
        print(f"{count:,} products; files of {sizes['base'] / 1e6:.1f} MB; "
              f"{len(ours):,} and {len(theirs):,} products changed on each side; python {sys.version.split()[0]}")

        runs = {
            "diff": (["diff", "base.xml", "ours.xml"], ["base", "ours"], 1),
            "merge": (["merge", "base.xml", "ours.xml", "theirs.xml", "-o", "out.xml"], ["base", "ours", "theirs"], 0),
        }
        failed = False
        for verb, (args, inputs, expected) in runs.items():
            t_parse = best(lambda: [ET.parse(tmp / f"{name}.xml") for name in inputs])
            results = [spawner.run(args, tmp) for _ in range(REPEAT)]
            statuses = {status for _, status, _ in results}
            if statuses != {expected}:
                print(f"vext {verb}: unexpected exit status {sorted(statuses)}")
                failed = True
            t_vext = min(t for t, _, _ in results)
            peak = max(rss for _, _, rss in results)
            total = sum(sizes[name] for name in inputs)
            ratio, memory = t_vext / t_parse, peak / total
            print(f"vext {verb:<5} {t_vext * 1e3:8.0f} ms  {ratio:5.2f}x ET.parse of {len(inputs)} files "
                  f"({t_parse * 1e3:.0f} ms; target <= {TARGETS[verb]:.1f}x)   "
                  f"peak {peak / 1e6:6.0f} MB = {memory:4.2f}x inputs (target <= {MEMORY_TARGET:.0f}x)")

        count = options.readings
        for name, seed in (("base", 0), ("ours", 1), ("theirs", 2)):
            readings(tmp / f"{name}.json", count, seed)
        inputs = [tmp / f"{name}.json" for name in ("base", "ours", "theirs")]

        def load_all() -> None:
            for path in inputs:
                with open(path, "rb") as f:
                    json.load(f)

        t_load = best(load_all)
        args = ["merge", "base.json", "ours.json", "theirs.json", "-o", "out.json"]
        times = []
        for _ in range(REPEAT):
            start = time.perf_counter()
            done = subprocess.run([str(VEXT), *args], cwd=tmp, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            times.append(time.perf_counter() - start)
        conflicts = done.stderr.count(b"\n")
        if done.returncode != 1 or not conflicts:
            print(f"vext merge (conflicts): unexpected exit status {done.returncode}")
            failed = True
        t_vext = min(times)
        print(f"vext merge {t_vext * 1e3:8.0f} ms  {t_vext / t_load:5.2f}x json.load of 3 files "
              f"({t_load * 1e3:.0f} ms) with {conflicts:,} conflicts in an array of {count:,} values")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
