#!/usr/bin/env bash
# Runs a command inside a throw-away qemu guest that boots Debian's packaged
# kernel with ALSA's test drivers loaded, and returns its output and status.
# Usage: scripts/run-in-guest.sh [--share DIR] [--visible DIR]... [--timeout SECONDS] [--] COMMAND...
#        scripts/run-in-guest.sh --fetch-kernel
#
# The guest sees this machine's / read-only (virtio-9p) under a tmpfs overlay:
# every installed program is there, and whatever the command writes stays in
# the guest, except in DIR (--share), which is this machine's DIR shared
# writable at the same path. /tmp and /run start empty in the guest, but for
# the caller's working directory and each --visible DIR (a build and its
# sources, wherever they are). The command runs as root in the caller's working
# directory with PATH, LANG, the ONDRILUX_* and GTEST_* variables of the
# caller, HOME=/root, a fresh XDG_RUNTIME_DIR and ONDRILUX_GUEST=1. Its
# standard output and error come back on this script's, and its exit status
# is this script's.
#
# Loaded before the command runs (ALSA has no other card in the guest):
#   snd-aloop       card "Loopback": what plays into hw:Loopback,0 comes back
#                   on the capture side hw:Loopback,1, bit-exact
#   snd-virmidi     card "VirMIDI": raw MIDI devices that are sequencer
#                   clients, as a USB keyboard's are (/dev/snd/midiC1D0
#                   and midiC1D1, clients 20 and 21); unbinding the device,
#                   echo snd_virmidi.0 >/sys/bus/platform/drivers/snd_virmidi/unbind,
#                   is a pulled cable, and bind plugs it in again
#   snd-seq-dummy   "Midi Through"
#
# The kernel is Debian's linux-image-amd64, never installed: its package is
# downloaded and unpacked, with its modules, into the cache (below), at the
# first run or by --fetch-kernel (`make test` does that), which also takes a
# newer one when the archive has it.
#
# Exit status 77 with one line on stderr: the guest cannot run here (no qemu,
# no static busybox, no kernel package to download). 124: the command outran
# the timeout (default 300 s). ONDRILUX_GUEST_CACHE names the cache (default
# ~/.cache/ondrilux/guest).
# ONDRILUX_GUEST_CONSOLE=FILE keeps the guest's console (kernel messages at
# ONDRILUX_GUEST_LOGLEVEL, default 3) in FILE.
set -euo pipefail

share=""
visible=("$PWD")
timeout=300
fetch_only=false
while [ $# -gt 0 ]; do
    case "$1" in
        --share) share=$(realpath "$2"); shift 2 ;;
        --visible) visible+=("$(realpath "$2")"); shift 2 ;;
        --fetch-kernel) fetch_only=true; shift ;;
        --timeout) timeout=$2; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
