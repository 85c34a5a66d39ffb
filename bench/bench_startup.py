"""Times `vext merge` as git calls it as a merge driver, on three small files,
against `git merge-file` on the same files, measured in the same run: the
wall time of one whole process, from start to exit, which for small files is
nearly all start-up.

    python bench/bench_startup.py [--runs N]   (with a venv's python where vext is installed)

Each command runs N times (default 50) per case, interleaved; the median is
shown. The Python command, vext-python, is timed the same way where it is
installed beside vext. The cases: a two-line JSON file and a small XML file, each merged
cleanly and with a conflict. `vext merge BASE OURS THEIRS -o OURS` rewrites
OURS in place as git has it do, so every run starts from fresh copies;
`git merge-file OURS BASE THEIRS` does the same.
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import subprocess
import sysconfig
import tempfile
import time
from pathlib import Path

VEXT = Path(sysconfig.get_path("scripts")) / "vext"
PYTHON_COMMAND = VEXT.with_name("vext-python")
TARGET_MS = 10.0
DRIVER = ("merge", "base", "ours", "theirs", "-o", "ours")

CASES = {
    "json, clean": ('{"a": 1,\n "b": 2}\n', '{"a": 10,\n "b": 2}\n', '{"a": 1,\n "b": 20}\n'),
    "json, conflict": ('{"a": 1,\n "b": 2}\n', '{"a": 10,\n "b": 2}\n', '{"a": 11,\n "b": 2}\n'),
    "xml, clean": ('<doc>\n<p id="1">one</p>\n<p id="2">two</p>\n</doc>\n',
                   '<doc>\n<p id="1">One</p>\n<p id="2">two</p>\n</doc>\n',
                   '<doc>\n<p id="1">one</p>\n<p id="2">Two</p>\n</doc>\n'),
    "xml, conflict": ('<doc>\n<p id="1">one</p>\n</doc>\n', '<doc>\n<p id="1">One</p>\n</doc>\n',
                      '<doc>\n<p id="1">ONE</p>\n</doc>\n'),
}


def timed(command: list[str], folder: Path, texts: tuple[str, str, str]) -> float:
    """Runs `command` in `folder` on fresh copies of base, ours and theirs; returns seconds."""
    for name, text in zip(("base", "ours", "theirs"), texts, strict=True):
        (folder / name).write_text(text, encoding="utf-8")
    start = time.perf_counter()
    result = subprocess.run(command, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(command)} failed with status {result.returncode}")
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=50)
    args = parser.parse_args()
    git = shutil.which("git")
    if git is None:
        raise SystemExit("git is needed for the baseline")
    kind = "native" if VEXT.read_bytes()[:4] == b"\x7fELF" else "Python script"
    print(f"vext merge (as a git merge driver) against git merge-file, median of {args.runs} runs")
    print(f"  {VEXT} ({kind})")
    worst = 0.0
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        for case, texts in CASES.items():
            times: dict[str, list[float]] = {"git": [], "vext": [], "python": []}
            for _ in range(args.runs):
                times["git"].append(timed([git, "merge-file", "ours", "base", "theirs"], folder, texts))
                times["vext"].append(timed([str(VEXT), *DRIVER], folder, texts))
                if PYTHON_COMMAND.exists():
                    times["python"].append(timed([str(PYTHON_COMMAND), *DRIVER], folder, texts))
            g, v = (statistics.median(times[name]) * 1e3 for name in ("git", "vext"))
            worst = max(worst, v)
            line = f"  {case:15} vext {v:7.2f} ms   git merge-file {g:6.2f} ms   {v / g:6.2f}x"
            if times["python"]:
                p = statistics.median(times["python"]) * 1e3
                line += f"   (vext-python {p:7.2f} ms, {p / g:6.2f}x)"
            print(line)
    verdict = "holds" if worst <= TARGET_MS else "misses"
    print(f"  slowest vext median {worst:.2f} ms: {verdict} the target of {TARGET_MS:.0f} ms")


if __name__ == "__main__":
    main()
