#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cc) with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer into build-fuzz (only the fuzz programs and
# the libraries they link: no tests, no benchmarks) and runs each one for
# SECONDS (default 60) on a scratch copy of its seed corpus
# (fuzz/corpus/<target>/), so the checked-in corpus never grows, with the
# target's dictionary (fuzz/dict/<target>.dict) when it has one.
#
#   scripts/run-fuzzers.sh [SECONDS] [TARGET...]
#
# CI runs it with a short time per target; run it with a longer one (and a
# few targets) to fuzz in earnest.  Ends with a table of executions per
# target and fails when any target crashes, leaks, hits undefined
# behaviour, times out on one input or runs out of memory; the reproducer
# is then kept and named.  FUZZ_KEEP=1 keeps the scratch folder (grown
# corpora included) even after a clean run.
#
# Environment: FUZZ_BUILD_DIR (default <repo>/build-fuzz), FUZZ_BUILD_JOBS
# (default 2).
set -euo pipefail
seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]* | 0)
    echo "usage: $0 [SECONDS] [TARGET...]" >&2
    exit 2
    ;;
esac
shift $(($# > 0 ? 1 : 0))
top=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$top/build-fuzz}
jobs=${FUZZ_BUILD_JOBS:-2}
started=$SECONDS

targets=()
if [ $# -gt 0 ]; then
  for target in "$@"; do
    target=${target%.cc}
    if [ ! -e "$top/fuzz/$target.cc" ]; then
      echo "no fuzz target $target in $top/fuzz" >&2
      exit 2
    fi
    targets+=("$target")
  done
else
  for src in "$top"/fuzz/*_fuzz.cc; do
    [ -e "$src" ] || continue
    targets+=("$(basename "$src" .cc)")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $top/fuzz" >&2
  exit 1
fi

# clang and its libFuzzer runtime are not part of the ordinary build's
# dependencies; install them the same way when they are missing.
need=()
for p in clang libclang-rt-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

echo "== building ${#targets[@]} fuzz targets in $build"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDRIFT_BUILD_FUZZ=ON -DDRIFT_BUILD_TESTS=OFF -DDRIFT_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" -j "$jobs" "${targets[@]}"
built=$((SECONDS - started))

# Undefined behaviour must stop the run like a crash (UBSan only reports by
# default).  A small quarantine keeps ASan from touching fresh pages on every
# allocation, which made the file-reading targets several times slower.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:detect_leaks=1}

# Memory-backed scratch space when there is some: the targets that read
# files write every input to one.  Each target's private sandbox roots go
# below its own folder, so a crashed target leaves nothing elsewhere.
scratch=${TMPDIR:-/tmp}
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=/dev/shm
fi
work=$(mktemp -d "$scratch/drift-fuzz.XXXXXX")
failed=0
rows=()
for target in "${targets[@]}"; do
  corpus=$work/$target/corpus
  artifacts=$work/$target/artifacts
  mkdir -p "$corpus" "$artifacts" "$work/$target/tmp"
  if [ -d "$top/fuzz/corpus/$target" ]; then
    cp -R "$top/fuzz/corpus/$target/." "$corpus/"
  fi
  log=$work/$target/log
  dict=()
  if [ -f "$top/fuzz/dict/$target.dict" ]; then
    dict=(-dict="$top/fuzz/dict/$target.dict")
  fi
  echo "== $target: ${seconds}s"
  t0=$SECONDS
  set +e
  # The outer limit catches a program that hangs outside libFuzzer's own
  # per-input timeout (while loading the corpus, say).
  TMPDIR=$work/$target/tmp timeout --kill-after=10 $((seconds + 120)) \
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" "$corpus" </dev/null >"$log" 2>&1
  rc=$?
  set -e
  took=$((SECONDS - t0))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  result=ok
  if [ $rc -ne 0 ]; then
    failed=$((failed + 1))
    if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
      result="hung (exit $rc)"
    elif grep -q "runtime error:" "$log"; then
      result="undefined behaviour"
    elif grep -q "ERROR: LeakSanitizer" "$log"; then
      result="leak"
    elif grep -q "ERROR: libFuzzer: timeout" "$log"; then
      result="timeout"
    elif grep -q "out-of-memory" "$log"; then
      result="out of memory"
    else
      result="crash (exit $rc)"
    fi
    tail -n 60 "$log"
    echo "$target: FAILED: $result; reproducers:" $(ls "$artifacts")
    echo "kept in $artifacts; replay with: $build/fuzz/$target $artifacts/<file>"
  fi
  rows+=("$(printf '%-28s %12s %8s  %s' "$target" "${execs:-?}" "$took" "$result")")
done

echo "== fuzzing summary (build ${built}s, total $((SECONDS - started))s)"
printf '%-28s %12s %8s  %s\n' target executions seconds result
printf '%s\n' "${rows[@]}"
echo "fuzz: $((${#targets[@]} - failed)) passed, $failed failed"
if [ $failed -eq 0 ] && [ "${FUZZ_KEEP:-0}" != 1 ]; then
  rm -rf "$work"
else
  echo "scratch folder kept: $work"
fi
[ $failed -eq 0 ]
