#!/usr/bin/env bash
# Makes the ARMv7 hard-float sysroot that cmake/armhf-toolchain.cmake builds against and that
# qemu-arm-static runs the tests in: Debian 12 armhf packages (Qt 5 with SerialPort and Test,
# libc and libstdc++ headers) unpacked into one folder.
#
# Usage: scripts/armhf-sysroot.sh [DIR]
#   DIR defaults to $KELVANE_ARMHF_SYSROOT, else .sysroot/armhf in the repository.
#   KELVANE_DEBIAN_MIRROR overrides the mirror (default: the one apt on this machine uses).
#
# The sysroot is kept and made again only when the package list below changes: a stamp file
# in it holds a hash of that list. Needs root (debootstrap) and network access to the mirror.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${1:-${KELVANE_ARMHF_SYSROOT:-$repo/.sysroot/armhf}}
suite=bookworm

# What the cross build links against and what the tests load at run time (the offscreen
# platform plug-in and fonts for the scope, its WebSockets and HTTP libraries, /bin/sh for shell
# commands).
packages=(
  qtbase5-dev
  libqt5serialport5-dev
  libqt5websockets5-dev
  libcpp-httplib-dev
  libqt5test5
  libqt5gui5
  libc6-dev
  libstdc++-12-dev
  fonts-dejavu-core
  fontconfig
  dash
)

# Bump when the way the packages are laid out below changes.
layout=3
stamp_file=$sysroot/.kelvane-sysroot-stamp
stamp=$(printf '%s\n' "layout $layout" "$suite" "${packages[@]}" | sort | sha256sum | cut -d' ' -f1)
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ]; then
  echo "armhf sysroot up to date: $sysroot"
  exit 0
fi

# The Debian mirror apt already uses here, read from its deb822 or one-line sources.
mirror_from_apt() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # First stanza that serves the release suite itself (not -security/-updates).
    awk -v suite="$suite" '
      /^[[:space:]]*$/ { if (uri != "" && ok) { print uri; exit } uri = ""; ok = 0; next }
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
      END { if (uri != "" && ok) print uri }' "$f" | head -n1
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '$1 == "deb" {
        i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) { print $i; exit } }' "$f"
  done
}
mirror=${KELVANE_DEBIAN_MIRROR:-$(mirror_from_apt | head -n1)}
if [ -z "$mirror" ]; then
  echo "armhf-sysroot: no Debian $suite mirror found in apt's sources; set KELVANE_DEBIAN_MIRROR" >&2
  exit 1
fi

if ! command -v debootstrap >/dev/null || ! command -v dpkg-deb >/dev/null; then
  echo "armhf-sysroot: debootstrap and dpkg-deb are needed (scripts/deps.sh debootstrap)" >&2
  exit 1
fi

work=$sysroot.new
echo "Making the armhf sysroot in $sysroot from $mirror ($suite)"

# First stage only: it resolves the dependencies and downloads every .deb without running
# anything ARM. The second stage would need emulation, so the packages are unpacked instead.
# A second try rides out a dropped download.
include=$(
  IFS=,
  echo "${packages[*]}"
)
for try in 1 2; do
  rm -rf "$work"
  mkdir -p "$work"
  if debootstrap --arch=armhf --variant=minbase --foreign --include="$include" \
    "$suite" "$work" "$mirror" >"$work.log" 2>&1; then
    break
  fi
  tail -n 30 "$work.log" >&2
  if [ "$try" = 2 ]; then
    echo "armhf-sysroot: debootstrap failed (full log: $work.log)" >&2
    exit 1
  fi
  echo "armhf-sysroot: debootstrap failed, trying once more" >&2
done

# Unpack over the merged-/usr links the first stage laid (lib -> usr/lib and so on). Each
# package's control files go where dpkg keeps them (var/lib/dpkg/info/PACKAGE.FILE): the
# symbols files of Qt are what scripts/abi-audit.sh checks an armhf build against.
count=0
mkdir -p "$work/var/lib/dpkg/info" "$work/control.tmp"
for deb in "$work"/var/cache/apt/archives/*.deb; do
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" --keep-directory-symlink
  package=$(dpkg-deb -f "$deb" Package)
  rm -rf "$work/control.tmp"/*
  dpkg-deb -e "$deb" "$work/control.tmp"
  for file in "$work/control.tmp"/*; do
    cp "$file" "$work/var/lib/dpkg/info/$package.${file##*/}"
  done
  count=$((count + 1))
done
rm -rf "$work/control.tmp"
echo "Unpacked $count packages"
rm -rf "$work"/var/cache/apt/archives/*.deb "$work"/debootstrap

# Absolute links (libfoo.so -> /lib/arm-linux-gnueabihf/libfoo.so.1) would point into the
# build machine's own root: make them relative to the sysroot.
# The paths are worked out as text (-s): following a link on the way would leave the sysroot.
# dev/ and proc are the first stage's device links, of no use here. qemu-arm-static -L looks
# up every absolute path in the sysroot first: the empty run-time folders would hide the build
# machine's (its /tmp, /run/lock for serial port locks), so they go too.
rm -rf "$work/dev" "$work/proc" "$work/sys" "$work/run" "$work/tmp" "$work/var/tmp" \
  "$work/var/lock" "$work/var/run" "$work/home" "$work/root" "$work/boot" "$work/mnt" \
  "$work/media" "$work/srv"
find "$work" -type l -lname '/*' -print0 |
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$work$target")" "$link"
  done

test -f "$work/usr/lib/arm-linux-gnueabihf/libQt5Core.so.5" || {
  echo "armhf-sysroot: Qt 5 Core missing from the unpacked packages" >&2
  exit 1
}

echo "$stamp" >"$work/.kelvane-sysroot-stamp"
rm -rf "$sysroot" "$work.log"
mv "$work" "$sysroot"
echo "armhf sysroot ready: $sysroot ($(du -sh "$sysroot" | cut -f1))"
