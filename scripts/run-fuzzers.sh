#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*_fuzz.cc) with clang into
# build-fuzz and runs each one for SECONDS (default 60) on a scratch copy of
# its seed corpus (fuzz/corpus/<target>/).  Fails when any target crashes,
# leaks, times out or runs out of memory; the reproducer is kept and named.
# Prints the executions of every target.
#
#   scripts/run-fuzzers.sh [SECONDS]
set -euo pipefail
seconds=${1:-60}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz
jobs=${FUZZ_BUILD_JOBS:-2}

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDRIFT_BUILD_FUZZ=ON -DDRIFT_BUILD_TESTS=OFF -DDRIFT_BUILD_BENCH=OFF >/dev/null

targets=()
for src in "$top"/fuzz/*_fuzz.cc; do
  [ -e "$src" ] || continue
  targets+=("$(basename "$src" .cc)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $top/fuzz" >&2
  exit 1
fi
ninja -C "$build" -j "$jobs" "${targets[@]}"

work=$(mktemp -d /tmp/drift-fuzz.XXXXXX)
failed=0
summary=()
for target in "${targets[@]}"; do
  corpus=$work/$target/corpus
  artifacts=$work/$target/artifacts
  mkdir -p "$corpus" "$artifacts"
  if [ -d "$top/fuzz/corpus/$target" ]; then
    cp -R "$top/fuzz/corpus/$target/." "$corpus/"
  fi
  log=$work/$target/log
  echo "== $target: ${seconds}s"
  set +e
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $rc -ne 0 ]; then
    failed=1
    tail -n 60 "$log"
    echo "$target: FAILED (exit $rc); reproducers:" $(ls "$artifacts")
    echo "kept in $artifacts"
    summary+=("$target: FAILED after ${execs:-?} executions")
  else
    summary+=("$target: ${execs:-?} executions, no crash")
  fi
done
echo "== summary"
printf '%s\n' "${summary[@]}"
if [ $failed -eq 0 ]; then
  rm -rf "$work"
fi
exit $failed
