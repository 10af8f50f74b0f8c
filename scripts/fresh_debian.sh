#!/usr/bin/env bash
# The README's first command on a fresh Debian 12 root (debootstrap, python3 and ca-certificates only), run there as root.
#
#   bash scripts/fresh_debian.sh [DIR]     as root; DIR defaults to build/fresh-debian, removed afterwards
#
# A clean clone of the committed tree is made inside the root, /proc and /dev
# are mounted, and `bash scripts/run.sh` runs with a bare environment: any
# install step the set-up lacks (a package, a venv module, headers) fails here.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
root=${1:-$top/build/fresh-debian}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh_debian.sh: debootstrap and chroot need root" >&2
  exit 1
fi
command -v debootstrap >/dev/null 2>&1 || bash scripts/packages.sh debootstrap

mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
rm -rf "$root"
mkdir -p "$top/build"
start=$(date +%s)
debootstrap --variant=minbase --include=python3,ca-certificates bookworm "$root" "$mirror" >"$top/build/fresh-debian.log" 2>&1 \
  || { tail -20 "$top/build/fresh-debian.log" >&2; exit 1; }
echo "fresh_debian.sh: Debian 12 root made in $(( $(date +%s) - start )) s"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --bind /dev "$root/dev" && mounted+=("$root/dev")
mount --bind /dev/pts "$root/dev/pts" && mounted+=("$root/dev/pts")
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Behind a proxy that inspects TLS the host trusts a certificate bundle of
# its own (PIP_CERT, SSL_CERT_FILE); the root is given the same bundle.
environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
bundle=${PIP_CERT:-${SSL_CERT_FILE:-}}
if [ -n "$bundle" ] && [ -f "$bundle" ]; then
  cp "$bundle" "$root/etc/ssl/host-bundle.pem"
  environment+=(PIP_CERT=/etc/ssl/host-bundle.pem SSL_CERT_FILE=/etc/ssl/host-bundle.pem)
fi
git clone -q "$top" "$root/root/tarvex"
start=$(date +%s)
env -i "${environment[@]}" chroot "$root" /bin/bash -c "cd /root/tarvex && bash scripts/run.sh"
echo "fresh_debian.sh: the first command ran in $(( $(date +%s) - start )) s"
start=$(date +%s)
env -i "${environment[@]}" chroot "$root" /bin/bash -c "cd /root/tarvex && bash scripts/run.sh >/dev/null"
echo "fresh_debian.sh: and again, set up already, in $(( $(date +%s) - start )) s"
