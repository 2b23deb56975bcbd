#!/bin/sh
# Linker launcher of drift-control: runs the link command it is given with
# the shared ICU, SQLite and OpenSSL libraries replaced by their static
# archives from the same folder (when the archive is there).
#
# Why: `drift-control service --status` is run very often by the package
# framework and does almost nothing itself; nearly all of its time went into
# the dynamic loader mapping and relocating those libraries.  Linked in,
# only the parts the tool uses are relocated, once, at link time.
# jsoncpp has no static archive in the distribution and stays shared (and
# with it libstdc++).
#
# The swap is done here rather than on the imported targets so that only this
# program changes; the libraries and tests keep linking the shared objects.
set -eu
needs_system_libs=no
for arg in "$@"; do
  shift
  case $arg in
    */libicuuc.so | */libicui18n.so | */libicudata.so | */libsqlite3.so | */libssl.so | */libcrypto.so)
      archive=${arg%.so}.a
      if [ -f "$archive" ]; then
        arg=$archive
        needs_system_libs=yes
      fi
      ;;
  esac
  set -- "$@" "$arg"
done
# The archives' own needs, which their shared objects carried themselves.
if [ "$needs_system_libs" = yes ]; then
  set -- "$@" -lpthread -ldl -lm
fi
exec "$@"
