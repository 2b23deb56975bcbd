#!/usr/bin/env bash
# Mutation check of the test suite: see scripts/mutate.py (--help).
#   bash scripts/mutate.sh              # the full, fixed set of mutants
#   bash scripts/mutate.sh --sample 40  # 40 of them, spread over every folder
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
command -v ccache >/dev/null || "$top/scripts/install-deps.sh"
exec python3 "$top/scripts/mutate.py" "$@"
