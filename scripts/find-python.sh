#!/usr/bin/env bash
# Prints the path of the newest installed CPython X.Y (pyenv first, then PATH), or fails.
set -euo pipefail
version=$1
root=${PYENV_ROOT:-$HOME/.pyenv}
best=""
if [ -d "$root/versions" ]; then
  best=$(ls -d "$root"/versions/"$version".* 2>/dev/null | grep -E "/$version\.[0-9]+$" | sort -V | tail -n 1 || true)
fi
if [ -n "$best" ] && [ -x "$best/bin/python$version" ]; then
  echo "$best/bin/python$version"
  exit 0
fi
if command -v "python$version" >/dev/null 2>&1; then
  command -v "python$version"
  exit 0
fi
echo "no CPython $version found (looked in $root/versions and on PATH)" >&2
exit 1
