#!/bin/sh
# The appliance's zip program, on a host whose zip is the distribution's
# Info-ZIP: that one does not know the appliance's "-G" option (it exits with
# status 16), so the option is dropped and every other argument is handed on
# unchanged, blanks and all.
for arg in "$@"; do
  shift
  [ "$arg" = "-G" ] || set -- "$@" "$arg"
done
exec /usr/bin/zip "$@"
