#!/bin/sh
# The systemd units as a package ships them.
#   packaging-units.sh install BUILD   both units land under the package's /usr/lib/systemd/user
#   packaging-units.sh verify PROGRAM  an instance of the template, its ExecStart on the program
#                                      just built, passes systemd-analyze without a word
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velmora-units.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
case $1 in
  install)
    # What cpack does: the package's prefix under a staging folder.
    DESTDIR=$scratch cmake --install "$2" --prefix /usr >"$scratch/log" 2>&1 ||
      { cat "$scratch/log"; exit 1; }
    for unit in velmora-headless.service velmora-headless@.service; do
      [ -f "$scratch/usr/lib/systemd/user/$unit" ] || { echo "no /usr/lib/systemd/user/$unit"; exit 1; }
    done
    if [ -e "$scratch/usr/local" ]; then
      echo "the package writes under /usr/local:"
      find "$scratch/usr/local"
      exit 1
    fi
    ;;
  verify)
    command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: not verified"; exit 77; }
    unit=$scratch/velmora-headless@synth2.service
    sed "s|^ExecStart=/usr/bin/velmora-headless |ExecStart=$2 |" \
      "$here/packaging/velmora-headless@.service" >"$unit"
    grep -qx "ExecStart=$2 --profile %i" "$unit" || { echo "ExecStart is not the expected one"; exit 1; }
    mkdir "$scratch/run"
    said=$(XDG_RUNTIME_DIR=$scratch/run systemd-analyze verify --user "$unit" 2>&1) ||
      { echo "$said"; exit 1; }
    [ -z "$said" ] || { echo "$said"; exit 1; }
    ;;
esac
