#!/usr/bin/env bash
# Builds and runs the whole test suite on every supported interpreter: the full suite on 3.11, 3.12
# and 3.13 (all three must exist), and also on 3.9 and 3.10 when they are installed.
# Extra arguments go to pytest, e.g. scripts/test.sh -x tests/module
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
required=(3.11 3.12 3.13)
optional=(3.9 3.10)
versions=()
for v in "${required[@]}"; do versions+=("$v"); done
for v in "${optional[@]}"; do
  if "$root/scripts/find-python.sh" "$v" >/dev/null 2>&1; then versions+=("$v"); else echo "== skipping Python $v: not installed"; fi
done
if [ -n "${QUIB_PYTHONS:-}" ]; then read -r -a versions <<<"$QUIB_PYTHONS"; fi

failed=()
for v in "${versions[@]}"; do
  echo "=================== Python $v ==================="
  if ! "$root/scripts/dev-env.sh" "$v"; then failed+=("$v (build)"); continue; fi
  (cd "$root" && "$root/.venvs/$v/bin/python" -m pytest -q -p no:cacheprovider "$@")
  code=$?
  if [ $code -ne 0 ]; then failed+=("$v (pytest exit $code)"); fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED on: ${failed[*]}"
  exit 1
fi
echo "all test runs passed on: ${versions[*]}"
