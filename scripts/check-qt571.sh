#!/usr/bin/env bash
# The shipped plug-in in a real Qt 5.7.1 process, the flight computer's Qt. Builds core/,
# simulator/ and their suites against a Qt 5.7.1 run-time and runs them: on the plug-in built
# here, and the simulator's suites again (the *_packaged tests) on libkelvane.so out of the
# kelvane-plugin package, built against Debian's Qt. Those suites take the plug-in as the flight
# computer's host does (tests/simulatorhost.h) and so stand in for it. armhf is cross-built and
# runs under qemu-arm-static, in a root holding the armhf sysroot's C and C++ run-time and no Qt.
# LD_LIBRARY_PATH names the run-time's lib folder throughout: a program's RUNPATH does not cover
# what a plug-in it loads needs, and the plug-in's QtSerialPort would come from the system.
#
# Usage: scripts/check-qt571.sh amd64|armhf PLUGIN_DEB
#
# The run-time is qt-5.7.1-ARCH.tar.xz in ../shared/qt571 beside the clone, or KELVANE_QT571_DIR:
# an unpacked prefix of that architecture, or a folder holding the tarball. Everything it makes
# goes to build-qt571-ARCH. With CI=true, warnings are errors.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

if [ $# -ne 2 ] || { [ "$1" != amd64 ] && [ "$1" != armhf ]; }; then
  echo "usage: scripts/check-qt571.sh amd64|armhf PLUGIN_DEB" >&2
  exit 2
fi
arch=$1
deb=$2
[ -f "$deb" ] || {
  echo "check-qt571: no package $deb (made by scripts/check-packages.sh)" >&2
  exit 2
}
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || {
  echo "check-qt571: $deb is not of architecture $arch" >&2
  exit 2
}
scripts/deps.sh xz-utils
[ "$arch" = armhf ] && scripts/deps.sh qemu-user-static g++-arm-linux-gnueabihf
jobs=$(nproc)
werror=OFF
[ "${CI:-false}" = true ] && werror=ON
work=$repo/build-qt571-$arch
mkdir -p "$work"
t0=$SECONDS

# The run-time: a prefix given, else the tarball unpacked afresh. CI has ../shared beside its
# clone; a git worktree looks beside the clone it belongs to as well.
tarball=qt-5.7.1-$arch.tar.xz
if [ -n "${KELVANE_QT571_DIR:-}" ]; then
  places=("$KELVANE_QT571_DIR")
  expected="$KELVANE_QT571_DIR (KELVANE_QT571_DIR) holds no unpacked prefix and no $tarball"
else
  places=("$repo/../shared/qt571")
  common=$(git -C "$repo" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
  [ -n "$common" ] && places+=("$(dirname "$common")/../shared/qt571")
  expected="expected $tarball in $(realpath -m "$repo/../shared/qt571") (beside the clone), or KELVANE_QT571_DIR=<unpacked prefix>"
fi
qt=
for place in "${places[@]}"; do
  if [ -f "$place/lib/cmake/Qt5Core/Qt5CoreConfig.cmake" ]; then
    qt=$(cd "$place" && pwd)
    break
  elif [ -f "$place/$tarball" ]; then
    rm -rf "$work/qt"
    mkdir -p "$work/qt"
    tar -xJf "$place/$tarball" -C "$work/qt"
    qt=$work/qt/qt-5.7.1-$arch
    break
  fi
done
if [ -z "$qt" ]; then
  echo "check-qt571: no Qt 5.7.1 run-time for $arch: $expected" >&2
  exit 1
fi
core=$(ls "$qt"/lib/libQt5Core.so.5.7.1 2>/dev/null || true)
case $arch:$(readelf -hW "${core:-/dev/null}" 2>/dev/null | awk -F: '/Machine:/ { gsub(/^ +/, "", $2); print $2 }') in
  amd64:*X86-64* | armhf:ARM) ;;
  *)
    echo "check-qt571: $qt holds no Qt 5.7.1 QtCore for $arch" >&2
    exit 1
    ;;
esac

# What ships: the plug-in out of the package.
rm -rf "$work/package"
dpkg-deb -x "$deb" "$work/package"
plugin=$(find "$work/package" -name libkelvane.so -type f | head -n1)
[ -n "$plugin" ] || {
  echo "check-qt571: $deb holds no libkelvane.so" >&2
  exit 1
}

config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=$werror -DKELVANE_BUILD_TOOLS=OFF
  -DCMAKE_PREFIX_PATH="$qt" -DKELVANE_FLIGHT_PLUGIN="$plugin")
if [ "$arch" = armhf ]; then
  # The run-root: the loader, libc, libm, libstdc++ and libgcc_s of the sysroot, nothing else.
  scripts/armhf-sysroot.sh >/dev/null
  sysroot=${KELVANE_ARMHF_SYSROOT:-$repo/.sysroot/armhf}
  runroot=$work/runroot
  rm -rf "$runroot"
  mkdir -p "$runroot/lib/arm-linux-gnueabihf"
  for lib in ld-linux-armhf.so.3 libc.so.6 libm.so.6 libdl.so.2 libpthread.so.0 librt.so.1 \
    libstdc++.so.6 libgcc_s.so.1; do
    cp -L "$sysroot/usr/lib/arm-linux-gnueabihf/$lib" "$runroot/lib/arm-linux-gnueabihf/"
  done
  ln -s arm-linux-gnueabihf/ld-linux-armhf.so.3 "$runroot/lib/ld-linux-armhf.so.3"
  config+=(-DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DKELVANE_ARMHF_SYSROOT="$sysroot"
    -DKELVANE_ARMHF_RUNROOT="$runroot")
fi
cmake -S . -B "$work/build" "${config[@]}" >"$work/configure.log" ||
  { cat "$work/configure.log" >&2 && exit 1; }
cmake --build "$work/build" -j"$jobs"
printf '=== qt 5.7.1 %s: run-time and build took %d s\n' "$arch" "$((SECONDS - t0))"

t0=$SECONDS
LD_LIBRARY_PATH=$qt/lib ctest --test-dir "$work/build" --output-on-failure -j"$jobs" --timeout 900 |
  tee "$work/ctest.log"
packaged=$(grep -c '_packaged .* Passed ' "$work/ctest.log" || true)
built=$(($(grep -c ' Passed ' "$work/ctest.log") - packaged))
printf '=== qt 5.7.1 %s: tests took %d s\n' "$arch" "$((SECONDS - t0))"

where="natively"
[ "$arch" = armhf ] && where="under qemu, with no Qt in the ARM programs' root"
cat <<EOF
Proved against Qt 5.7.1 ($arch, $qt), $where:
  - core/ and simulator/ build against it with no warnings, and the plug-in's $built suites pass;
  - the packaged plug-in ($(basename "$deb")) passes the simulator's $packaged suites
    there, taken as the flight computer's host takes it (the interface id and "MetaData" of its
    metadata, the instance cast by that id, its signals connected by name): NMEA pings, single
    and dual frames byte for byte as the goldens say, the commands, settings changed through
    App, the telemetry timer, unusable devices, a lost or slow line, start, stop and delete;
    libQt5Core, libQt5SerialPort and libQt5Test 5.7.1 are the only Qt mapped (commands suite);
  - Qt 5.7.1's loader refuses a copy whose metadata says Qt 5.15, the host one without "MetaData".
Not proved here: the board's own glibc 2.24 and GCC 6 libstdc++ (this run-time needs glibc 2.34);
scripts/abi-audit.sh holds the plug-in to those.
EOF
