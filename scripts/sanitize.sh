#!/usr/bin/env bash
# Builds the engine with AddressSanitizer and UndefinedBehaviorSanitizer into .venvs/X.Y-asan (a
# debug build of its own, beside the release one) and runs the test suite under it.
#   scripts/sanitize.sh            Python 3.12, every suite
#   scripts/sanitize.sh 3.11 tests/values
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${1:-3.12}
shift || true
QUIB_ENV_NAME="$version-asan" QUIB_SANITIZE=ON QUIB_BUILD_TYPE=Debug QUIB_TESTING=ON "$root/scripts/dev-env.sh" "$version"
# The sanitizer runtime must come first; libstdc++ too, or its exception interceptor cannot find
# the real __cxa_throw when the engine is loaded later.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0
cd "$root"
exec "$root/.venvs/$version-asan/bin/python" -m pytest -q -p no:cacheprovider "${@:-tests}"
