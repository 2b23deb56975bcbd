#!/bin/sh
# Linker launcher of the drift-control programs:
#   link_static_libs.sh [--icu-data ARCHIVE] [--shared-openssl] [--without-jsoncpp]
#                       LINK-COMMAND...
# runs the link command it is given with the shared ICU, SQLite and OpenSSL
# libraries replaced by their static archives from the same folder (when the
# archive is there).  With --icu-data, ICU's data library is replaced by
# ARCHIVE instead: a filtered data package (cli/icu_data_items.txt) rather
# than libicudata.a, which carries 30 MB of data these programs never read.
# With --shared-openssl, libssl and libcrypto stay shared.
# With --without-jsoncpp, jsoncpp is dropped from the command and the C++
# runtime is linked in statically as well.
#
# Why: `drift-control service --status` is run very often by the package
# framework and does almost nothing itself; nearly all of its time went into
# the dynamic loader mapping and relocating those libraries.  Linked in,
# only the parts the program uses are relocated, once, at link time.
# jsoncpp has no static archive in the distribution and needs the shared C++
# runtime, so bin/drift-control is linked without it (the commands that need
# JSON are handed to libexec/drift-control-full); a part of it that came to
# need JSON would make that link fail rather than bring the shared runtime
# back quietly.
#
# The swap is done here rather than on the imported targets so that only
# these programs change; the libraries and tests keep linking the shared
# objects.
set -eu
without_jsoncpp=no
icu_data=
shared_openssl=no
while :; do
  case ${1-} in
    --without-jsoncpp) without_jsoncpp=yes; shift ;;
    --shared-openssl) shared_openssl=yes; shift ;;
    --icu-data) icu_data=$2; shift 2 ;;
    *) break ;;
  esac
done
needs_system_libs=no
for arg in "$@"; do
  shift
  case $arg in
    */libicudata.so)
      if [ -n "$icu_data" ]; then
        arg=$icu_data
      elif [ -f "${arg%.so}.a" ]; then
        arg=${arg%.so}.a
        needs_system_libs=yes
      fi
      ;;
    */libssl.so | */libcrypto.so)
      if [ "$shared_openssl" = no ] && [ -f "${arg%.so}.a" ]; then
        arg=${arg%.so}.a
        needs_system_libs=yes
      fi
      ;;
    */libicuuc.so | */libicui18n.so | */libsqlite3.so)
      archive=${arg%.so}.a
      if [ -f "$archive" ]; then
        arg=$archive
        needs_system_libs=yes
      fi
      ;;
    */libjsoncpp.so)
      [ "$without_jsoncpp" = yes ] && continue
      ;;
  esac
  set -- "$@" "$arg"
done
# The archives' own needs, which their shared objects carried themselves.
if [ "$needs_system_libs" = yes ]; then
  set -- "$@" -lpthread -ldl -lm
fi
if [ "$without_jsoncpp" = yes ]; then
  set -- "$@" -static-libstdc++ -static-libgcc
fi
exec "$@"
