#!/usr/bin/env bash
# Runs one fuzzer for a given time:  fuzz/run.sh core|load|store|formats|module SECONDS [libFuzzer flags...]
#   core    libFuzzer on the core library (fuzz/core_fuzz.cpp), ASan + UBSan
#   load    libFuzzer on the repository loader (fuzz/load_fuzz.cpp), ASan + UBSan
#   store   libFuzzer on the decoders of the store's objects (fuzz/store_fuzz.cpp), ASan + UBSan
#   formats libFuzzer on reading, rewriting, diffing and merging files
#           (fuzz/formats_fuzz.cpp), ASan + UBSan
#   module  atheris on the Python module (fuzz/module_fuzz.py), module built
#           with clang under ASan + UBSan and libFuzzer coverage
# The working corpus grows in build/fuzz-<target>/corpus (seeded from
# fuzz/corpus/<target>); crashes land in build/fuzz-<target>/artifacts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"
target=${1:?usage: fuzz/run.sh core|load|store|formats|module SECONDS [libFuzzer flags...]}
seconds=${2:?usage: fuzz/run.sh core|load|store|formats|module SECONDS [libFuzzer flags...]}
shift 2

ensure_system_packages clang-14 libclang-rt-14-dev libexpat1-dev rapidjson-dev libsqlite3-dev libssl-dev
mapfile -t pythons < <(find_pythons)
python=""
for p in "${pythons[@]}"; do  # atheris has wheels up to 3.12 here
  [[ $("$p" -c 'import sys; print(sys.version_info[:2] <= (3, 12))') == True ]] && python=$p && break
done
python=${python:-${pythons[0]}}
venv_python=$(setup_tools_venv "$python" "$root")  # the fuzzers build their own module
export PATH="$(dirname "$venv_python"):$PATH"

out="$root/build/fuzz-$target"
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer"
mkdir -p "$out/corpus" "$out/artifacts"
cp -n "$root/fuzz/corpus/$target"/* "$out/corpus/" 2>/dev/null || true
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
libfuzzer=(-max_total_time="$seconds" -rss_limit_mb=4096 -timeout=30 -print_final_stats=1
           -artifact_prefix="$out/artifacts/" "$@" "$out/corpus")

case $target in
  core|load|store|formats)
    cmake -S "$root" -B "$out/build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING=OFF -DVEXT_FUZZ=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
    cmake --build "$out/build" -j2 --target "vext_${target}_fuzz"
    "$out/build/fuzz/vext_${target}_fuzz" -max_len=4096 "${libfuzzer[@]}"
    ;;
  module)
    "$venv_python" -m pip install -q --disable-pip-version-check atheris >&2
    cmake -S "$root" -B "$out/build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING=OFF -DVEXT_FUZZ=ON -DVEXT_BUILD_MODULE=ON -DPython_EXECUTABLE="$venv_python" \
      -DCMAKE_CXX_FLAGS="$flags -fno-sanitize=vptr,function" >/dev/null  # checks atheris' runtime lacks
    cmake --build "$out/build" -j2 --target vext_py vext_core
    # The vext package: its Python sources beside the freshly built native half.
    mkdir -p "$out/build/vext"
    ln -sf "$root"/python/vext/*.py "$out/build/vext/"
    cp "$out/build"/_core*.so "$out/build/vext/"
    preload="$("$venv_python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
    # The interpreter's own allocations at exit are not the module's leaks;
    # the test suite checks reference counts and memory instead.
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=0 LD_PRELOAD="$preload" PYTHONPATH="$out/build" \
      "$venv_python" "$root/fuzz/module_fuzz.py" -max_len=8192 "${libfuzzer[@]}"
    ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac
