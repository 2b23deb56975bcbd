#!/usr/bin/env bash
# Builds drift-control and its companion programs, lays out a fresh sandbox
# appliance and runs the tool's commands against it, showing each output.
# Leaves no process running; the sandbox stays in SANDBOX (default
# out/sandbox) for a look around.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
BUILD_DIR=$top/build "$top/scripts/build.sh" -DDRIFT_BUILD_BENCH=OFF

root=${SANDBOX:-$top/out/sandbox}
rm -rf "$root"
mkdir -p "$root"
bash "$top/scripts/make-sandbox.sh" "$root" "$top/build"
export DRIFT_ROOT=$root
tool=$root/var/packages/DriftVault/target/bin/drift-control

step() {
  printf '\n$ drift-control %s\n' "$*"
  "$tool" "$@"
  printf '\n[exit status %d]\n' "$?"
}

echo "sandbox appliance: $root"
step --help
step service --status
step diagnose --create-archive /tmp/diagnosis
echo "collection:"; (cd "$root/tmp/diagnosis" && find . | sort | sed 's/^/  /')
printf '\n$ drift-control diagnose --output-stdout > diagnosis.zip\n'
"$tool" diagnose --output-stdout > "$root/tmp/diagnosis.zip"
unzip -l "$root/tmp/diagnosis.zip"
step service --stop
step service --status
