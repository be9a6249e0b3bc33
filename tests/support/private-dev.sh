#!/bin/sh
# Runs a command with a /dev of its own, inside the mount name space that `unshare --mount`
# made for it: none of the machine's serial devices, and /dev/NAME linked to TARGET (no link
# when NAME is -). The
# machine's pseudo-terminals and shared memory (JACK's) stay visible. Everything goes with the
# name space when the command ends.
#   private-dev.sh NAME TARGET UID GID COMMAND...
# UID and GID: who the command runs as, when a user name space made us root only inside it
# (JACK tells its clients apart by their user id).
set -eu
name=$1 target=$2 uid=$3 gid=$4
shift 4

dev=$(mktemp -d "${TMPDIR:-/tmp}/velmora-dev.XXXXXX")
mount -t tmpfs -o mode=755 velmora-dev "$dev"
for node in null zero full random urandom tty; do
  [ -e "/dev/$node" ] || continue
  : >"$dev/$node"
  mount --bind "/dev/$node" "$dev/$node"
done
for dir in pts shm; do
  mkdir "$dev/$dir"
  mount --rbind "/dev/$dir" "$dev/$dir"
done
# New pseudo-terminals from the pts seen here: the machine's /dev/ptmx makes them in the
# instance beside the machine's /dev, which is not this one where two are stacked on /dev/pts
# (their slaves are then missing). The machine's stays only where this one is closed to us
# (ptmxmode=000 and not root).
if (: <>"$dev/pts/ptmx") 2>/dev/null; then
  ln -s pts/ptmx "$dev/ptmx"
elif [ -e /dev/ptmx ]; then
  : >"$dev/ptmx"
  mount --bind /dev/ptmx "$dev/ptmx"
fi
ln -s /proc/self/fd "$dev/fd"
[ "$name" = - ] || ln -s "$target" "$dev/$name"
mount --rbind "$dev" /dev
umount --lazy "$dev"
rmdir "$dev"

if [ "$(id -u)" != "$uid" ]; then
  exec unshare --user --map-user="$uid" --map-group="$gid" "$@"
fi
exec "$@"
