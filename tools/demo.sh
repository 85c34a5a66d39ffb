#!/usr/bin/env bash
# Builds the module and runs the demo: diff, merge and history on real trees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

mapfile -t pythons < <(find_pythons)
[[ ${#pythons[@]} -gt 0 ]] || { echo "no Python >= 3.12 found" >&2; exit 1; }
venv_python=$(setup_venv "${pythons[0]}" "$root")
"$venv_python" "$root/examples/demo.py" "$@"
