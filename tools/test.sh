#!/usr/bin/env bash
# Builds everything and runs all tests: the configure's message for a missing
# Debian package, the C++ suite, then, on every Python >= 3.12 on the machine,
# builds the sdist and from it the manylinux wheel (tools/build_wheel.sh),
# installs the wheel into a fresh venv and runs there the Python suite and the
# type checks (mypy --strict, stubtest), so they test what users install; then
# the C++ and Python suites again under the sanitizers (tools/sanitize.sh;
# VEXT_SKIP_SANITIZE=1 leaves that out). The store's tests run against SQLite
# and against a PostgreSQL server this script starts (tools/pg_server.sh) in a
# temporary folder and stops at the end; a server that cannot start fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

ensure_system_packages g++ clang-14 libgtest-dev libexpat1-dev rapidjson-dev libsqlite3-dev libssl-dev libpq-dev postgresql
mapfile -t pythons < <(find_pythons)
[[ ${#pythons[@]} -gt 0 ]] || { echo "no Python >= 3.12 found" >&2; exit 1; }

# The C++ build takes cmake and ninja from the first interpreter's venv.
first=$(setup_tools_venv "${pythons[0]}" "$root")
export PATH="$(dirname "$first"):$PATH"
# A source build without a Debian package it needs stops at the configure, with
# a line naming the package.
for missing in "EXPAT libexpat1-dev" "RapidJSON rapidjson-dev"; do
  read -r find deb <<<"$missing"
  said=$(cmake -S "$root" -B "$root/build/missing-$find" -G Ninja -DCMAKE_DISABLE_FIND_PACKAGE_$find=TRUE 2>&1 >/dev/null || true)
  rm -rf "$root/build/missing-$find"
  [[ $said == *"install the Debian package $deb"* ]] || { echo "a configure without $find does not name $deb:" >&2; echo "$said" >&2; exit 1; }
done
# The fuzzers (fuzz/run.sh) build the core with clang: it must compile there
# too, not only with the g++ that builds everything else.
echo "== The core under clang++-14 (syntax only)"
find "$root/src" -name '*.cpp' -print0 |
  xargs -0 -P2 -n1 clang++-14 -std=c++20 -fsyntax-only -I"$root/src" -I/usr/include/postgresql
# The server serves the C++ suite's PostgreSQL tests as well as the Python ones.
pg_dir=$(mktemp -d "${TMPDIR:-/tmp}/vext-pg.XXXXXX")
trap '"$root/tools/pg_server.sh" stop "$pg_dir"' EXIT
VEXT_TEST_POSTGRES=$("$root/tools/pg_server.sh" start "$pg_dir") || { echo "cannot start the PostgreSQL server for the store tests" >&2; exit 1; }
export VEXT_TEST_POSTGRES

cmake -S "$root" -B "$root/build/cpp" -G Ninja -DBUILD_TESTING=ON -DVEXT_WERROR=ON >/dev/null
cmake --build "$root/build/cpp" -j2
ctest --test-dir "$root/build/cpp" --output-on-failure -j2

status=0
for python in "${pythons[@]}"; do
  tools=$(setup_tools_venv "$python" "$root")
  ver=$("$tools" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== Building the sdist and the manylinux wheel with Python $ver"
  installed=$(setup_wheel_venv "$python" "$tools" "$root" "$root/build/dist-$ver" "$root/build/wheel-venv-$ver")
  ls "$root/build/dist-$ver"
  echo "== Python suite on the installed wheel, $("$installed" --version)"
  # Run from build/, where no source folder can stand in for the installed package.
  (cd "$root/build" && "$installed" -m pytest -q "$root/tests/python") || status=1
  echo "== Types on the installed wheel, Python $ver: mypy --strict, stubtest"
  "$installed" "$root/tools/check_types.py" || status=1
done
if [[ ${VEXT_SKIP_SANITIZE:-0} != 1 ]]; then
  "$root/tools/sanitize.sh" "$first" || status=1
fi
exit $status
