#!/usr/bin/env bash
# Builds quib for the default interpreter and runs the main job: records a trace of the example
# program examples/inventory.py and shows it as a call tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${QUIB_DEMO_PYTHON:-3.11}
"$root/scripts/dev-env.sh" "$version"
quib="$root/.venvs/$version/bin/quib"
cd "$root/examples"
echo "== quib run inventory.py"
"$quib" run inventory.py
echo
echo "== quib list"
"$quib" list --limit 5
echo
echo "== quib show"
"$quib" show
