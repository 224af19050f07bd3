#!/usr/bin/env bash
# Runs echogram.js with puppeteer-core installed by npm ci from the lock file into the build
# tree (BUILD_DIR/node_modules), never into the sources; reinstalled when the lock file changes.
# Usage: run.sh SOURCE_DIR BUILD_DIR SCOPE HOST PLUGIN SCREENSHOT
set -euo pipefail
source_dir=$1 build_dir=$2
shift 2
if [ ! -x /usr/bin/chromium ] && [ -z "${KELVANE_CHROMIUM:-}" ] && [ "${CI:-false}" != true ]; then
  echo "SKIP: /usr/bin/chromium is missing; install Debian's chromium to run the browser test"
  exit 77
fi
mkdir -p "$build_dir"
if ! cmp -s "$source_dir/package-lock.json" "$build_dir/package-lock.json" ||
   [ ! -d "$build_dir/node_modules/puppeteer-core" ]; then
  cp "$source_dir/package.json" "$source_dir/package-lock.json" "$build_dir/"
  (cd "$build_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
NODE_PATH="$build_dir/node_modules" exec node "$source_dir/echogram.js" "$1" "$2" "$3" \
  "$build_dir/run" "$4"
