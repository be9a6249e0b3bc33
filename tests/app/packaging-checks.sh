#!/bin/sh
# What the Debian packages promise, checked on the build.
#   packaging-checks.sh manual PROGRAM PAGE  the manual page's options are those of PROGRAM's
#                                            --help, each with the same argument
#   packaging-checks.sh hardening PROGRAM... each program passes hardening-check
set -eu
mode=$1
shift
case $mode in
  manual)
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/velmora-manual.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
    # "  --port PORT         the serial port..." gives "--port PORT".
    "$1" --help | awk -F'  +' '/^  --/ { print $2 }' | sort >"$scratch/help"
    # In OPTIONS, the line after each .TP: .BI \-\-port " PORT" gives "--port PORT".
    awk '/^\.SH / { options = ($0 == ".SH OPTIONS") } options && previous == ".TP" { print }
         { previous = $0 }' "$2" |
      sed -e 's/^\.BI* //' -e 's/\\-/-/g' -e 's/"//g' -e 's/  */ /g' -e 's/ $//' |
      sort >"$scratch/page"
    [ -s "$scratch/help" ] || { echo "$1 --help lists no option"; exit 1; }
    if ! diff -u --label "$1 --help" --label "$2" "$scratch/help" "$scratch/page"; then
      echo "the manual and --help differ: docs/man/velmora.1.in is the manual's source"
      exit 1
    fi
    ;;
  hardening)
    command -v hardening-check >/dev/null || { echo "no hardening-check (devscripts)"; exit 77; }
    # Debian 12's C start files carry no control flow protection note, so no program linked
    # with them has one (the linker keeps a note only when every object has it).
    hardening-check --nocfprotection "$@"
    ;;
esac
