#!/usr/bin/env bash
# Runs a command in a small virtual machine whose kernel has uhid and
# hidraw, which this machine's kernel lacks: Debian's own kernel under QEMU
# (pure emulation, no KVM), this machine's root shared read-only beneath a
# tmpfs overlay, a busybox initramfs. No disk image and no network.
#
#   tools/vm.sh [--memory MB] CMD [ARG...]
#
# CMD runs as root in the current directory, with the environment below
# plus whatever `env NAME=VALUE CMD` sets; its standard output and error
# come back here, and its exit status is this script's. The guest writes
# into a tmpfs over this machine's files: nothing it writes comes back, but
# the run folder's.
#
# Exit 77 (and a line saying why) when this machine cannot run the VM: no
# QEMU, no kernel, no busybox. TALLYKEY_VM_TIMEOUT (seconds, default 900)
# bounds a run; a guest that outlives it is killed and reported.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
memory=2048
if [ "${1:-}" = "--memory" ]; then
  memory=$2
  shift 2
fi
[ $# -gt 0 ] || { echo "usage: tools/vm.sh [--memory MB] CMD [ARG...]" >&2; exit 2; }

skip() {
  echo "vm: SKIPPED, this machine cannot run the virtual machine: $*" >&2
  exit 77
}
qemu=$(command -v qemu-system-x86_64) || skip "no qemu-system-x86_64 (tools/bootstrap.sh installs it)"
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] || skip "no kernel in /boot (linux-image-amd64)"
version=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$version
[ -d "$modules" ] || skip "no modules for $version"
[ -x /bin/busybox ] && file_kind=$(od -An -c -N4 /bin/busybox | tr -d ' ') && [ "$file_kind" = "177ELF" ] ||
  skip "no busybox"
ldd /bin/busybox >/dev/null 2>&1 && skip "/bin/busybox is not the static one (busybox-static)"
[ -r "$kernel" ] || skip "$kernel is not readable"

# The initramfs, made once per kernel: busybox, the modules for the shared
# root (virtio, 9p, overlay) and for HID from user space (hid, uhid,
# hid-generic), loaded in dependency order, and the init below.
vm_dir=$root/build/vm
initramfs=$vm_dir/initramfs-$version.cpio.gz
init_source=$root/tools/vm-init.sh
if [ ! -s "$initramfs" ] || [ "$init_source" -nt "$initramfs" ]; then
  mkdir -p "$vm_dir"
  staging=$(mktemp -d)
  trap 'rm -rf "$staging"' EXIT
  mkdir -p "$staging"/{bin,dev,proc,sys,modules,host,merged,upper}
  cp /bin/busybox "$staging/bin/busybox"
  cp "$init_source" "$staging/init"
  chmod 755 "$staging/init"
  order=()
  for module in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache \
                9pnet 9pnet_virtio 9p overlay hid uhid hid-generic; do
    found=$(find "$modules" -name "$module.ko*" | head -n 1)
    [ -n "$found" ] || skip "the kernel has no module $module"
    case $found in
      *.xz) xz -dc "$found" > "$staging/modules/$module.ko" ;;
      *.zst) zstd -qdc "$found" > "$staging/modules/$module.ko" ;;
      *) cp "$found" "$staging/modules/$module.ko" ;;
    esac
    order+=("$module")
  done
  echo "${order[*]}" > "$staging/modules/order"
  (cd "$staging" && find . | cpio -o -H newc --quiet | gzip -1) > "$initramfs.new"
  mv "$initramfs.new" "$initramfs"
  rm -rf "$staging"
  trap - EXIT
fi

# The run's folder is shared read-write: the command's script goes in, its
# output and status come out. It lies in the build tree, which the guest
# sees at the same path.
mkdir -p "$vm_dir"
run=$(mktemp -d "$vm_dir/run.XXXXXX")
trap 'rm -rf "$run"' EXIT
{
  echo "#!/bin/bash"  # printf %q may quote the bash way
  printf 'cd %q || exit 125\n' "$PWD"
  printf 'export PATH=%q HOME=/root LANG=C.UTF-8\n' "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} > "$run/command"
chmod 755 "$run/command"

status=0
timeout --kill-after=10 "${TALLYKEY_VM_TIMEOUT:-900}" "$qemu" -accel tcg -m "$memory" -smp 2 -nographic \
  -no-reboot -net none -kernel "$kernel" -initrd "$initramfs" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$run,mount_tag=vmrun,security_model=none" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1 tallykey.run=$run" > "$run/console" 2>&1 || status=$?
[ -f "$run/stdout" ] && cat "$run/stdout"
[ -f "$run/stderr" ] && cat "$run/stderr" >&2
if [ ! -f "$run/status" ]; then
  echo "vm: the guest ended without the command's status (QEMU exit $status); its console:" >&2
  tail -n 40 "$run/console" >&2
  exit 124
fi
exit "$(cat "$run/status")"
