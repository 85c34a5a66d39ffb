#!/usr/bin/env bash
# Builds the sdist and the manylinux wheel into dist/ (emptied first) with the
# given Python, or else the newest Python >= 3.12 on the machine. The wheel
# carries everything it needs beyond the C and C++ runtimes; its tag names the
# oldest glibc it runs on. Install it with pip, with a Python of the same minor version.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

ensure_system_packages g++ libexpat1-dev rapidjson-dev
python=${1:-$(find_pythons | head -n 1)}
[[ -n "$python" ]] || { echo "no Python >= 3.12 found" >&2; exit 1; }
tools=$(setup_tools_venv "$python" "$root")
build_wheel "$tools" "$root" "$root/dist"
