"""Checks the types shipped with vext, using the installed package: mypy
--strict over the typed code ([tool.mypy] in pyproject.toml), then stubtest of
the stub vext_py-stubs against the compiled module, and of the vext package
with the stub of its native module vext._core.

Run it with the Python of an environment where vext is installed:
    python tools/check_types.py
"""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main() -> int:
    status = subprocess.call([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml")], cwd=ROOT)

    with tempfile.TemporaryDirectory() as scratch:
        # A scratch working directory, so that nothing in the source tree can
        # stand in for the installed modules.
        env = dict(os.environ, MYPY_CACHE_DIR=str(Path(scratch) / "cache"))
        status |= subprocess.call([sys.executable, "-m", "mypy.stubtest", "vext_py"], cwd=scratch, env=env)
        # The vext package is typed Python; its native module has a stub of its own.
        status |= subprocess.call([sys.executable, "-m", "mypy.stubtest", "vext._core"], cwd=scratch, env=env)
    return status


if __name__ == "__main__":
    sys.exit(main())
