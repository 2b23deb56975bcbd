#!/usr/bin/env bash
# make-sandbox.sh ROOT BUILD_DIR [PORT]
#
# Lays out a complete appliance under ROOT for running the built package
# without the appliance: the package tree with the programs of BUILD_DIR, the
# package's etc/ files, the platform's own files (device switches, users,
# shares, volumes), one writable volume /volume1 with a "homes" share and two
# local users, the system folders the tool uses, and the platform programs
# (relay program, zip wrapper) below /usr/tarn.
#
# The service port in setting.conf is PORT, else $DRIFT_SANDBOX_PORT, else
# 6690.  ROOT must be missing, empty, or a sandbox made by this script (it is
# then laid out again); anything else, and "/" above all, is refused.
set -euo pipefail

usage() {
  echo "usage: $0 ROOT BUILD_DIR [PORT]" >&2
  exit 2
}
[ $# -ge 2 ] && [ $# -le 3 ] || usage
root_arg=$1
build=$2
port=${3:-${DRIFT_SANDBOX_PORT:-6690}}
pkg=var/packages/DriftVault

case $port in
  '' | *[!0-9]*) echo "$0: invalid port '$port'" >&2; exit 2 ;;
esac
if [ "${#port}" -gt 5 ] || [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
  echo "$0: invalid port '$port'" >&2
  exit 2
fi
if [ -z "$root_arg" ]; then usage; fi
if [ ! -f "$build/cmake_install.cmake" ]; then
  echo "$0: $build is not a configured build folder" >&2
  exit 2
fi

# Safety first: never lay an appliance over the host or over someone's data.
mkdir -p -- "$root_arg"
root=$(cd -- "$root_arg" && pwd -P)
if [ "$root" = / ]; then
  echo "$0: refusing to use / as the sandbox root" >&2
  exit 1
fi
shopt -s nullglob dotglob
entries=("$root"/*)
shopt -u nullglob dotglob
if [ ! -d "$root/$pkg" ] && [ ${#entries[@]} -gt 0 ]; then
  echo "$0: $root is not empty and holds no sandbox; refusing to touch it" >&2
  exit 1
fi

# The programs.
target=$root/$pkg/target
if ! out=$(cmake --install "$build" --prefix "$target" 2>&1) ||
   ! out=$(cmake --install "$build" --component tarn --prefix "$root/usr/tarn" 2>&1); then
  echo "$0: installing the build failed:" >&2
  echo "$out" >&2
  exit 1
fi

mkdir -p "$root/$pkg/etc" "$target/etc" \
  "$root/etc.defaults" "$root/etc/tarn" "$root/usr/tarn/etc/packages/DriftVault" \
  "$root/var/run" "$root/var/log" "$root/tmp" "$root/root" \
  "$root/volume1/homes/alice" "$root/volume1/homes/bob"
chmod 1777 "$root/tmp"

# The package: enabled, with its settings.
: > "$root/$pkg/enabled"
printf 'package="DriftVault"\nversion="1.0-0001"\ndisplayname="Drift Vault"\n' \
  > "$root/$pkg/INFO"
printf 'dfvt_port="%s"\n' "$port" > "$root/$pkg/etc/setting.conf"

# The device: a plain unit with local user homes.
printf '%s\n' 'pocket_unit="no"' \
  'userhome_local="yes"' \
  'userhome_domain="no"' \
  'userhome_ldap="no"' \
  'domain_joined="no"' \
  'ldap_bound="no"' \
  'service_winbindd="no"' \
  > "$root/etc.defaults/tarninfo.conf"
printf 'productversion="7.2"\nbuildnumber="64570"\n' > "$root/etc.defaults/VERSION"

# Users: root and two local users with their home folders.
printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' \
  'alice:x:1026:100:Alice:/volume1/homes/alice:/bin/sh' \
  'bob:x:1027:100:Bob:/volume1/homes/bob:/bin/sh' \
  > "$root/etc/passwd"
printf '%s\n' 'root:*:19000:0:99999:7:::' \
  'alice:*:19000:0:99999:7:::' \
  'bob:*:19000:0:99999:7:::' \
  > "$root/etc/shadow"
printf '%s\n' 'root:x:0:' \
  'users:x:100:alice,bob' \
  > "$root/etc/group"

# Storage: one writable volume holding the "homes" share.
printf '%s\n' '{"shares":[{"name":"homes","path":"/volume1/homes","status":0,"type":0}]}' \
  > "$root/etc/tarn/shares.json"
printf '%s\n' '{"volumes":[{"path":"/volume1","type":2}]}' \
  > "$root/etc/tarn/volumes.json"
# The sandbox's own mount table: /volume1 is a plain folder of the host, so
# this is what tells the tool it is a volume of its own.
printf '%s\n' '/dev/md2 /volume1 ext4 rw,relatime 0 0' > "$root/etc/tarn/mounts"
: > "$root/etc/tarn/service-volumes.conf"
printf '{"rules":[]}\n' > "$root/etc/tarn/app-privilege.json"

# System logs, one of them rotated.
echo "sandbox: appliance laid out" > "$root/var/log/messages"
echo "sandbox: previous messages" > "$root/var/log/messages.1"
: > "$root/var/log/tarn-events.log"
