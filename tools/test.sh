#!/usr/bin/env bash
# Builds everything and runs all tests: the C++ suite, then the Python suite
# on every Python >= 3.12 on the machine, then both again under the
# sanitizers (tools/sanitize.sh; VEXT_SKIP_SANITIZE=1 leaves that out).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

ensure_system_packages g++ libgtest-dev
mapfile -t pythons < <(find_pythons)
[[ ${#pythons[@]} -gt 0 ]] || { echo "no Python >= 3.12 found" >&2; exit 1; }

# The C++ build takes cmake and ninja from the first interpreter's venv.
first=$(setup_venv "${pythons[0]}" "$root")
export PATH="$(dirname "$first"):$PATH"
cmake -S "$root" -B "$root/build/cpp" -G Ninja -DBUILD_TESTING=ON >/dev/null
cmake --build "$root/build/cpp" -j2
ctest --test-dir "$root/build/cpp" --output-on-failure -j2

status=0
for python in "${pythons[@]}"; do
  venv_python=$(setup_venv "$python" "$root")
  echo "== Python suite on $("$venv_python" --version)"
  (cd "$root" && "$venv_python" -m pytest -q tests/python) || status=1
done
if [[ ${VEXT_SKIP_SANITIZE:-0} != 1 ]]; then
  "$root/tools/sanitize.sh" "$first" || status=1
fi
exit $status
