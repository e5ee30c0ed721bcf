#!/usr/bin/env bash
# Every test: installs what is missing, builds, runs the core's GoogleTest suite
# and the pytest suite of _quelmar.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
BUILD=${BUILD:-build}
meson test -C "$BUILD" --print-errorlogs | tee "$BUILD/core-tests.log"
ok=$(awk '/^Ok:/ {print $2}' "$BUILD/core-tests.log")
failed=$(awk '/^Fail:/ {print $2}' "$BUILD/core-tests.log")
echo "core: ${ok:-0} passed, ${failed:-0} failed"
if compgen -G "tests/test_*.py" >/dev/null; then
  PYTHONPATH="$(cd "$BUILD" && pwd)/module" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests
fi
# Sanitizers (ASan+UBSan, TSan) and valgrind: 1 to 2 minutes on 8 cores, under 4 on 2.
bash scripts/check-sanitize.sh
timeout -k 30 900 bash scripts/check-arm64.sh  # the core on aarch64 under qemu; a hang fails
