#!/usr/bin/env bash
# The run command: installs what is missing, builds the host and the simulator plug-in in build/,
# and runs the host with the given options (see scripts/run.sh --help). Relative paths in the
# options are taken from the folder it is called from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target kelvane-host kelvane -j"$(nproc)" >/dev/null
exec "$root/build/host/kelvane-host" "$@"
