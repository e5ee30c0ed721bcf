#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing. With
# "arm64", also what scripts/check-arm64.sh needs on an x86-64 host: the arm64 architecture
# for dpkg with its package lists, the cross compiler, qemu-user and the arm64 C and C++
# runtimes. Idempotent: it changes nothing when everything is there. Every package install of
# the project is made here, never under `timeout`: apt or dpkg killed midway can leave
# packages half-configured.
# Usage: bash scripts/deps.sh [arm64]
set -euo pipefail
packages=(
  g++ meson ninja-build pkg-config python3-mesonpy python3-dev python3-numpy
  libfftw3-dev libgeographiclib-dev libsleef-dev libgtest-dev libbenchmark-dev
  python3-pytest python3-hypothesis python3-matplotlib python3-tqdm
  python3-dask python3-distributed valgrind
)
case "${1:-}" in
  "") ;;
  arm64) packages=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64) ;;
  *) echo "unknown argument '$1' (none, or arm64)" >&2; exit 2 ;;
esac
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
APT=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=300)

updated=0
update() { ((updated)) || "${APT[@]}" update; updated=1; }

if [ "${1:-}" = arm64 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "adding the arm64 architecture to dpkg"
    "${SUDO[@]}" dpkg --add-architecture arm64
    update
  fi
  # The arm64 package lists, from which scripts/check-arm64.sh downloads its sysroot.
  apt-cache show --no-all-versions libfftw3-dev:arm64 >/dev/null 2>&1 || update
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  update
  "${APT[@]}" install -y --no-install-recommends "${missing[@]}"
fi
