#!/usr/bin/env bash
# The run command: installs what is missing, builds the host, the simulator plug-in and the scope
# in build/, and runs the host with the given options (see scripts/run.sh --help). Relative paths
# in the options are taken from the folder it is called from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/deps.sh"
# Quiet unless it fails: the host's own output follows.
echo "building kelvane-host, the plug-in and kelvane-scope in $root/build..." >&2
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! { cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_BUILD_SCOPE=ON &&
       cmake --build "$root/build" --target kelvane-host kelvane kelvane-scope -j"$(nproc)"; } \
     >"$log" 2>&1; then
  cat "$log" >&2
  echo "scripts/run.sh: the build failed (its output is above)" >&2
  exit 1
fi
rm -f "$log"
trap - EXIT
exec "$root/build/host/kelvane-host" "$@"
