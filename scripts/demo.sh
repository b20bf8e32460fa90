#!/usr/bin/env bash
# Builds quib for the default interpreter and runs the main job: it shows the installed engine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${QUIB_DEMO_PYTHON:-3.11}
"$root/scripts/dev-env.sh" "$version"

"$root/.venvs/$version/bin/quib" info -v
