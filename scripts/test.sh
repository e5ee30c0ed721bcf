#!/usr/bin/env bash
# Every test: installs what is missing, builds, runs the core's GoogleTest suite and the
# pytest suite of _quelmar, then the sanitizers and valgrind, then the core's suite on
# aarch64 under qemu (x86-64 hosts; SKIP_ARM64=1 skips it). Exits non-zero on the first
# suite that fails, after its summary.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every package install comes first, outside the timeouts below.
bash scripts/deps.sh
if [ "${SKIP_ARM64:-0}" = 0 ] && [ "$(uname -m)" = x86_64 ]; then
  bash scripts/deps.sh arm64
fi
bash scripts/build.sh
BUILD=${BUILD:-build}
status=0
meson test -C "$BUILD" --print-errorlogs | tee "$BUILD/core-tests.log" || status=$?
ok=$(awk '/^Ok:/ {print $2}' "$BUILD/core-tests.log")
failed=$(awk '/^(Fail|Unexpected Pass|Timeout):/ {n += $NF} END {print n + 0}' "$BUILD/core-tests.log")
echo "core: ${ok:-0} passed, ${failed} failed"
((status == 0)) || exit $status
PYTHONPATH="$(cd "$BUILD" && pwd)/module" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests
# Sanitizers (ASan+UBSan, TSan) and valgrind: 1 to 2 minutes on 8 cores, under 4 on 2; a
# hang fails.
timeout -k 30 1200 bash scripts/check-sanitize.sh || {
  status=$?
  ((status != 124)) || echo "check-sanitize.sh: stopped after 1200 s" >&2
  exit $status
}
# The core on aarch64 under qemu (it says so when it skips); a hang fails.
timeout -k 30 900 bash scripts/check-arm64.sh || {
  status=$?
  ((status != 124)) || echo "check-arm64.sh: stopped after 900 s" >&2
  exit $status
}
