#!/usr/bin/env bash
# Runs every benchmark under bench/ on one interpreter (default 3.12), built as a release build
# with the test-only extension, whose native loops some benchmarks use. Each benchmark prints
# ratios against baselines measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${QUIB_BENCH_PYTHON:-3.12}
QUIB_BUILD_TYPE=Release "$root/scripts/dev-env.sh" "$version"
for bench in "$root"/bench/*.py; do
  echo "=================== $(basename "$bench") ==================="
  "$root/.venvs/$version/bin/python" "$bench" "$@"
done