$fetch_only || [ $# -gt 0 ] ||
    { echo "usage: $0 [--share DIR] [--visible DIR]... [--timeout SECONDS] [--] COMMAND..." >&2; exit 2; }

cache=${ONDRILUX_GUEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ondrilux/guest}
mkdir -p "$cache"

# Debian's current kernel package (the one linux-image-amd64 depends on),
# unpacked into $cache/PACKAGE with the modules' index depmod makes on
# installation; one line on stderr when it cannot be had.
fetch_kernel() {
    local package tmp version err
    package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
    [ -n "$package" ] || { echo "run-in-guest: apt knows no linux-image-amd64" >&2; return 1; }
    exec 9>"$cache/fetch.lock" && flock 9 # another run may be fetching it
    [ -d "$cache/$package" ] && return 0
    tmp=$(mktemp -d "$cache/fetch.XXXXXX")
    if ! err=$(cd "$tmp" && apt-get download -qq "$package" 2>&1) ||
        ! dpkg -x "$tmp"/*.deb "$tmp/root" 2>/dev/null; then
        rm -rf "$tmp"
        echo "run-in-guest: cannot download $package: ${err:-no package}" >&2
        return 1
    fi
    version=$(ls "$tmp/root/lib/modules")
    PATH=$PATH:/usr/sbin:/sbin depmod -b "$tmp/root" "$version" ||
        { rm -rf "$tmp"; echo "run-in-guest: depmod (package kmod) failed" >&2; return 1; }
    mv -T "$tmp/root" "$cache/$package"
    rm -rf "$tmp"
    # Older kernels and their start-up images go.
    find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -name "$package" -exec rm -rf {} +
    find "$cache" -maxdepth 1 \( -name 'vmlinux-*' -o -name 'initrd-*' \) ! -name "*-$version-*" -delete
}
if $fetch_only; then
    fetch_kernel
    exit
fi

skip() { echo "run-in-guest: skipped: $*" >&2; exit 77; }
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed (package qemu-system-x86)"
busybox=/bin/busybox
[ -x "$busybox" ] && "$busybox" --list | grep -qx switch_root ||
    skip "no static busybox (package busybox-static)"
newest_kernel() { ls -1d "$cache"/linux-image-*/boot/vmlinuz-* 2>/dev/null | sort -V | tail -1; }
kernel_image=$(newest_kernel)
if [ -z "$kernel_image" ]; then
    why=$(fetch_kernel 2>&1) || skip "no Debian kernel (${why#run-in-guest: })"
    kernel_image=$(newest_kernel)
fi
version=${kernel_image##*/vmlinuz-}
moddir=${kernel_image%/boot/*}/lib/modules/$version
[ -f "$moddir/modules.dep" ] || skip "no modules for $version in $moddir"

# The uncompressed kernel and the start-up image are made once per kernel and
# version of this script, and kept.
stamp=$(cat "$kernel_image" "$0" | md5sum | cut -c1-12)
vmlinux=$cache/vmlinux-$version-$stamp
initrd=$cache/initrd-$version-$stamp.cpio

# What the start-up image loads from RAM (over 9p, modprobe takes seconds),
# in this order; each module's own dependencies go before it.
modules=(virtio_pci virtio_console 9pnet_virtio 9p overlay
         snd-timer snd-hrtimer snd-seq snd-seq-dummy snd-aloop snd-virmidi)

# The modules `name` needs, then itself, as paths relative to $moddir.
module_paths() {
    local name=${1//-/_} line file deps dep
    line=$(grep -E "(^|/)(${name}|${name//_/-})\.ko(\.xz)?:" "$moddir/modules.dep") ||
        { echo "run-in-guest: no module $1 in $moddir" >&2; return 1; }
    file=${line%%:*}
    deps=(${line#*:})
    # modules.dep lists a module's dependencies so that the last loads first.
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do echo "${deps[i]}"; done
    echo "$file"
}

make_kernel() {
    # Debian's vmlinuz is a bzImage around an xz stream; qemu boots the ELF
    # inside through its PVH entry, which skips the decompressor.
    local offset tmp
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$kernel_image" | head -1 | cut -d: -f1)
    [ -n "$offset" ] || { echo "run-in-guest: no xz payload in $kernel_image" >&2; return 1; }
    tmp=$(mktemp "$cache/vmlinux.XXXXXX")
    tail -c +$((offset + 1)) "$kernel_image" | xz -dc 2>/dev/null >"$tmp" || true
    [ "$(head -c4 "$tmp" | od -An -c | tr -d ' ')" = "177ELF" ] ||
        { rm -f "$tmp"; echo "run-in-guest: $kernel_image did not unpack to an ELF kernel" >&2; return 1; }
    mv "$tmp" "$vmlinux"
}

make_initrd() {
    local root tmp m p
    root=$(mktemp -d)
    mkdir -p "$root"/{bin,dev,proc,sys,mnt/host,mnt/rw,mnt/root,modules}
    cp "$busybox" "$root/bin/busybox"
    for m in "${modules[@]}"; do module_paths "$m"; done | awk '!seen[$0]++' >"$root/modules/order"
    # Newer kernels compress their modules; busybox's insmod takes them plain.
    while read -r p; do
        m=${p##*/}
        xz -dcf "$moddir/$p" >"$root/modules/${m%.xz}"
    done <"$root/modules/order"
    sed -i 's|.*/||; s|\.xz$||' "$root/modules/order"
    cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mkdir -p /usr/bin /sbin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r m; do
    case "$m" in
        snd-aloop.ko) insmod /modules/$m pcm_substreams=2 ;;
        snd-virmidi.ko) insmod /modules/$m midi_devs=2 ;;
        *) insmod /modules/$m ;;
    esac
