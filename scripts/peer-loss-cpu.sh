#!/usr/bin/env bash
# Measures what losing the serial peer costs: kelvane-host runs the simulator on one end of a
# socat pty pair, pinging every 10 ms; socat is killed; the host's CPU use (user + system, from
# /proc/<pid>/stat) is then taken over a window and printed as a percentage of one core.
#
# Usage: scripts/peer-loss-cpu.sh [build-dir [plugin.so [window-seconds]]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
plugin=${2:-$build/simulator/libkelvane.so}
window=${3:-10}
work=$(mktemp -d)
trap 'kill "$host" "$socat" 2>/dev/null || true; rm -rf "$work"' EXIT

socat pty,raw,echo=0,link="$work/simulator" pty,raw,echo=0,link="$work/client" &
socat=$!
for _ in $(seq 50); do [ -e "$work/client" ] && [ -e "$work/simulator" ] && break; sleep 0.1; done

"$build/host/kelvane-host" --settings "$work/settings.ini" --plugin "$plugin" \
  --device "$work/simulator" --no-console >"$work/host.log" 2>&1 &
host=$!
sleep 1
exec 3<>"$work/client"
printf 'interval 0.01 go' >&3
sleep 1
timeout 1 cat <&3 >"$work/pings" || true
echo "pings before the loss: $(grep -c SMDBT "$work/pings") DBT sentences in 1 s"
exec 3>&-

kill -9 "$socat"
wait "$socat" 2>/dev/null || true
sleep 1

ticks() {
  [ -e "/proc/$host/stat" ] || { echo "the host exited; its log:" >&2; cat "$work/host.log" >&2; exit 1; }
  awk '{ print $14 + $15 }' "/proc/$host/stat"
}
hz=$(getconf CLK_TCK)
t0=$(ticks)
sleep "$window"
t1=$(ticks)
awk -v d=$((t1 - t0)) -v hz="$hz" -v w="$window" \
  'BEGIN { printf "host CPU after the loss: %.1f%% of a core over %d s\n", 100 * d / (hz * w), w }'
grep -E 'CRIT|WARN' "$work/host.log" | head -n 5 || true
