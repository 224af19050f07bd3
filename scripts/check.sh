#!/usr/bin/env bash
# The test command: installs what is missing, configures, builds and runs the whole ctest suite.
# With CI=true it also treats warnings as errors, checks the formatting and runs the further
# stages that CI wants (see docs/development.md).
set -euo pipefail
cd "$(dirname "$0")/.."

# CI's further stages build with clang and libFuzzer and run valgrind; the package check formats
# the manual pages with groff; the page of kelvane-scope --serve is tested in chromium, driven
# from node (tst_scopebrowser, which leaves its screenshot in build/artifacts/).
extra=()
if [ "${CI:-false}" = true ]; then
  extra=(clang libclang-rt-14-dev valgrind groff-base chromium)
  # A Node.js from elsewhere (such as NodeSource's, which brings its own npm) conflicts with
  # Debian's npm package: Debian's node and npm only where there is no npm at all.
  command -v npm >/dev/null 2>&1 || extra+=(nodejs npm)
fi
scripts/deps.sh "${extra[@]}"

jobs=$(nproc)
ci=${CI:-false}
werror=OFF
[ "$ci" = true ] && werror=ON

stage() { printf '\n=== %s ===\n' "$*"; }
timed() { printf '=== %s took %d s\n' "$1" "$((SECONDS - $2))"; }

if [ "$ci" = true ]; then
  stage "format"
  files=$(git ls-files '*.cpp' '*.h')
  clang-format --dry-run --Werror $files
fi

stage "native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=$werror
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

if [ "$ci" = true ]; then
  # A long fault-free stream in every output mode (100,000 pings each, unpaced), read by
  # kelvane-scope from kelvane-host's client end: not one anomaly. Native build only: about 10 s
  # here, where the suites under sanitizers and emulation would take minutes.
  stage "clean stream"
  t0=$SECONDS
  scripts/clean-stream-check.sh build 100000
  timed "clean stream" "$t0"

  # What the flight computer gets: the plug-in checked against Qt 5.7.1 and a 2017 runtime, the
  # Debian packages made, checked, installed, run once (one ping on a pty pair) and removed.
  stage "abi audit and packages"
  t0=$SECONDS
  scripts/abi-audit.sh build/simulator/libkelvane.so
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo scripts/check-packages.sh --install build
  timed "abi audit and packages" "$t0"

  # The packaged plug-in in a real Qt 5.7.1 process, and the plug-in's suites built against
  # Qt 5.7.1 (the run-time from ../shared/qt571; see docs/flight-computer.md).
  stage "qt 5.7.1, amd64"
  t0=$SECONDS
  scripts/check-qt571.sh amd64 build/packages/kelvane-plugin_*_amd64.deb
  timed "qt 5.7.1, amd64" "$t0"

  # The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer; any report
  # aborts the test that made it (-fno-sanitize-recover=all, halt_on_error).
  stage "asan+ubsan build and tests"
  t0=$SECONDS
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=ON \
    -DKELVANE_SANITIZE=ON
  cmake --build build-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600
  timed "asan+ubsan" "$t0"

  # Every libFuzzer target in fuzz/ for a short while (about 60 s in all), from its seed corpus
  # and with its dictionary, so that a regression in a parser shows. New inputs go to the build
  # tree, never into fuzz/corpus.
  stage "fuzz"
  t0=$SECONDS
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVANE_BUILD_FUZZERS=ON -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_SCOPE=OFF
  targets=()
  for src in fuzz/fuzz_*.cpp; do
    [ -e "$src" ] && targets+=("$(basename "$src" .cpp)")
  done
  if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets in fuzz/" >&2
    exit 1
  fi
  cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"
  seconds=$((60 / ${#targets[@]}))
  [ "$seconds" -lt 5 ] && seconds=5
  for t in "${targets[@]}"; do
    exe=$(find build-fuzz -type f -name "$t" -perm -u+x | head -n1)
    [ -n "$exe" ] || { echo "fuzz target $t was not built" >&2; exit 1; }
    work="build-fuzz/corpus-run/$t"
    mkdir -p "$work" build-fuzz/artifacts
    args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=build-fuzz/artifacts/"$t"-)
    [ -f "fuzz/$t.dict" ] && args+=(-dict="fuzz/$t.dict")
    seeds=()
    [ -d "fuzz/corpus/$t" ] && seeds+=("fuzz/corpus/$t")
    echo "--- $t for $seconds s"
    log="build-fuzz/$t.log"
    if ! ASAN_OPTIONS=detect_leaks=1 "$exe" "${args[@]}" "$work" "${seeds[@]}" >"$log" 2>&1; then
      tail -n 60 "$log"
      echo "fuzz target $t failed; the input is in build-fuzz/artifacts/" >&2
      exit 1
    fi
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  done
  timed "fuzz" "$t0"

  # The simulator's suites under valgrind's memcheck, on the native build: no error, nothing
  # definitely lost.
  stage "valgrind"
  t0=$SECONDS
  BUILD_DIR=build scripts/valgrind-simulator.sh
  timed "valgrind" "$t0"
fi

if [ "$ci" = true ]; then
  # The whole suite again on ARMv7 hard-float: cross-built against a Debian armhf sysroot and
  # run under qemu-arm-static.
  stage "armhf build and tests"
  t0=$SECONDS
  scripts/check-armhf.sh
  timed "armhf" "$t0"

  # The same on armhf under qemu, with the armhf package that check-armhf.sh made.
  stage "qt 5.7.1, armhf"
  t0=$SECONDS
  scripts/check-qt571.sh armhf build-armhf/packages/kelvane-plugin_*_armhf.deb
  timed "qt 5.7.1, armhf" "$t0"
fi
