#!/usr/bin/env bash
# Creates (once) the virtual environment .venvs/X.Y with the pinned tools, then builds the package
# with the test-only extension into build/X.Y (incremental) and installs it there.
#   scripts/dev-env.sh 3.12            build with _quib_testing
#   QUIB_TESTING=OFF scripts/dev-env.sh 3.11   build as users get it
set -euo pipefail
version=$1
# pip warns about index locations of this machine's configuration that do not exist; keep its
# other messages.
pip_install() { "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" 2> >(grep -v "is ignored: it is neither" >&2); }
root=$(cd "$(dirname "$0")/.." && pwd)
name=${QUIB_ENV_NAME:-$version}  # another name keeps a second build (a sanitizer build) apart
venv="$root/.venvs/$name"
python=$("$root/scripts/find-python.sh" "$version")

if [ ! -x "$venv/bin/python" ]; then
  echo "== creating $venv from $python"
  "$python" -m venv "$venv"
fi
stamp="$venv/.tools-installed"
if [ ! -f "$stamp" ] || [ "$root/constraints.txt" -nt "$stamp" ] || [ "$root/requirements-test.txt" -nt "$stamp" ]; then
  echo "== installing test tools into $venv"
  pip_install --upgrade pip
  pip_install -c "$root/constraints.txt" -r "$root/requirements-test.txt"
  touch "$stamp"
fi

echo "== building quib for Python $version"
pip_install --no-build-isolation --no-deps \
  -Cbuild-dir="$root/build/$name" \
  -Ccmake.define.QUIB_TESTING="${QUIB_TESTING:-ON}" \
  -Ccmake.define.QUIB_SANITIZE="${QUIB_SANITIZE:-OFF}" \
  -Ccmake.build-type="${QUIB_BUILD_TYPE:-Release}" \
  -Cbuild.tool-args=-j2 \
  "$root"
