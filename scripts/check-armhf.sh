#!/usr/bin/env bash
# The ARMv7 hard-float check: makes the Debian armhf sysroot (kept in .sysroot/armhf until its
# package list changes), cross-builds everything into build-armhf and runs the whole ctest suite
# under qemu-arm-static. Needs root for debootstrap, as scripts/check.sh does for apt-get.
# With CI=true, warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh debootstrap qemu-user-static g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf

jobs=$(nproc)
werror=OFF
[ "${CI:-false}" = true ] && werror=ON
build=${BUILD_DIR:-build-armhf}

t0=$SECONDS
scripts/armhf-sysroot.sh
printf '=== armhf sysroot took %d s\n' "$((SECONDS - t0))"

t0=$SECONDS
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=$werror
cmake --build "$build" -j"$jobs"
printf '=== armhf build took %d s\n' "$((SECONDS - t0))"

# What the board gets: the plug-in without its symbol table and debug information.
plugin=$(find "$build" -name libkelvane.so -type f | head -n1)
if [ -n "$plugin" ]; then
  arm-linux-gnueabihf-strip -o "$build/libkelvane.stripped.so" "$plugin"
  echo "stripped armhf libkelvane.so: $(stat -c %s "$build/libkelvane.stripped.so") bytes"
fi

# The plug-in against Qt 5.7.1 and a 2017 runtime (with the Qt symbols files the sysroot kept),
# and the armhf packages made and checked; installing them needs an armhf machine.
t0=$SECONDS
scripts/abi-audit.sh "$build/simulator/libkelvane.so"
scripts/check-packages.sh "$build"
printf '=== armhf audit and packages took %d s\n' "$((SECONDS - t0))"

t0=$SECONDS
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 900
printf '=== armhf tests took %d s\n' "$((SECONDS - t0))"
