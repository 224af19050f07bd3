#!/usr/bin/env bash
# Deliberate faults: applies each fault of scripts/faults.txt alone to a scratch copy of the tree,
# rebuilds the suites it names and runs them. A fault is caught when one of them fails.
#
# Usage: scripts/fault-check.sh [ID...]     (no ID: every fault in the list)
# KELVANE_FAULT_DIR: scratch folder (default /tmp/kelvane-faults); its build is kept between runs.
# Exit status 0 only when every fault applied, built and was caught, and the unchanged tree
# passed the same suites first.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${KELVANE_FAULT_DIR:-/tmp/kelvane-faults}
src=$work/src
build=$work/build
mkdir -p "$src" "$work/logs"

# The list: "key: value" lines; a "+" line continues the text above it on a new line.
declare -A file from to suites
ids=()
key=
while IFS= read -r line; do
  case $line in
    '#'* | '') continue ;;
    '+'*) ref="${key}[$id]" && printf -v "$ref" '%s\n%s' "${!ref}" "${line#+}" ;;
    *:*)
      key=${line%%:*} value=${line#*:} value=${value# }
      case $key in
        id) id=$value ids+=("$id") ;;
        file | from | to | suites) printf -v "${key}[$id]" '%s' "$value" ;;
        *) echo "faults.txt: unknown key: $line" >&2 && exit 2 ;;
      esac
      ;;
    *) echo "faults.txt: cannot read: $line" >&2 && exit 2 ;;
  esac
done <"$root/scripts/faults.txt"
[ $# -gt 0 ] && ids=("$@")

# The scratch copy mirrors the tree's files (committed or not) by content, so that an unchanged
# file keeps its time stamp and the build stays incremental.
(cd "$root" && git ls-files -co --exclude-standard) | sort >"$work/files"
while IFS= read -r f; do
  [ -f "$root/$f" ] && ! cmp -s "$root/$f" "$src/$f" &&
    mkdir -p "$src/$(dirname "$f")" && cp "$root/$f" "$src/$f"
done <"$work/files"
(cd "$src" && find . -type f -printf '%P\n' | sort | comm -23 - "$work/files" | xargs -r rm -f)
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$work/logs/configure" || exit 2

run() { # suites...; log file in $log
  cmake --build "$build" -j2 --target "$@" >"$log" 2>&1 || return 3
  local pattern
  pattern="^($(IFS='|' && echo "$*"))\$"
  ctest --test-dir "$build" -j2 --timeout 300 -R "$pattern" >>"$log" 2>&1
}

all=$(for id in "${ids[@]}"; do echo "${suites[$id]:-}"; done | tr ' ' '\n' | sort -u | xargs)
log=$work/logs/baseline
echo "baseline: $all"
run $all || { echo "the unchanged tree fails or does not build: see $log" >&2 && exit 2; }

caught=0 missed=0 broken=0
for id in "${ids[@]}"; do
  f=${file[$id]:-}
  log=$work/logs/$id
  t0=$SECONDS
  if [ -z "$f" ] || [ ! -f "$src/$f" ]; then
    result="NO FILE"
  elif ! cp "$src/$f" "$work/original" ||
    ! FROM=${from[$id]} TO=${to[$id]:-} perl -0777 -ne \
      '$n = () = /\Q$ENV{FROM}\E/g; s/\Q$ENV{FROM}\E/$ENV{TO}/; print; exit($n == 1 ? 0 : 1)' \
      "$work/original" >"$src/$f"; then
    result="NO MATCH"
  else
    run ${suites[$id]}
    case $? in
      0) result=MISSED ;;
      3) result="NO BUILD" ;;
      *) result="caught by $(grep -oE '[0-9]+ - tst_[a-z_]+ \(' "$log" | cut -d' ' -f3 | xargs)" ;;
    esac
  fi
  [ -f "$work/original" ] && cp "$work/original" "$src/$f" && rm "$work/original"
  case $result in
    caught*) caught=$((caught + 1)) ;;
    MISSED) missed=$((missed + 1)) ;;
    *) broken=$((broken + 1)) ;;
  esac
  printf '%-28s %s (%d s)\n' "$id" "$result" $((SECONDS - t0))
done
echo "${#ids[@]} faults: $caught caught, $missed missed, $broken not applied or not built"
[ "$caught" -eq "${#ids[@]}" ]
