#!/usr/bin/env bash
# Mutation check of the test suite: see scripts/mutate.py (--help).
#   bash scripts/mutate.sh              # the full, fixed set of mutants
#   bash scripts/mutate.sh --sample 40  # 40 of them, spread over every folder
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
# ccache turns the rebuild of a restored file into a copy; mold links fast.
missing=()
for tool in ccache mold; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
exec python3 "$top/scripts/mutate.py" "$@"
