#!/usr/bin/env bash
# Builds (incrementally, release, with the test-only extension) and runs every benchmark,
# bench/bench_*.py, on the default interpreter. Benchmarks print ratios against baselines measured
# in the same run; machines are noisy, so compare ratios, not absolute figures.
#   scripts/bench.sh                    all benchmarks on Python 3.11
#   QUIB_BENCH_PYTHON=3.13 scripts/bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${QUIB_BENCH_PYTHON:-3.11}
QUIB_TESTING=ON QUIB_SANITIZE=OFF QUIB_BUILD_TYPE=Release "$root/scripts/dev-env.sh" "$version"
# VizTracer is a point of comparison for the tracer benchmark only, never a dependency.
"$root/.venvs/$version/bin/python" -m pip install -q --disable-pip-version-check -c "$root/constraints.txt" viztracer \
  2> >(grep -v "is ignored: it is neither" >&2) || echo "(viztracer could not be installed: its rows are left out)"
failed=()
for bench in "$root"/bench/bench_*.py; do
  echo "== $(basename "$bench") on Python $version"
  if ! (cd "$root" && "$root/.venvs/$version/bin/python" "$bench"); then failed+=("$(basename "$bench")"); fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
