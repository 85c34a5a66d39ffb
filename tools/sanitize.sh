#!/usr/bin/env bash
# Builds the C++ tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++) and runs them: the C++ suite and the fuzz
# corpus replay with leak checking, then the Python suite on one interpreter
# with the sanitizer runtime preloaded. Any finding aborts the process under
# test, so it fails the run.
#   tools/sanitize.sh [VENV_PYTHON]   (called by tools/test.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

venv_python=${1:-}
if [[ -z $venv_python ]]; then
  ensure_system_packages g++ libgtest-dev libexpat1-dev rapidjson-dev libsqlite3-dev libssl-dev
  mapfile -t pythons < <(find_pythons)
  venv_python=$(setup_venv "${pythons[0]}" "$root")
fi
export PATH="$(dirname "$venv_python"):$PATH"
ver=$("$venv_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
out="$root/build/sanitize-$ver"  # one per interpreter: the module is built for it

cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DVEXT_SANITIZE=ON -DVEXT_WERROR=ON \
  -DVEXT_BUILD_MODULE=ON -DPython_EXECUTABLE="$venv_python" >/dev/null
cmake --build "$out" -j2
# The vext package: its Python sources beside the freshly built native half.
mkdir -p "$out/vext"
ln -sf "$root"/python/vext/*.py "$root"/python/vext/py.typed "$out/vext/"
cp "$out"/_core*.so "$out/vext/"

common_opts="abort_on_error=1:halt_on_error=1:detect_odr_violation=0:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "== C++ suite under ASan + UBSan + LSan"
ASAN_OPTIONS="$common_opts:detect_leaks=1" ctest --test-dir "$out" --output-on-failure -j2

# The interpreter is not built for the sanitizers: it loads the runtime first
# through LD_PRELOAD. Leak checking is off there, since the interpreter keeps
# its own allocations until exit; the suite's reference-count and traced-
# memory checks cover the module, and LSan covered the core above.
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
run_python() {
  LD_PRELOAD="$runtime" ASAN_OPTIONS="$common_opts:detect_leaks=0" PYTHONPATH="$out" VEXT_SANITIZED=1 \
    HYPOTHESIS_PROFILE=sanitize "$venv_python" "$@"
}
run_python -c "import sys, vext_py; assert vext_py.__file__.startswith('$out'), vext_py.__file__"
echo "== Python suite under ASan + UBSan on $("$venv_python" --version)"
# The command-line tests need the installed commands (the native vext and
# vext-python) and are pure Python on top of the module; the wheel run of
# tools/test.sh covers them.
(cd "$root" && run_python -m pytest -q -p no:cacheprovider --ignore=tests/python/test_cli.py \
  --ignore=tests/python/test_cli_files.py --ignore=tests/python/test_driver.py \
  --deselect=tests/python/test_survey_corpus.py::TestSurveyCorpus::test_the_command_merges tests/python)
