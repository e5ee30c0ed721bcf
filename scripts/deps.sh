#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
set -euo pipefail
packages=(
  g++ meson ninja-build pkg-config python3-mesonpy python3-dev python3-numpy
  libfftw3-dev libgeographiclib-dev libsleef-dev libgtest-dev libbenchmark-dev
  python3-pytest python3-hypothesis python3-matplotlib python3-tqdm
  python3-dask python3-distributed valgrind
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
