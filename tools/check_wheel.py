"""Checks that a built wheel installs on any x86-64 Linux with glibc: its tag
is manylinux, and every native file in it (modules, libraries, the vext
command) needs only the C and C++ runtimes (what every such system has) or
libraries the wheel itself carries.

Run it with a Python that has pyelftools (the tools venv, where auditwheel
brings it):
    python tools/check_wheel.py dist/vext-*.whl
"""

import io
import re
import sys
import zipfile
from pathlib import PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

# The runtimes of glibc, libstdc++ and libgcc; anything else must come inside the wheel.
# (libresolv is glibc's too: libpq's Kerberos library asks for it.)
RUNTIMES = re.compile(
    r"(libc|libm|libdl|librt|libpthread|libresolv|ld-linux-x86-64)\.so\.\d+|libstdc\+\+\.so\.6|libgcc_s\.so\.1"
)


def needed(data: bytes) -> list[str]:
    elf = ELFFile(io.BytesIO(data))
    return [
        tag.needed
        for section in elf.iter_sections()
        if isinstance(section, DynamicSection)
        for tag in section.iter_tags()
        if tag.entry.d_tag == "DT_NEEDED"
    ]


def problems(wheel: str) -> list[str]:
    found = []
    if not re.search(r"-manylinux_\d+_\d+_x86_64\.whl$", wheel):
        found.append(f"{wheel}: not tagged manylinux")
    with zipfile.ZipFile(wheel) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    # The native modules and libraries, and the native vext command among the scripts.
    libraries = {name: data for name, data in members.items() if data.startswith(b"\x7fELF")}
    if not libraries:
        found.append(f"{wheel}: no native library")
    carried = {PurePosixPath(name).name for name in libraries}
    for name, data in libraries.items():
        for lib in needed(data):
            if not RUNTIMES.fullmatch(lib) and lib not in carried:
                found.append(f"{name} needs {lib}, which the wheel does not carry")
    return found


def main() -> int:
    found = [problem for wheel in sys.argv[1:] for problem in problems(wheel)]
    for problem in found:
        print(f"check_wheel: {problem}", file=sys.stderr)
    return 1 if found or len(sys.argv) < 2 else 0


if __name__ == "__main__":
    sys.exit(main())
