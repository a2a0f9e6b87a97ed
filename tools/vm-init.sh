#!/bin/busybox sh
# The virtual machine's /init (tools/vm.sh): loads the modules, puts a
# tmpfs overlay over the host's read-only root, runs the command the run
# folder holds, records its status there and powers off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do
  insmod "/modules/$module.ko" || echo "vm-init: $module did not load"
done
ip link set lo up

run=$(sed -n 's/.*tallykey\.run=\([^ ]*\).*/\1/p' /proc/cmdline)
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot /host
mount -t tmpfs -o mode=755 upper /upper
mkdir -p /upper/data /upper/work
mount -t overlay -o lowerdir=/host,upperdir=/upper/data,workdir=/upper/work overlay /merged
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 vmrun "/merged$run"
mount -t proc proc /merged/proc
mount -t sysfs sys /merged/sys
mount -t devtmpfs dev /merged/dev
mkdir -p /merged/dev/shm /merged/dev/pts
mount -t tmpfs -o mode=1777 shm /merged/dev/shm
mount -t devpts devpts /merged/dev/pts
# /tmp stays the overlay's: the tree the command works in may lie under it.
mount -t tmpfs -o mode=755 run /merged/run

chroot /merged "$run/command" > "/merged$run/stdout" 2> "/merged$run/stderr"
echo $? > "/merged$run/status.new"
mv "/merged$run/status.new" "/merged$run/status"
sync
poweroff -f
