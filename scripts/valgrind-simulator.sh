#!/usr/bin/env bash
# Runs the simulator's test suites under valgrind's memcheck and prints, per suite, the error
# count and the bytes definitely lost. Exits non-zero when a suite fails, valgrind reports an
# error, or any block is definitely lost.
#
# Usage: scripts/valgrind-simulator.sh [name-prefix ...]   (default: tst_kelvanesimulator)
# BUILD_DIR picks the build tree (default build-valgrind; configured and built when needed).
#
# QT_ENABLE_REGEXP_JIT=0: PCRE2's JIT writes and runs generated code, which memcheck reports as
# hundreds of uninitialised reads; the interpreter matches the same texts.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-valgrind}
prefixes=("$@")
[ ${#prefixes[@]} -eq 0 ] && prefixes=(tst_kelvanesimulator)

# An existing build tree (CI passes the native one) is used as it is configured.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_BUILD_SCOPE=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >/dev/null

export QT_ENABLE_REGEXP_JIT=0 QT_QPA_PLATFORM=offscreen
status=0
found=0
for prefix in "${prefixes[@]}"; do
  for exe in $(find "$build/tests" -maxdepth 1 -type f -perm -u+x -name "$prefix*" | sort); do
    found=1
    name=$(basename "$exe")
    log="$build/valgrind-$name.log"
    start=$SECONDS
    rc=0
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
      --errors-for-leak-kinds=definite --error-exitcode=99 --num-callers=30 \
      --suppressions=scripts/valgrind.supp \
      --log-file="$log" "$exe" >"$build/valgrind-$name.out" 2>&1 || rc=$?
    errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$log" | tail -n1)
    lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n1)
    totals=$(grep -E '^Totals:' "$build/valgrind-$name.out" | tail -n1 || true)
    printf '%s: %s errors, %s bytes definitely lost, exit %d, %d s; %s\n' \
      "$name" "${errors:-?}" "${lost:-0}" "$rc" "$((SECONDS - start))" "$totals"
    if [ "$rc" -ne 0 ]; then
      status=1
      echo "  see $log and $build/valgrind-$name.out" >&2
    fi
  done
done
if [ "$found" -eq 0 ]; then
  echo "no test executables named ${prefixes[*]}* in $build/tests" >&2
  exit 1
fi
exit $status
