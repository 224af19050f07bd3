#!/usr/bin/env bash
# Makes the Debian packages of a finished build and checks them: their fields and file lists (the
# manual pages and each package's copyright file among them), and the packaged plug-in against
# scripts/abi-audit.sh. scripts/package.sh builds and runs it in one command. With --install (as root, on a machine of
# the packages' architecture) it also installs the pair with apt-get, runs the installed
# kelvane-host with the installed plug-in on a pty pair until the first sentence arrives, and
# removes the packages again.
#
# Usage: scripts/check-packages.sh [--install] BUILD_DIR
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

install=false
if [ "${1:-}" = --install ]; then
  install=true
  shift
fi
if [ $# -ne 1 ] || [ ! -f "$1/CPackConfig.cmake" ]; then
  echo "usage: scripts/check-packages.sh [--install] BUILD_DIR (a configured and built tree)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)

rm -rf "$build/packages"
echo "check-packages: making the packages with cpack in $build/packages"
(cd "$build" && cpack -G DEB -B packages >"$build/packages.log" 2>&1) || {
  cat "$build/packages.log" >&2
  exit 1
}
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$arch" ] || arch=$(dpkg --print-architecture)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
plugin=$build/packages/kelvane-plugin_${version}_$arch.deb
tools=$build/packages/kelvane-tools_${version}_$arch.deb
plugin_dir=$(sed -n 's/^KELVANE_PLUGIN_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")
case $plugin_dir in
  /*) ;;
  *) plugin_dir=/usr/$plugin_dir ;;
esac

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_field() { # deb field value
  local got
  got=$(dpkg-deb -f "$1" "$2")
  [ "$got" = "$3" ] || fail "$(basename "$1"): $2 is \"$got\", not \"$3\""
}
expect_files() { # deb file...
  local deb=$1 got want
  shift
  got=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort)
  want=$(printf '%s\n' "$@" | sort)
  [ "$got" = "$want" ] || fail "$(basename "$deb") holds: $(echo $got), not: $(echo $want)"
}

echo "check-packages: checking $(basename "$plugin") and $(basename "$tools")"
for deb in "$plugin" "$tools"; do
  [ -f "$deb" ] || {
    echo "FAIL: cpack made no $deb" >&2
    exit 1
  }
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
done
expect_field "$plugin" Architecture "$arch"
expect_field "$plugin" Depends "libqt5core5a (>= 5.7.1), libqt5serialport5 (>= 5.7.1), libc6 (>= 2.24), libstdc++6 (>= 6), libgcc-s1 | libgcc1"
expect_files "$plugin" "$plugin_dir/libkelvane.so" /usr/share/doc/kelvane-plugin/copyright
expect_field "$tools" Architecture "$arch"
tools_files=(/usr/bin/kelvane-host /usr/share/man/man1/kelvane-host.1
  /usr/share/doc/kelvane-tools/copyright /usr/share/doc/kelvane-tools/reference.md
  /usr/share/doc/kelvane-tools/line.md)
grep -q '^KELVANE_BUILD_SCOPE:BOOL=ON' "$build/CMakeCache.txt" &&
  tools_files+=(/usr/bin/kelvane-scope /usr/share/man/man1/kelvane-scope.1)
expect_files "$tools" "${tools_files[@]}"
# The manual pages read as manual pages: man's formatter finds nothing to complain of.
if command -v groff >/dev/null; then
  man_dir=$(mktemp -d)
  dpkg-deb -x "$tools" "$man_dir"
  for page in "$man_dir"/usr/share/man/man1/*.1; do
    [ -f "$page" ] || continue
    problems=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1 || true)
    [ -z "$problems" ] || fail "$(basename "$page"): $problems"
  done
  rm -rf "$man_dir"
else
  echo "check-packages: groff is not installed (Debian package groff-base): the manual pages' text is not checked"
fi

# What goes onto the board: the packaged, stripped plug-in.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$plugin" "$unpacked"
"$repo/scripts/abi-audit.sh" "$unpacked$plugin_dir/libkelvane.so" || failures=$((failures + 1))

if [ "$install" = true ] && [ "$failures" -eq 0 ]; then
  [ "$(id -u)" -eq 0 ] || {
    echo "check-packages: --install needs root" >&2
    exit 2
  }
  export DEBIAN_FRONTEND=noninteractive
  # Only when neither is installed yet, so that removing them afterwards restores the machine.
  for p in kelvane-plugin kelvane-tools; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "check-packages: $p is installed already; remove it first" >&2
      exit 2
    fi
  done
  trap 'apt-get remove -y -qq kelvane-plugin kelvane-tools >/dev/null 2>&1 || true; rm -rf "$unpacked"' EXIT
  apt-get install -y -qq --no-install-recommends "$plugin" "$tools" >/dev/null
  echo "installed: $(dpkg-query -W -f='${Package} ${Version}, ' kelvane-plugin kelvane-tools)"

  run=$unpacked/run
  mkdir -p "$run"
  /usr/bin/kelvane-host --no-console --settings "$run/host.ini" --link-dir "$run/links" \
    >"$run/out" 2>"$run/err" </dev/null &
  host=$!
  # One ping: the first NMEA sentence on the client end, within 20 s.
  line=$(timeout 20 sh -c 'until [ -e "$1" ]; do sleep 0.1; done; head -n 1 "$1"' sh \
    "$run/links/client" || true)
  line=${line%$'\r'}
  # The installed host found the installed plug-in by itself.
  grep -q " $plugin_dir/libkelvane.so\$" "/proc/$host/maps" ||
    fail "the installed kelvane-host did not load $plugin_dir/libkelvane.so"
  kill -TERM "$host" 2>/dev/null || true
  status=0
  wait "$host" || status=$?
  sed 's/^/  host: /' "$run/out"
  case $line in
    '$SMDBT,'*) echo "first line on the client end: $line" ;;
    *)
      sed 's/^/  host error: /' "$run/err"
      fail "no DBT sentence from the installed host and plug-in (got \"$line\")"
      ;;
  esac
  grep -q '^Metadata: {"IID":"com.vorn.talvik.ipayloadplugin","MetaData":{},' "$run/out" ||
    fail "the installed host did not show the plug-in's metadata"
  [ "$status" -eq 0 ] || fail "the installed kelvane-host ended with status $status on SIGTERM"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-packages: $failures problem(s)"
  exit 1
fi
echo "check-packages: $(basename "$plugin") and $(basename "$tools") are as they should be"
