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

# Creates (or reuses) .venv-X.Y for the given interpreter and installs the
# module with its test requirements; prints the venv's python.
setup_venv() {
  local python=$1 root=$2 ver venv
  ver=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$root/.venv-$ver"
  [[ -x "$venv/bin/python" ]] || "$python" -m venv "$venv" >&2 || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2 || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" cmake ninja pytest hypothesis >&2 || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$root" >&2 || return 1
  echo "$venv/bin/python"
}
