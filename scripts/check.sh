#!/usr/bin/env bash
# The test command: installs what is missing, configures, builds and runs the whole ctest suite.
# With CI=true it also treats warnings as errors, checks the formatting and runs the further
# stages that CI wants (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc)
ci=${CI:-false}
werror=OFF
[ "$ci" = true ] && werror=ON

stage() { printf '\n=== %s ===\n' "$*"; }

if [ "$ci" = true ]; then
  stage "format"
  files=$(git ls-files '*.cpp' '*.h')
  clang-format --dry-run --Werror $files
fi

stage "native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=$werror
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
