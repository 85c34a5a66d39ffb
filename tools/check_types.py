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

import vext_py

ROOT = Path(__file__).resolve().parents[1]

# Names the stub declares ahead of the module: while a build lacks one,
# stubtest leaves it (and the __all__ that names it) out instead of failing,
# the way the Python tests skip what needs it.
PENDING = ("Repo", "merge_trees")


def main() -> int:
    status = subprocess.call([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml")], cwd=ROOT)

    missing = [name for name in PENDING if not hasattr(vext_py, name)]
    with tempfile.TemporaryDirectory() as scratch:
        allowlist = Path(scratch) / "allowlist.txt"
        lines = [f"vext_py\\.{name}(\\..*)?" for name in missing] + (["vext_py\\.__all__"] if missing else [])
        allowlist.write_text("".join(line + "\n" for line in lines))
        for name in missing:
            print(f"stubtest: vext_py has no {name} yet; not checking it")
        # A scratch working directory, so that the source folder vext_py/ cannot
        # stand in for the installed module.
        env = dict(os.environ, MYPY_CACHE_DIR=str(Path(scratch) / "cache"))
        status |= subprocess.call(
            [sys.executable, "-m", "mypy.stubtest", "vext_py", "--allowlist", str(allowlist)], cwd=scratch, env=env
        )
        # The vext package is typed Python; its native module has a stub of its own.
        status |= subprocess.call([sys.executable, "-m", "mypy.stubtest", "vext._core"], cwd=scratch, env=env)
    return status


if __name__ == "__main__":
    sys.exit(main())
