"""Times the `vext` command on files of several shapes and prints the ratios
against baselines measured in the same run, and the command's peak memory
against the size of its inputs:

- ~24 MB XML catalogues of products with a few percent changed on each side;
- many small elements, like a MIME type database (XML);
- a JSON array of small numbers, and one of small anonymous objects;
- a chain of XML elements 100,000 deep.

    python bench/bench_cli.py [--size MB] [--shape-size MB] [--shapes numbers ...]
                              (with a venv's python where vext is installed)

`vext diff OLD NEW` is compared with parsing both files (xml.etree's C parser
or json.load), `vext merge BASE OURS THEIRS -o OUT` with `git merge-file` on
the same three files (parsing them when git is missing); best of 3 each. The
command runs as a subprocess, so its times include starting it. Peak memory is
the child's maximum resident set size against the total size of its inputs.
The commands are started by a small helper process started first: a process
started from this one would count this one's memory (the parsed files) as its
own peak, since Linux carries a process's peak across fork and exec.

A last case merges JSON files in which both sides rewrote every entry of a
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
GIT_TARGET = 1.5  # vext merge against git merge-file
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
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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
    parser.add_argument("--shape-size", type=float, default=8.0,
                        help="size of each file of the other shapes in MB (default 8)")
    parser.add_argument("--depth", type=int, default=100_000, help="depth of the deep chain (default 100,000)")
    parser.add_argument("--shapes", nargs="*", default=None, metavar="WORD",
                        help="only the shapes whose name ends so: elements, numbers, objects, chain")
    parser.add_argument("--readings", type=int, default=57_000,
                        help="length of the array in the conflict case (default 57,000)")
    options = parser.parse_args()
    spawner = Spawner()
    try:
        return measure(options, spawner)
    finally:
        spawner.close()


def small_elements(path: Path, count: int, edits: set[int]) -> None:
    """Many small elements, like a MIME type database: per entry a few
    one-line comments, a glob and a parent type; `edits` changes comments."""
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<mime-info xmlns="urn:example:mime">\n')
        for i in range(count):
            note = " (revised)" if i in edits else ""
            f.write(f'  <mime-type type="application/x-t{i}">\n    <comment>type {i}{note}</comment>\n'
                    f'    <comment xml:lang="de">Typ {i}</comment>\n    <comment xml:lang="fr">type {i}</comment>\n'
                    f'    <glob pattern="*.t{i}"/>\n    <sub-class-of type="text/plain"/>\n  </mime-type>\n')
        f.write("</mime-info>\n")


def small_numbers(path: Path, count: int, edits: set[int]) -> None:
    """One JSON array of small numbers; `edits` replaces some of them."""
    rng = random.Random(1)
    values = [rng.randrange(100) for _ in range(count)]
    for i in edits:
        values[i] += 1000
    with open(path, "w", encoding="utf-8") as f:
        json.dump(values, f, separators=(",", ":"))


def small_objects(path: Path, count: int, edits: set[int]) -> None:
    """One JSON array of small anonymous objects; `edits` changes a member."""
    values = [{"x": i % 97, "y": i % 13, "ok": i % 2 == 0} for i in range(count)]
    for i in edits:
        values[i]["y"] = -1
    with open(path, "w", encoding="utf-8") as f:
        json.dump(values, f, separators=(",", ":"))


def deep_chain(path: Path, count: int, edits: set[int]) -> None:
    """XML elements nested `count` deep, each with an attribute; `edits`
    changes some of them."""
    with open(path, "w", encoding="utf-8") as f:
        f.write("".join(f'<n v="{i}{"x" if i in edits else ""}">' for i in range(count)))
        f.write("</n>" * count)


# name, writer(path, count, edits), bytes per entry (roughly), suffix; the
# catalogue and its own edits come first, separately.
SHAPES = [
    ("small elements", small_elements, 250, "xml"),
    ("small numbers", small_numbers, 3, "json"),
    ("small objects", small_objects, 24, "json"),
    ("deep chain", deep_chain, 16, "xml"),
]


def parse_files(paths: list[Path]) -> None:
    for path in paths:
        if path.suffix == ".xml":
            ET.parse(path)
        else:
            with open(path, "rb") as f:
                json.load(f)


def git_merge_file(tmp: Path, names: list[str]) -> None:
    """git's own three-way merge of the same files, on copies (it writes ours)."""
    for name in names:
        (tmp / f"git-{name}").write_bytes((tmp / name).read_bytes())
    subprocess.run(["git", "merge-file", "-q", *(f"git-{name}" for name in (names[1], names[0], names[2]))],
                   cwd=tmp, check=False)


