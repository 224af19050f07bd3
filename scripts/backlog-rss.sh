#!/usr/bin/env bash
# Measures the simulator against a client that never reads: kelvane-host runs the simulator on
# one end of a socat pty pair and it pings frames of 13333 samples every 10 ms; nobody reads
# the other end. The host's resident memory is printed every 10 s, then the client starts
# reading and the simulator's warnings are shown.
#
# Usage: scripts/backlog-rss.sh [build-dir [plugin.so [seconds]]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
plugin=${2:-$build/simulator/libkelvane.so}
seconds=${3:-60}
work=$(mktemp -d)
trap 'kill "$host" "$socat" 2>/dev/null || true; rm -rf "$work"' EXIT

socat pty,raw,echo=0,link="$work/simulator" pty,raw,echo=0,link="$work/client" &
socat=$!
for _ in $(seq 50); do [ -e "$work/client" ] && [ -e "$work/simulator" ] && break; sleep 0.1; done

"$build/host/kelvane-host" --settings "$work/settings.ini" --plugin "$plugin" \
  --device "$work/simulator" --no-console >"$work/host.log" 2>&1 &
host=$!
sleep 1
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$host/status"; }
exec 3<>"$work/client"
printf 'output 2 #range 100000 #samplfreq 100000 interval 0.01 go' >&3
echo "t=0 s: host resident $(rss) KiB"
for ((t = 10; t <= seconds; t += 10)); do
  sleep 10
  echo "t=$t s: host resident $(rss) KiB"
done
timeout 5 cat <&3 >/dev/null || true
exec 3>&-
echo "warnings:"
grep -E 'WARN|CRIT' "$work/host.log" | head -n 6 || true
