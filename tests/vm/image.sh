#!/usr/bin/env bash
# Builds the virtual machines' one disk image from Debian packages, once: a
# minimal Debian with its kernel, the NFS and SMB servers and clients and
# lighttpd, as an ext4 file system, with the kernel and initrd beside it for a
# direct boot. The result is kept under DIR, named by a hash of this recipe, so
# a changed recipe builds a new image and an unchanged one is used again.
#
# Usage: image.sh DIR     (prints the folder holding base.img, vmlinuz, initrd.img)
# Environment: QG_VM_MIRROR (the Debian mirror, default deb.debian.org).
set -euo pipefail

out=${1:?folder for the image}
mirror=${QG_VM_MIRROR:-http://deb.debian.org/debian}
suite=bookworm
packages=(
  linux-image-amd64 initramfs-tools kmod udev iproute2 procps psmisc
  nfs-kernel-server nfs-common rpcbind samba cifs-utils
  lighttpd curl libacl1 libstdc++6
)
# The recipe's hash covers this file, so any change here makes a new image.
key=$(cat "$0" | sha256sum | cut -c1-16)
dir=$out/image-$key
if [ -f "$dir/done" ]; then
  echo "$dir"
  exit 0
fi
for tool in mmdebstrap mkfs.ext4; do
  command -v "$tool" >/dev/null || { echo "image.sh: $tool is not installed (run tools/install-deps)" >&2; exit 2; }
done
mkdir -p "$out"
tmp=$(mktemp -d "$out/image-build.XXXXXX")
trap 'rm -rf -- "${tmp:?}"' EXIT
root=$tmp/root

# The first program of every machine: mounts what the kernel does not, then
# runs the role script from the read-only share the test passes in at boot.
cat >"$tmp/qg-init" <<'INIT'
#!/bin/sh
# (The initrd has mounted /proc, /sys and /dev already.)
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
mount -o remount,rw /
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
modprobe 9pnet_virtio && modprobe 9p
mkdir -p /qg /out
mount -t 9p -o trans=virtio,version=9p2000.L,ro qg /qg
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none out /out
exec /bin/bash /qg/guest.sh
INIT

# The initrd holds only what mounting the root file system needs (the
# machines' disk is virtio): a small one is quick to unpack, which counts where
# the machines run under qemu's emulation.
# Only what a machine here boots and runs: the kernel's modules for sound,
# graphics, wireless, media and the like go (after the initrd is made).
mmdebstrap --variant=minbase --mode=root --format=directory \
  --aptopt='APT::Install-Recommends "false"' \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --include="$(IFS=,; echo "${packages[*]}")" \
  --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d"; printf "MODULES=list\nCOMPRESS=gzip\n" >"$1/etc/initramfs-tools/conf.d/qg.conf"' \
  --customize-hook='printf "%s\n" virtio_pci virtio_blk ext4 >>"$1/etc/initramfs-tools/modules"; chroot "$1" update-initramfs -u -k all' \
  --customize-hook="install -m 0755 '$tmp/qg-init' \"\$1/sbin/qg-init\"" \
  --customize-hook='echo qg-vm >"$1/etc/hostname"; : >"$1/etc/fstab"' \
  --customize-hook='for d in sound gpu media net/wireless net/ethernet infiniband staging iio hid input bluetooth isdn usb; do rm -rf "$1"/lib/modules/*/kernel/drivers/$d "$1"/lib/modules/*/kernel/$d "$1"/lib/modules/*/kernel/net/$d; done' \
  --customize-hook='rm -rf "$1"/var/cache/apt/* "$1"/var/lib/apt/lists/*' \
  "$suite" "$root" "$mirror" >"$tmp/mmdebstrap.log" 2>&1 ||
  { tail -n 40 "$tmp/mmdebstrap.log" >&2; exit 1; }

mkdir -p "$tmp/image"
cp "$root"/boot/vmlinuz-* "$tmp/image/vmlinuz"
cp "$root"/boot/initrd.img-* "$tmp/image/initrd.img"
rm -rf -- "${root:?}"/boot/*
size=$(( $(du -sm "$root" | cut -f1) + 300 ))
mkfs.ext4 -q -L qgroot -d "$root" "$tmp/image/base.img" "${size}M"
touch "$tmp/image/done"
rm -rf -- "${dir:?}"
mv "$tmp/image" "$dir"
echo "$dir"
