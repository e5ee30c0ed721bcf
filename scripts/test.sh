#!/usr/bin/env bash
# Every test: installs what is missing, builds, runs the core's GoogleTest suite
# and the pytest suite of _quelmar.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
BUILD=${BUILD:-build}
meson test -C "$BUILD" --print-errorlogs
if compgen -G "tests/test_*.py" >/dev/null; then
  PYTHONPATH="$(cd "$BUILD" && pwd)/module" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests
fi
