#!/usr/bin/env bash
# The appliance target: installs Debian's cross toolchain for 32-bit ARM
# hard-float and the :armhf development libraries, cross-builds everything and
# runs the whole ctest suite under user-mode emulation (qemu-arm).
#
#   scripts/cross-armhf.sh              install what is missing, build, test
#   scripts/cross-armhf.sh install      only install
#   scripts/cross-armhf.sh build        only configure and build
#   scripts/cross-armhf.sh test         only run the tests of an earlier build
#
# BUILD_DIR (default build-armhf) and JOBS (default 2) can be set; extra
# arguments after the step go to ctest (e.g. -R Logger).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-armhf}
jobs=${JOBS:-2}
step=${1:-all}
[ $# -gt 0 ] && shift

# Tests that cannot run under qemu-user.  binfmt_misc is not registered for
# ARM here, so only the test programs that ctest starts through qemu-arm are
# emulated; an armhf program that an emulated process executes itself fails
# with "Exec format error".
# - Every end-to-end test (label e2e, tests/): they run the built armhf
#   programs as child processes, which run further programs of the package.
excluded_labels=e2e
# - Unit tests that do the same, by name (ctest -E), each with its reason:
excluded_tests=(
  # Watches a child block in flock() through /proc/PID/syscall; qemu-user
  # shows the host's system call numbers there, never the ARM SYS_flock.
  '^LoggerTest\.InterProcessLockHoldsForkedWriters$'
)

# icu-devtools: the build host's icupkg and genccode, which filter the target's
# own ICU data for the drift-control programs (cli/CMakeLists.txt).
packages=(crossbuild-essential-armhf qemu-user pkgconf:armhf icu-devtools
          libsqlite3-dev:armhf libjsoncpp-dev:armhf libssl-dev:armhf
          libicu-dev:armhf libgtest-dev:armhf libgmock-dev:armhf)
# Packages that end up installed for both architectures must carry the same
# version (multiarch co-installation).  The armhf side may lag behind the
# native one when its security index could not be fetched.
paired=(libssl3 libssl-dev linux-libc-dev)

installed() {  # installed NAME[:ARCH] -> version or nothing
  dpkg-query -W -f='${Status} ${Version}\n' "$1" 2>/dev/null |
    awk '$1 == "install" && $3 == "installed" { print $4 }' || true
}

# Highest version of NAME that both architectures' indexes offer.
common_version() {
  local name=$1 v
  local amd64_versions
  amd64_versions=$(apt-cache madison "$name:amd64" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }')
  for v in $(apt-cache madison "$name:armhf" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }'); do
    if grep -qxF "$v" <<<"$amd64_versions"; then
      echo "$v"
      return 0
    fi
  done
  return 1
}

install_toolchain() {
  local missing=() p
  dpkg --print-foreign-architectures | grep -qx armhf || missing+=(architecture)
  for p in "${packages[@]}"; do
    [ -n "$(installed "$p")" ] || missing+=("$p")
  done
  for p in "${paired[@]}"; do
    local a h
    a=$(installed "$p:amd64")
    h=$(installed "$p:armhf")
    if [ -n "$a" ] && [ -n "$h" ] && [ "$a" != "$h" ]; then missing+=("$p(version)"); fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "cross toolchain: everything installed"
    return 0
  fi
  echo "cross toolchain: installing (${missing[*]})"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  # The armhf security index may fail to download; main and updates suffice.
  apt-get update -qq || echo "apt-get update reported errors; going on with the indexes it has"
  local pins=()
  for p in "${paired[@]}"; do
    local v
    # A package the native side does not have needs no partner version.
    [ -n "$(installed "$p:amd64")" ] || continue
    if ! v=$(common_version "$p"); then
      echo "no version of $p is offered for both amd64 and armhf" >&2
      return 1
    fi
    pins+=("$p:amd64=$v" "$p:armhf=$v")
  done
  local wanted=()
  for p in "${packages[@]}"; do
    case " ${pins[*]} " in *" $p="*) ;; *) wanted+=("$p") ;; esac
  done
  echo "versions for both architectures: ${pins[*]}"
  apt-get install -y -q --no-remove --no-install-recommends --allow-downgrades \
    -o DPkg::Lock::Timeout=600 "${wanted[@]}" "${pins[@]}"
}

build_all() {
  cmake -S "$top" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
    -DDRIFT_BUILD_BENCH=OFF "$@"
  cmake --build "$build" -j "$jobs"
}

run_tests() {
  local args=(--test-dir "$build" -j "$jobs" --output-on-failure --timeout 900
              -LE "$excluded_labels")
  if [ ${#excluded_tests[@]} -gt 0 ]; then
    local IFS='|'
    args+=(-E "${excluded_tests[*]}")
  fi
  echo "qemu: $(command -v qemu-arm)"
  local start=$SECONDS
  ctest "${args[@]}" "$@"
  echo "armhf test suite took $((SECONDS - start)) s under qemu-arm"
}

case $step in
  all) install_toolchain; build_all; run_tests "$@" ;;
  install) install_toolchain ;;
  build) build_all "$@" ;;
  test) run_tests "$@" ;;
  *) echo "usage: $0 [all|install|build|test] [ctest arguments]" >&2; exit 2 ;;
esac
