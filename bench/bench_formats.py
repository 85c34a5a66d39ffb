"""Times reading a ~24 MB XML file into a tree with its layout (C++, expat)
against xml.etree.ElementTree.parse (Python's C parser) on the same file, in
the same run, and prints the ratio.

    python bench/bench_formats.py   (builds build/bench with VEXT_BUILD_BENCH=ON)
"""

import subprocess
import sys
import tempfile
import timeit
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def build() -> Path:
    out = ROOT / "build" / "bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(out), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DVEXT_BUILD_BENCH=ON", "-DBUILD_TESTING=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(out), "-j2", "--target", "bench_formats"], check=True,
                   stdout=subprocess.DEVNULL)
    return out / "bench_formats"


def main() -> None:
    program = build()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "catalog.xml"
        subprocess.run([str(program), "--make", str(path)], check=True)
        t_et = min(timeit.repeat(lambda: ET.parse(path), number=1, repeat=5))
        report = subprocess.run([str(program), str(path)], check=True, capture_output=True, text=True).stdout
    t_read = next(float(line.split()[1]) for line in report.splitlines() if line.startswith("read_xml "))
    print(report, end="")
    print(f"Reading {path.name}, best of 5, same file:")
    print(f"  read_xml (C++)           {t_read * 1e3:8.1f} ms   {t_read / t_et:5.2f}x ElementTree")
    print(f"  ElementTree.parse        {t_et * 1e3:8.1f} ms   1.00x (baseline, {sys.version.split()[0]})")


if __name__ == "__main__":
    main()
