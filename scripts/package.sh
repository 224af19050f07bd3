#!/usr/bin/env bash
# The package command: installs what is missing, configures a release build without the tests in
# BUILD_DIR (default build-packages), builds the plug-in, kelvane-host and kelvane-scope, makes
# the Debian packages with cpack and checks them (scripts/check-packages.sh), saying at each
# step what it does; the packages are left in BUILD_DIR/packages.
#
# Usage: scripts/package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-packages}
t0=$SECONDS
step() { printf 'package: %s (%d s)\n' "$1" $((SECONDS - t0)); }

step "1/4 installing what is missing"
"$root/scripts/deps.sh"

step "2/4 configuring $build (Release, no tests)"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TESTS=OFF \
  -DKELVANE_BUILD_SCOPE=ON >"$log" 2>&1; then
  cat "$log" >&2
  echo "package: configuring failed (its output is above)" >&2
  exit 1
fi

# The build's own progress, a line per target, rather than two quiet minutes.
step "3/4 building the plug-in, kelvane-host and kelvane-scope (a few minutes the first time)"
status=0
cmake --build "$build" -j"$(nproc)" 2>&1 | tee "$log" |
  grep --line-buffered -E '^\[ *[0-9]+%\] (Built target|Linking)' || status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log" >&2
  echo "package: the build failed (the end of its output is above)" >&2
  exit 1
fi

step "4/4 making and checking the packages"
"$root/scripts/check-packages.sh" "$build"
step "done: $(cd "$build/packages" && ls -- *.deb | xargs)"