def run_shape(label: str, tmp: Path, names: list[str], spawner: Spawner, has_git: bool) -> bool:
    """Times and measures `vext diff` of the first two files and `vext merge`
    of all three; returns whether every run ended as expected."""
    paths = [tmp / name for name in names]
    sizes = [path.stat().st_size for path in paths]
    suffix = paths[0].suffix
    print(f"{label}: files of {sizes[0] / 1e6:.1f} MB")
    ok = True
    runs = {
        "diff": (["diff", names[0], names[1]], 2, 1),
        "merge": (["merge", *names, "-o", f"out{suffix}"], 3, 0),
    }
    for verb, (args, inputs, expected) in runs.items():
        results = [spawner.run(args, tmp) for _ in range(REPEAT)]
        statuses = {status for _, status, _ in results}
        if statuses != {expected}:
            print(f"  vext {verb}: unexpected exit status {sorted(statuses)}")
            ok = False
        t_vext = min(t for t, _, _ in results)
        peak = max(rss for _, _, rss in results)
        memory = peak / sum(sizes[:inputs])
        if verb == "merge" and has_git:
            t_base, base_name = best(lambda: git_merge_file(tmp, names)), "git merge-file"
        else:
            t_base, base_name = best(lambda: parse_files(paths[:inputs])), ("ET.parse" if suffix == ".xml" else "json.load")
        target = TARGETS[verb] if verb == "diff" or not has_git else GIT_TARGET
        print(f"  vext {verb:<5} {t_vext * 1e3:8.0f} ms  {t_vext / t_base:5.2f}x {base_name} of {inputs} files "
              f"({t_base * 1e3:.0f} ms; target <= {target:.1f}x)   "
              f"peak {peak / 1e6:6.0f} MB = {memory:5.2f}x inputs (target <= {MEMORY_TARGET:.0f}x)")
    return ok


def measure(options: argparse.Namespace, spawner: Spawner) -> int:
    count = int(options.size * 1e6 / 306)
    rng = random.Random(7)
    # A few percent of the products change on each side, in disjoint places,
    # so that the merge is clean.
    picked = rng.sample(range(count), k=count * 6 // 100)
    fields = ["price", "name", "description", "remove", "insert"]
    ours = {pid: rng.choice(fields) for pid in picked[: len(picked) // 2]}
    theirs = {pid: rng.choice(fields) for pid in picked[len(picked) // 2 :]}
    has_git = subprocess.run(["git", "--version"], capture_output=True, check=False).returncode == 0
    print(f"python {sys.version.split()[0]}; times are the best of {REPEAT}; the merge is timed against "
          f"{'git merge-file' if has_git else 'parsing'} of the same files")

    with tempfile.TemporaryDirectory() as scratch:
        tmp = Path(scratch)
        catalogue(tmp / "base.xml", count, {}, 1)
        catalogue(tmp / "ours.xml", count, ours, 2)
        catalogue(tmp / "theirs.xml", count, theirs, 3)
        names = ["base.xml", "ours.xml", "theirs.xml"]
        failed = not run_shape(f"catalogue, {count:,} products, {len(ours):,} and {len(theirs):,} changed "
                               f"on each side", tmp, names, spawner, has_git)

        for label, write, per_entry, suffix in SHAPES:
            if options.shapes and label.split()[-1] not in options.shapes:
                continue
            n = int(options.shape_size * 1e6 / per_entry)
            if label == "deep chain":
                n = min(n, options.depth)
            # One percent of the entries change on each side, in disjoint
            # places; ten on each side of a chain, whose every change is as
            # long as its depth.
            k = 20 if label == "deep chain" else max(2, n // 50)
            picked = random.Random(11).sample(range(n), k=k)
            sides = {"base": set(), "ours": set(picked[::2]), "theirs": set(picked[1::2])}
            names = [f"{side}-{label.replace(' ', '-')}.{suffix}" for side in sides]
            for name, edits in zip(names, sides.values()):
                write(tmp / name, n, edits)
            failed |= not run_shape(f"{label}, {n:,} entries", tmp, names, spawner, has_git)

        count = options.readings
        for name, seed in (("base", 0), ("ours", 1), ("theirs", 2)):
            readings(tmp / f"{name}.json", count, seed)
        inputs = [tmp / f"{name}.json" for name in ("base", "ours", "theirs")]
        t_load = best(lambda: parse_files(inputs))
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
        print(f"conflicts: vext merge {t_vext * 1e3:8.0f} ms  {t_vext / t_load:5.2f}x json.load of 3 files "
              f"({t_load * 1e3:.0f} ms) with {conflicts:,} conflicts in an array of {count:,} values")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
