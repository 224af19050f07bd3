#!/usr/bin/env bash
# Checks that a build of the plug-in can load on the flight computer: Qt 5.7.1 on a runtime of
# 2017 (glibc 2.24, GCC 6: GLIBCXX_3.4.22, CXXABI_1.3.10).
#
# Usage: scripts/abi-audit.sh [--control DIR] LIBRARY
#
#   - it needs only glibc's libraries, libstdc++, libgcc_s, QtCore and QtSerialPort;
#   - no symbol-version node it requires is newer than that runtime's: Qt_5.x above Qt_5.7,
#     GLIBC above 2.24, GLIBCXX above 3.4.22, CXXABI above 1.3.10, GCC above 4.8.0 (libgcc_s of
#     GCC 6 has none newer), nor a private one (Qt_5_PRIVATE_API, GLIBC_PRIVATE);
#   - every symbol it takes from QtCore and QtSerialPort was there in Qt 5.7.1, by the first
#     version that Debian's `symbols` control files of libqt5core5a and libqt5serialport5 record
#     for it.
#
# The control files come from DIR, else from dpkg's database when the library is of the build
# machine's architecture, else from the armhf sysroot (scripts/armhf-sysroot.sh keeps them in its
# var/lib/dpkg/info), else from `apt-get download` of the two packages. Exit status 0 when the
# library passes, 1 when it does not, 2 for usage errors or missing data.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

control=
while [ $# -gt 0 ]; do
  case $1 in
    --control)
      control=${2:?--control needs a folder}
      shift 2
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    -*)
      echo "abi-audit: unknown option $1" >&2
      exit 2
      ;;
    *) break ;;
  esac
done
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: scripts/abi-audit.sh [--control DIR] LIBRARY" >&2
  exit 2
fi
lib=$1

case $(readelf -hW "$lib" | awk -F: '/Machine:/ { gsub(/^ +/, "", $2); print $2 }') in
  *X86-64*) arch=amd64 ;;
  ARM) arch=armhf ;;
  *)
    echo "abi-audit: $lib is of no architecture this script knows" >&2
    exit 2
    ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The symbols control file of package $1, or nothing.
symbols_in() {
  local f
  for f in "$2/$1:$arch.symbols" "$2/$1.symbols" "$2/$1/symbols"; do
    [ -f "$f" ] && { echo "$f"; return 0; }
  done
  return 1
}
packages=(libqt5core5a libqt5serialport5)
find_control() {
  local dir p
  for dir in "$@"; do
    [ -n "$dir" ] && [ -d "$dir" ] || continue
    for p in "${packages[@]}"; do symbols_in "$p" "$dir" >/dev/null || continue 2; done
    echo "$dir"
    return 0
  done
  return 1
}
native=$(dpkg --print-architecture 2>/dev/null || true)
candidates=("$control")
[ -z "$control" ] && [ "$arch" = "$native" ] && candidates+=(/var/lib/dpkg/info)
[ -z "$control" ] && [ "$arch" = armhf ] &&
  candidates+=("${KELVANE_ARMHF_SYSROOT:-$repo/.sysroot/armhf}/var/lib/dpkg/info")
