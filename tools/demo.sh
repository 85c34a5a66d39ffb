#!/usr/bin/env bash
# Builds the module and runs the demo: diff, merge and history on real trees,
# then the vext command on the sample files in examples/: tree files
# (--tree-json), an ordinary JSON file and an XML file; and says where the
# command is installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

ensure_system_packages g++ libexpat1-dev rapidjson-dev libsqlite3-dev libssl-dev
mapfile -t pythons < <(find_pythons)
[[ ${#pythons[@]} -gt 0 ]] || { echo "no Python >= 3.12 found" >&2; exit 1; }
venv_python=$(setup_venv "${pythons[0]}" "$root")
"$venv_python" "$root/examples/demo.py" "$@"

vext="$(dirname "$venv_python")/vext"
# Shows one command line and its output; a non-zero status is part of the show.
run() {
  echo
  echo "\$ vext $*"
  local rc=0
  "$vext" "$@" 2>&1 || rc=$?
  echo "(exit status $rc)"
}
cd "$root/examples"
echo
echo "== The vext command on tree files: tree dicts like the ones above, in JSON (--tree-json)"
run diff --tree-json config-base.json config-theirs.json
run merge --tree-json config-base.json config-ours.json config-theirs.json
echo
echo "== The vext command on an ordinary JSON file"
run diff settings-base.json settings-theirs.json
run merge settings-base.json settings-ours.json settings-theirs.json
echo
echo "== The vext command on an XML file"
run diff guide-base.xml guide-ours.xml
run merge guide-base.xml guide-ours.xml guide-theirs.xml
echo
echo "The vext command is installed at $vext"
echo "(to have it on PATH: source $(dirname "$vext")/activate)"
