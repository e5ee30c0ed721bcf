#!/usr/bin/env bash
# Installs what is missing, then configures and builds into ${BUILD:-build} (core, its
# tests, benchmarks, _quelmar).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD=${BUILD:-build}
if [ -f "$BUILD/build.ninja" ]; then
  meson setup --reconfigure "$BUILD" >/dev/null
else
  meson setup "$BUILD" -Dpython.install_env=auto --native-file scripts/native.ini
fi
ninja -C "$BUILD"
