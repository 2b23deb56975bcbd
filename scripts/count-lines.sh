#!/usr/bin/env bash
# Lines of test code against lines of the code it tests.  Tests: every
# *_test.cc, everything in tests/ and the headers that only tests include,
# directly or through other such headers.  Code: the C++ sources, build
# files and scripts outside bench/ and fuzz/.  Documentation is not counted.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files -- ':!bench/*' ':!fuzz/*')
# A header is a test's when every file that includes it is: a test, or a
# header that is itself a test's (test helpers include each other; the
# depth bound keeps an include cycle from recursing for ever).
is_test() {
  local depth=${2:-0}
  [ "$depth" -lt 8 ] || return 1
  case $1 in
    tests/*|*_test.cc) return 0 ;;
    *.h)
      local users user
      users=$(git grep -l -F "#include \"$1\"" -- ':!bench/*' ':!fuzz/*' || true)
      [ -n "$users" ] || return 1
      for user in $users; do is_test "$user" $((depth + 1)) || return 1; done ;;
    *) return 1 ;;
  esac
}
tests=0 code=0
for f in $files; do
  [ -f "$f" ] || continue
  case $f in
    *.cc|*.h|*.sh|*.py|*.cmake|*CMakeLists.txt|.ci/run) ;;
    *) continue ;;
  esac
  n=$(wc -l < "$f")
  if is_test "$f"; then tests=$((tests + n)); else code=$((code + n)); fi
done
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests %d lines, code %d lines: %.2fx\n", t, c, t / c }'