done </modules/order
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot /mnt/host
mount -t tmpfs -o size=768m tmpfs /mnt/rw
mkdir -p /mnt/rw/upper /mnt/rw/work
mount -t overlay -o lowerdir=/mnt/host,upperdir=/mnt/rw/upper,workdir=/mnt/rw/work overlay /mnt/root
mkdir -p /mnt/root/.guest
cp /command/* /mnt/root/.guest/
mount --move /dev /mnt/root/dev
exec switch_root /mnt/root /bin/sh /.guest/stage2
EOF
    chmod +x "$root/init"
    tmp=$(mktemp "$cache/initrd.XXXXXX")
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$tmp"
    rm -rf "$root"
    mv "$tmp" "$initrd"
}

[ -f "$vmlinux" ] || make_kernel
[ -f "$initrd" ] || make_initrd

run=$(mktemp -d)
qemu_pid=""
readers=()
cleanup() {
    [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
    for p in "${readers[@]+"${readers[@]}"}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$run"
}
trap cleanup EXIT

# The command, its environment and the second stage go in a second archive,
# which the kernel lays over the first.
mkdir -p "$run/image/command"
{
    echo "cd $(printf %q "$PWD")"
    echo "export HOME=/root XDG_RUNTIME_DIR=/run/user/0 ONDRILUX_GUEST=1"
    while IFS='=' read -r -d '' name value; do
        case "$name" in
            PATH | LANG | LC_ALL | ONDRILUX_* | GTEST_*) echo "export $name=$(printf %q "$value")" ;;
        esac
    done < <(env -0)
    printf 'exec'
    printf ' %q' "$@"
    echo
} >"$run/image/command/command"
cat >"$run/image/command/stage2" <<'EOF'
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
# The kernel's modules where modprobe looks, from the cache that holds them.
moddir=$(cat /.guest/moddir)
mkdir -p "/lib/modules/${moddir##*/}"
mount --bind "$moddir" "/lib/modules/${moddir##*/}"
# The folders that stay visible under the empty /tmp and /run: held aside
# while those are mounted, then put back in place.
n=0
while read -r dir; do
    mkdir -p /.guest/visible$n && mount --bind "$dir" /.guest/visible$n
    n=$((n + 1))
done </.guest/visible
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
n=0
while read -r dir; do
    mkdir -p "$dir" && mount --move /.guest/visible$n "$dir"
    n=$((n + 1))
done </.guest/visible
mkdir -p /run/user/0 && chmod 700 /run/user/0
# After the tmpfs mounts, which would hide a share below /tmp.
if [ -f /.guest/share ]; then
    mkdir -p "$(cat /.guest/share)"
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share "$(cat /.guest/share)"
fi
port() { for d in /sys/class/virtio-ports/*; do [ "$(cat "$d/name")" = "$1" ] && echo "/dev/${d##*/}"; done; }
out=$(port out) err=$(port err) status=$(port status)
hostname guest
sh /.guest/command >"$out" 2>"$err" </dev/null
echo $? >"$status"
sync
echo o >/proc/sysrq-trigger
EOF
cmdline="console=ttyS0 loglevel=${ONDRILUX_GUEST_LOGLEVEL:-3} mitigations=off panic=-1 rdinit=/init tsc=reliable"
if [ -n "$share" ]; then
    echo "$share" >"$run/image/command/share"
fi
echo "$moddir" >"$run/image/command/moddir"
# Below /tmp or /run only (the rest is there anyway), parents first.
printf '%s\n' "${visible[@]}" | grep -E '^/(tmp|run)/' | sort -u >"$run/image/command/visible" || true
(cd "$run/image" && find . | cpio -o -H newc --quiet) >"$run/command.cpio"
cat "$initrd" "$run/command.cpio" >"$run/initrd"

mkfifo "$run/out" "$run/err"
cat "$run/out" &
readers+=($!)
cat "$run/err" >&2 &
readers+=($!)

share_args=()
[ -z "$share" ] || share_args=(
    -fsdev "local,id=share,path=$share,security_model=none"
    -device virtio-9p-pci,fsdev=share,mount_tag=share)
timeout "$timeout" qemu-system-x86_64 -M pc -accel tcg -cpu max -smp 2 -m 1536 \
    -nographic -no-reboot -nodefaults -monitor none \
    -serial "file:${ONDRILUX_GUEST_CONSOLE:-$run/console}" \
    -kernel "$vmlinux" -initrd "$run/initrd" -append "$cmdline" \
    -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=root,mount_tag=hostroot \
    "${share_args[@]+"${share_args[@]}"}" \
    -device virtio-serial-pci \
    -chardev "file,id=out,path=$run/out" -device virtserialport,chardev=out,name=out \
    -chardev "file,id=err,path=$run/err" -device virtserialport,chardev=err,name=err \
    -chardev "file,id=status,path=$run/status" -device virtserialport,chardev=status,name=status \
    </dev/null &
qemu_pid=$!
wait "$qemu_pid" || true
qemu_pid=""
# A reader still waiting for qemu to open its end (qemu failed early) gets
# its end of file; one that has it already is left alone.
for f in out err; do dd of="$run/$f" oflag=nonblock count=0 status=none 2>/dev/null || true; done
for p in "${readers[@]}"; do wait "$p" 2>/dev/null || true; done
readers=()
status=$(tr -dc 0-9 <"$run/status" 2>/dev/null || true)
if [ -z "$status" ]; then
    echo "run-in-guest: the guest ended without the command's status (timeout ${timeout}s?); its console:" >&2
    tail -20 "${ONDRILUX_GUEST_CONSOLE:-$run/console}" >&2 || true
    exit 124
fi
exit "$status"
