#!/usr/bin/env bash
# Tries the README's two commands as a newcomer would: on a fresh minimal
# Debian root of RELEASE (bookworm, trixie, ...), as root, in a clone of
# this repository's HEAD, with nothing added but git.
#   scripts/fresh-debian.sh RELEASE [DIR]   (DIR: /var/tmp/shamrig-roots/RELEASE)
# The root is made anew each time and kept afterwards for a look; its logs
# are DIR.create.log and DIR.test.log. Exits with the first failure.
# Needs root; installs debootstrap when it is missing.
set -eu
cd "$(dirname "$0")/.." || exit 1
. scripts/deps.sh
release=${1:?usage: scripts/fresh-debian.sh RELEASE [DIR]}
dir=${2:-/var/tmp/shamrig-roots/$release}
repo=$PWD
[ "$(id -u)" = 0 ] || { echo "needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
need debootstrap

unmount() { grep -q " $dir/" /proc/mounts && umount -R "$dir/proc" "$dir/sys" "$dir/dev" 2>/dev/null; true; }
unmount
if grep -q " $dir/" /proc/mounts; then
    echo "$dir still has mounts; not removing it" >&2
    exit 1
fi
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
echo "debootstrap $release into $dir"
debootstrap --variant=minbase "$release" "$dir" http://deb.debian.org/debian >"$dir.debootstrap.log" 2>&1 ||
    { tail -n 20 "$dir.debootstrap.log"; exit 1; }
trap unmount EXIT
mount -t proc proc "$dir/proc"
mount --rbind /sys "$dir/sys" && mount --make-rslave "$dir/sys"
mount --rbind /dev "$dir/dev" && mount --make-rslave "$dir/dev"
cp /etc/resolv.conf "$dir/etc/resolv.conf"
# This network's own certificate authorities, so that npm reaches its
# registry from inside; the root is otherwise as Debian makes it.
mkdir -p "$dir/usr/local/share/ca-certificates"
cp /usr/local/share/ca-certificates/*.crt "$dir/usr/local/share/ca-certificates/" 2>/dev/null || true
in_root() { chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt "$@"; }
in_root sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq git ca-certificates >/dev/null'
git clone -q "$repo" "$dir/root/shamrig"
t0=$SECONDS
status=0
in_root sh -c 'cd /root/shamrig && ./scripts/create.sh' >"$dir.create.log" 2>&1 || status=$?
echo "create.sh: exit $status, $((SECONDS - t0)) s; last line: $(tail -n 1 "$dir.create.log")"
[ "$status" = 0 ] || exit "$status"
t0=$SECONDS
in_root sh -c 'cd /root/shamrig && CI=true ./scripts/test.sh' >"$dir.test.log" 2>&1 || status=$?
echo "test.sh: exit $status, $((SECONDS - t0)) s; last line: $(tail -n 1 "$dir.test.log")"
exit "$status"
