#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages (run as root).
# Does nothing when everything is already there.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config
          libsqlite3-dev libjsoncpp-dev libssl-dev libicu-dev icu-devtools
          libgtest-dev libgmock-dev libbenchmark-dev
          zip unzip sqlite3 openssl procps valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
