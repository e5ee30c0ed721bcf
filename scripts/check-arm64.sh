#!/usr/bin/env bash
# The core on aarch64: cross-builds the library and its GoogleTest suite with Debian's
# cross compiler and runs the suite under qemu-aarch64 (user-mode emulation). The Python
# module is not built.
#
# The arm64 architecture for dpkg, the cross compiler, qemu-user and the arm64 C and C++
# runtimes (multiarch, beside the amd64 ones) come from `scripts/deps.sh arm64`, called
# first (it installs nothing when they are there; scripts/test.sh calls it before running
# this script under its timeout). The arm64 development packages of FFTW, SLEEF,
# GeographicLib and GoogleTest, with their runtime libraries, are downloaded and unpacked
# into a sysroot instead (libgeographiclib-dev:arm64 cannot be installed beside the amd64
# one); the test binaries find them there through their rpath.
# The sysroot and the cross file live in ${ARM64_CACHE:-/var/cache/korvane-arm64}, outside
# the source tree (Meson refuses absolute paths into it); the build in ${BUILD_ARM64:-build-arm64}.
# A first run takes about a minute on 8 cores; a second reuses all of it and takes about
# 10 s, the emulated tests most of it.
#
# Runs on x86-64 hosts only: SKIP_ARM64=1 skips it; an aarch64 host runs the same suite
# natively in scripts/test.sh.
#
# qemu runs the binaries with the multiarch ld.so and libc.so.6 of libc6:arm64, which come
# from one build. QEMU_LD_PREFIX must not point at the cross toolchain's runtime directory:
# its ld.so with the multiarch libc hangs at the first thread creation.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${SKIP_ARM64:-0}" != 0 ]; then
  echo "aarch64: skipped (SKIP_ARM64=$SKIP_ARM64)"
  exit 0
fi
case "$(uname -m)" in
  x86_64) ;;
  aarch64) echo "aarch64: skipped: this host is aarch64, where scripts/test.sh runs the core's tests natively"
           exit 0 ;;
  *) echo "aarch64: skipped: the cross check is set up for x86-64 hosts, not $(uname -m)"; exit 0 ;;
esac
bash scripts/deps.sh arm64
BUILD=${BUILD_ARM64:-build-arm64}
CACHE=${ARM64_CACHE:-/var/cache/korvane-arm64}
SYSROOT=$CACHE/sysroot
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

$SUDO mkdir -p "$CACHE"
$SUDO chown "$(id -u):$(id -g)" "$CACHE"
# One run at a time unpacks (worktrees of one machine share the cache).
exec 9>"$CACHE/lock"
flock 9

quiet() {  # runs a command with its output kept in a log that is shown only on failure
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  ((status == 0)) || cat "$log" >&2
  rm -f "$log"
  return $status
}

# The development packages, each with the runtime libraries of its own source that it
# depends on (libfftw3-single3, libsleef3, libgeographiclib23 on Debian 12), pinned by
# version in a stamp: the sysroot is unpacked again only when one of them changes.
# (apt-cache takes about a second a call with two architectures' lists: one call per pass.)
show() { apt-cache show --no-all-versions "${@/%/:arm64}"; }
pinned() { awk '/^Package: / {p = $2} /^Version: / {print p ":arm64=" $2}'; }
own_libraries() {
  awk '/^Package: / {stem = $2; sub(/-dev$/, "", stem)}
       /^Depends: / {sub(/^Depends: /, ""); n = split($0, d, /, */)
                     for (i = 1; i <= n; i++) {split(d[i], w, " ")
                       if (index(w[1], stem) == 1 && w[1] ~ /[0-9]$/) print w[1]}}'
}
devs=(libfftw3-dev libsleef-dev libgeographiclib-dev libgtest-dev)
records=$(show "${devs[@]}") || { echo "arm64 package lists lack ${devs[*]}" >&2; exit 1; }
mapfile -t libs < <(own_libraries <<<"$records")
mapfile -t wanted < <(pinned <<<"$records"; show "${libs[@]}" | pinned)
if ((${#wanted[@]} != ${#devs[@]} + ${#libs[@]})); then
  echo "arm64 packages not found: ${devs[*]} ${libs[*]} (have: ${wanted[*]})" >&2
  exit 1
fi
stamp=$(printf '%s\n' "${wanted[@]}")
if [ "$(cat "$SYSROOT.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "unpacking into $SYSROOT: ${wanted[*]}"
  debs=$(mktemp -d)
  # As root, apt downloads as its own unprivileged user, which must be able to write there.
  [ "$(id -u)" -ne 0 ] || ! id -u _apt >/dev/null 2>&1 || chown _apt "$debs"
  (cd "$debs" && quiet apt-get download -qq "${wanted[@]}")
  rm -rf "$SYSROOT" "$SYSROOT.stamp"
  mkdir -p "$SYSROOT"
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$SYSROOT"; done
  rm -rf "$debs"
  echo "$stamp" >"$SYSROOT.stamp"
fi

# Meson 1.0 names pkg-config "pkgconfig" here. The sysroot's headers come before the
# host's /usr/include, which the cross compiler also searches.
lib=$SYSROOT/usr/lib/aarch64-linux-gnu
cat >"$CACHE/aarch64.ini" <<EOF
[binaries]
c = 'aarch64-linux-gnu-gcc'
cpp = 'aarch64-linux-gnu-g++'
ar = 'aarch64-linux-gnu-ar'
strip = 'aarch64-linux-gnu-strip'
pkgconfig = 'pkg-config'
exe_wrapper = ['env', '-u', 'QEMU_LD_PREFIX', 'qemu-aarch64']

[properties]
sys_root = '$SYSROOT'
pkg_config_libdir = ['$lib/pkgconfig', '$SYSROOT/usr/share/pkgconfig']

[built-in options]
cpp_args = ['-isystem', '$SYSROOT/usr/include/aarch64-linux-gnu', '-isystem', '$SYSROOT/usr/include']
cpp_link_args = ['-L$lib', '-Wl,-rpath,$lib', '-Wl,-rpath-link,$lib']

[host_machine]
system = 'linux'
cpu_family = 'aarch64'
cpu = 'aarch64'
endian = 'little'
EOF
flock -u 9

options=(-Dmodule=disabled -Dbench=disabled -Dtests=enabled)
if [ -f "$BUILD/build.ninja" ]; then
  quiet meson setup --reconfigure "$BUILD" "${options[@]}"
else
  quiet meson setup "$BUILD" --cross-file "$CACHE/aarch64.ini" "${options[@]}"
fi
quiet ninja -C "$BUILD"
# A test binary that hangs is stopped after 2 minutes (the slowest takes about 15 s).
status=0
meson test -C "$BUILD" --no-rebuild --print-errorlogs --timeout-multiplier 2 |
  tee "$BUILD/aarch64-tests.log" || status=$?
ok=$(awk '/^Ok:/ {print $2}' "$BUILD/aarch64-tests.log")
cases=$(awk '/^\[==========\] [0-9]+ tests? from .* ran/ {n += $2} END {print n + 0}' "$BUILD/meson-logs/testlog.txt")
echo "aarch64 (qemu): ${ok:-0} core test binaries passed, ${cases} cases, in $SECONDS s"
failed=$(awk '/^(Fail|Unexpected Pass|Timeout):/ {n += $NF} END {print n + 0}' "$BUILD/aarch64-tests.log")
echo "aarch64: ${ok:-0} passed, ${failed} failed"
exit $status