if ! dir=$(find_control "${candidates[@]}"); then
  if [ -n "$control" ] || [ "$arch" != "$native" ]; then
    echo "abi-audit: no symbols files of ${packages[*]} ($arch) in ${candidates[*]}" >&2
    exit 2
  fi
  (cd "$work" && apt-get download -qq "${packages[@]}" >/dev/null) || {
    echo "abi-audit: apt-get download ${packages[*]} failed (apt-get update first?)" >&2
    exit 2
  }
  for deb in "$work"/*.deb; do
    dpkg-deb -e "$deb" "$work/control/$(dpkg-deb -f "$deb" Package)"
  done
  dir=$work/control
fi
core_symbols=$(symbols_in libqt5core5a "$dir")
serialport_symbols=$(symbols_in libqt5serialport5 "$dir")

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# 1. The libraries it needs.
mapfile -t needed < <(readelf -dW "$lib" | awk '/\(NEEDED\)/ { gsub(/[][]/, "", $NF); print $NF }')
for n in "${needed[@]}"; do
  case $n in
    libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | librt.so.1 | ld-linux*.so.*) ;;
    libstdc++.so.6 | libgcc_s.so.1 | libQt5Core.so.5 | libQt5SerialPort.so.5) ;;
    *) fail "needs $n, which the flight computer need not have" ;;
  esac
done

# 2. The symbol-version nodes it requires, by library.
newer() { [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n1)" = "$1" ]; }
mapfile -t nodes < <(readelf -VW "$lib" | awk '
  /^Version needs section/ { inside = 1; next }
  /^Version (symbols|definition) section/ { inside = 0 }
  inside && /File:/ { for (i = 1; i <= NF; i++) if ($i == "File:") file = $(i + 1) }
  inside && /Name:/ { for (i = 1; i <= NF; i++) if ($i == "Name:") print file " " $(i + 1) }')
for entry in "${nodes[@]}"; do
  node=${entry#* }
  case $node in
    Qt_5) ;;
    Qt_5.*) newer "${node#Qt_}" 5.7 && fail "$entry: newer than Qt 5.7" ;;
    GLIBC_2.*) newer "${node#GLIBC_}" 2.24 && fail "$entry: newer than glibc 2.24" ;;
    GLIBCXX_3.4*) newer "${node#GLIBCXX_}" 3.4.22 && fail "$entry: newer than GCC 6's libstdc++" ;;
    CXXABI_1.3*) newer "${node#CXXABI_}" 1.3.10 && fail "$entry: newer than GCC 6's libstdc++" ;;
    CXXABI_ARM_1.3.3 | CXXABI_TM_1) ;;
    GCC_*) newer "${node#GCC_}" 4.8.0 && fail "$entry: newer than GCC 6's libgcc_s" ;;
    *) fail "$entry: a private or unknown version node" ;;
  esac
done

# 3. Every symbol taken from Qt, against the first version Debian records for it.
readelf --dyn-syms -W "$lib" | awk '$7 == "UND" && $8 ~ /@Qt_/ { sub(/ .*/, "", $8); print $8 }' |
  sort -u >"$work/imports"
cut -d@ -f1 "$work/imports" | c++filt >"$work/demangled"
# Lines of the symbols files: " name@Node version" or ' (tags)"demangled name@Node" version'.
awk -v core="$core_symbols" -v serial="$serialport_symbols" -v out="$work/first" '
  function read(file,   line, name, version) {
    while ((getline line < file) > 0) {
      if (line !~ /^ /)
        continue
      sub(/^ /, "", line)
      if (line ~ /^\(/ && line ~ /"/) {
        name = line; sub(/^[^"]*"/, "", name); sub(/".*/, "", name)
        version = line; sub(/.*" */, "", version)
      } else {
        sub(/^\([^)]*\)/, "", line)
        name = line; sub(/ .*/, "", name)
        version = line; sub(/^[^ ]* */, "", version)
      }
      sub(/ .*/, "", version)
      first[name] = version
    }
    close(file)
  }
  BEGIN { read(core); read(serial) }
  FNR == NR { demangled[FNR] = $0; next }
  {
    node = $0; sub(/^[^@]*/, "", node)
    v = ($0 in first) ? first[$0] : (demangled[FNR] node in first) ? first[demangled[FNR] node] : "-"
    print v "\t" demangled[FNR] node > out
  }' "$work/demangled" "$work/imports"
qt_count=$(wc -l <"$work/imports")
# One dpkg call per version rather than per symbol.
declare -A late
newest=-
while read -r version; do
  [ "$version" = - ] && continue
  dpkg --compare-versions "$version" ge 5.7.2~ && late[$version]=1
  [ -n "${late[$version]:-}" ] && continue
  if [ "$newest" = - ] || dpkg --compare-versions "$version" gt "$newest"; then
    newest=$version
  fi
done < <(cut -f1 "$work/first" | sort -u)
while IFS=$'\t' read -r version symbol; do
  if [ "$version" = - ]; then
    fail "$symbol: not in Debian's symbols files of Qt"
  elif [ -n "${late[$version]:-}" ]; then
    fail "$symbol: first in Qt $version"
  fi
done <"$work/first"

echo "abi-audit: $lib ($arch)"
echo "  needs: ${needed[*]}"
echo "  version nodes: $(printf '%s\n' "${nodes[@]}" | cut -d' ' -f2 | sort -uV | tr '\n' ' ')"
echo "  $qt_count symbols from Qt, the newest first seen in Qt $newest (Debian's symbols files: $dir)"
if [ "$failures" -ne 0 ]; then
  echo "abi-audit: $failures problem(s): this build would not load with Qt 5.7.1 on a 2017 runtime"
  exit 1
fi
echo "abi-audit: loads with Qt 5.7.1 on a 2017 runtime"
