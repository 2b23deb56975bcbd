#!/usr/bin/env bash
# Builds drift-control and its companion programs, lays out a fresh sandbox
# appliance and runs the package's life through the tool, showing each
# command's output: start with an installing account, status, per-user
# statistics, a diagnostic archive, stop.  Leaves no process running (also
# when a step fails); the sandbox stays in SANDBOX (default out/sandbox) for
# a look around.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/install-deps.sh"
BUILD_DIR=$build "$top/scripts/build.sh" -DDRIFT_BUILD_BENCH=OFF

# The service port: the first one from 6690 on that nothing listens on, so
# that the demo runs beside anything else on this machine.
port=6690
while [ "$port" -lt 6790 ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
  port=$((port + 1))
done

root=${SANDBOX:-$top/out/sandbox}
# Daemons of an earlier demo in the same sandbox go first.
if [ -d "$root/var/run" ]; then
  for f in "$root"/var/run/*.pid; do
    [ -f "$f" ] && p=$(cat "$f") && [ "$p" -gt 1 ] 2>/dev/null && kill -9 "$p" 2>/dev/null || true
  done
fi
rm -rf "$root"
mkdir -p "$root"
bash "$top/scripts/make-sandbox.sh" "$root" "$build" "$port"
export DRIFT_ROOT=$root
tool=$root/var/packages/DriftVault/target/bin/drift-control

# Whatever happens, the service is stopped and nothing of the sandbox keeps
# running when the demo ends.
stopped=0
finish() {
  [ "$stopped" = 1 ] || "$tool" service --stop >/dev/null 2>&1 || true
  for exe in /proc/[0-9]*/exe; do
    case $(readlink "$exe" 2>/dev/null) in
      "$root"/*) p=${exe#/proc/}; kill -9 "${p%/exe}" 2>/dev/null || true ;;
    esac
  done
}
trap finish EXIT

step() {
  printf '\n$ drift-control %s\n' "$*"
  "$tool" "$@"
  printf '\n[exit status %d]\n' "$?"
}

echo "sandbox appliance: $root (service port $port)"
step service --status

printf '\n$ TARNPKG_USERNAME=alice drift-control service --start\n'
TARNPKG_USERNAME=alice "$tool" service --start
printf '[exit status %d]\n' "$?"
step service --status
echo "daemons:"
for f in drift-cached drift-authd drift-cleand drift-clientd tarnsyncfolder; do
  pid=$(cat "$root/var/run/$f.pid" 2>/dev/null || echo none)
  printf '  %-16s pid %s\n' "$f" "$pid"
done
echo "database volume: $(cat "$root/var/packages/DriftVault/etc/db-path.conf")"
echo "user_table:"
sqlite3 -header "$root/volume1/@driftvault/@sync/user-db.sqlite" \
  "SELECT name, view_id, user_type, uid, watch_path FROM user_table;" | sed 's/^/  /'

step service --collect-user-data

printf '\n$ drift-control diagnose --output-stdout > diagnosis.zip\n'
"$tool" diagnose --output-stdout > "$root/tmp/diagnosis.zip"
unzip -l "$root/tmp/diagnosis.zip"

step service --stop
stopped=1
step service --status
left=0
for exe in /proc/[0-9]*/exe; do
  case $(readlink "$exe" 2>/dev/null) in "$root"/*) left=$((left + 1)) ;; esac
done
echo "processes of the sandbox still running: $left"
