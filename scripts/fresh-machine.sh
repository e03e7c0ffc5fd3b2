#!/bin/sh
# The README's two commands as a newcomer runs them: on a fresh Debian 12
# (debootstrap's minbase with git), as root, from a clone in /root (mode
# 0700). Each command's time is printed; the exit code is the first failure.
#
#   scripts/fresh-machine.sh [FOLDER]     (as root; FOLDER defaults to a new
#                                          one under /var/tmp, kept afterwards)
#
# The machine is a chroot in a mount namespace of its own: /proc, a read-only
# /sys, and a /dev of its own with a private pseudo-terminal instance and no
# serial device, so nothing in it can reach the host's console. It needs the
# network for Debian's packages (debootstrap, then the commands' apt-get).
# Takes about 20 minutes on two cores. Commits only: the clone is of HEAD.
set -eu
[ "$(id -u)" -eq 0 ] || { echo "fresh-machine: run it as root" >&2; exit 1; }
top=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$(mktemp -d /var/tmp/korvalen-fresh-XXXXXX)}
# The machine's / as Debian makes it: mktemp's 0700 would keep every user
# but root out of everything (postgres's set-up, the tests run as nobody).
chmod 0755 "$root"
"$top/scripts/deps.sh" debootstrap

if [ ! -x "$root/usr/bin/git" ]; then
  echo "== debootstrap minbase + git into $root"
  debootstrap --variant=minbase --include=git bookworm "$root" http://deb.debian.org/debian
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
rm -rf "$root/srv/korvalen.git" "$root/root/korvalen"
git clone -q --bare "$top" "$root/srv/korvalen.git"

unshare -m --propagation private sh -eu -c '
root=$1
mount -t proc proc "$root/proc"
mount --rbind -o ro /sys "$root/sys" 2>/dev/null || mount --bind /sys "$root/sys"
mount -t tmpfs -o mode=0755 devfs "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
  name=${node%%:*} numbers=${node#*:}
  mknod -m 666 "$root/dev/$name" c "${numbers%%:*}" "${numbers#*:}"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmp "$root/tmp"
exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 sh -eu -c "
    ls -ld /root
    cd /root && git clone -q /srv/korvalen.git korvalen && cd korvalen
    start=\$(date +%s); ./run demo; demo=\$((\$(date +%s) - start))
    start=\$(date +%s); ./run test; test=\$((\$(date +%s) - start))
    echo \"fresh-machine: ./run demo \${demo} s, ./run test \${test} s (clone in /root)\"
  "
' sh "$root"
