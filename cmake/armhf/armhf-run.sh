#!/bin/sh
# Runs an ARM program of the armhf build under qemu-arm-static: the build's
# CMAKE_CROSSCOMPILING_EMULATOR, so ctest runs every test through it.
#
# Usage: armhf-run.sh ROOT PRELOAD PROGRAM [ARG ...]
#
# ROOT (the sysroot, or a run-root holding the C and C++ run-time alone) becomes the ARM
# program's root for its loader, libraries and Qt plug-ins (files it lacks come from the build
# machine; LD_LIBRARY_PATH reaches the program as it is). PRELOAD is the build's libkelvane-qemu-preload.so, which
# keeps QProcess working under qemu (see qemu-preload.cpp). Both reach qemu through
# QEMU_LD_PREFIX and QEMU_SET_ENV, so an ARM child that a test starts as
# "$KELVANE_EMULATOR program args" runs the same way; ARM programs cannot be started directly
# here because the kernel has no binfmt_misc handler for them.
#
# When the user may, the program runs in its own PID namespace with its own /proc: a signal to
# every process (kill -1) then stays inside, and process ids in lock files match /proc.
set -eu
if [ $# -lt 3 ]; then
  echo "usage: armhf-run.sh ROOT PRELOAD PROGRAM [ARG ...]" >&2
  exit 2
fi
root=$1
preload=$2
shift 2
qemu=$(command -v qemu-arm-static || command -v qemu-arm || true)
if [ -z "$qemu" ]; then
  echo "armhf-run.sh: qemu-arm-static not found (Debian package qemu-user-static)" >&2
  exit 2
fi
if [ ! -f "$preload" ]; then
  echo "armhf-run.sh: $preload is missing; build the target kelvane_qemu_preload first" >&2
  exit 2
fi

export QEMU_LD_PREFIX="$root"
export QEMU_SET_ENV="LD_PRELOAD=$preload"
export KELVANE_EMULATOR="$qemu"

if unshare --pid --fork --kill-child --mount-proc true 2>/dev/null; then
  # sh stays PID 1 so that the program gets ordinary signal handling.
  exec unshare --pid --fork --kill-child --mount-proc sh -c '"$@"; exit $?' sh "$qemu" "$@"
fi
exec "$qemu" "$@"
