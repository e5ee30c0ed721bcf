#!/usr/bin/env bash
# The demo: installs what is missing, builds, and runs examples/demo.py (160 stations of a
# Mw 6.7 reverse rupture on a thread pool); the figure goes to ${BUILD:-build}/demo.png.
# Extra arguments go to demo.py (for example --threads 2).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
BUILD=${BUILD:-build}
PYTHONPATH="$(cd "$BUILD" && pwd)/module" exec /usr/bin/python3 examples/demo.py \
  --figure "$BUILD/demo.png" "$@"
