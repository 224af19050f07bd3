#!/usr/bin/env bash
# A long fault-free stream: kelvane-host runs the simulator unpaced (--baud 0, no faults) and
# kelvane-scope reads PINGS pings (default 100000) of each output mode from its client end, as
# fast as the simulator makes them: NMEA sentences, single-frequency frames (with a short range,
# so that the pings stay small) and dual-frequency frames. The reference client must flag none
# of the instrument's own bytes: every run must end "PINGS pings, 0 anomalies" with status 0.
#
# Usage: scripts/clean-stream-check.sh [BUILD_DIR [PINGS]]     (default: build 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
pings=${2:-100000}
host=$build/host/kelvane-host
scope=$build/scope/kelvane-scope
plugin=$build/simulator/libkelvane.so
for f in "$host" "$scope" "$plugin"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "clean-stream-check: $f is not built" >&2 && exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-clean.XXXXXX")
hostPid=
cleanup() {
  [ -n "$hostPid" ] && kill "$hostPid" 2>/dev/null && wait "$hostPid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failed=0
# mode name, frequency mode, the command that starts it
run() {
  local name=$1 frequencyMode=$2 command=$3
  printf '[ECHOSOUNDER]\nMIN_DEPTH_M=2\nMAX_DEPTH_M=30\n[KELVANE_SIMULATOR]\nFREQUENCY_MODE=%s\n' \
    "$frequencyMode" >"$work/host.ini"
  "$host" --settings "$work/host.ini" --plugin "$plugin" --link-dir "$work/pty" --no-console \
    --baud 0 >"$work/host.log" 2>&1 &
  hostPid=$!
  for _ in $(seq 100); do
    grep -q '^Client' "$work/host.log" && break
    sleep 0.1
  done
  local t0=$SECONDS status=0
  "$scope" "$work/pty/client" --send "$command" --pings "$pings" >"$work/scope.out" \
    2>"$work/scope.err" || status=$?
  local last
  last=$(tail -n 1 "$work/scope.out")
  kill "$hostPid" && wait "$hostPid" || true
  hostPid=
  printf '%-14s %s, status %d, %d s\n' "$name:" "$last" "$status" "$((SECONDS - t0))"
  if [ "$status" -ne 0 ] || [ "$last" != "$pings pings, 0 anomalies" ]; then
    head -n 20 "$work/scope.err" >&2
    failed=1
  fi
}

run "NMEA" SINGLE "interval 0 #go"
run "single frames" SINGLE "interval 0 #range 300 #output 2 #go"
run "dual frames" DUAL "interval 0 #rangeh 300 #rangel 600 #output 2 #go"
exit $failed
