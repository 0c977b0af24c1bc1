#!/bin/busybox sh
# The init of the guest that tools/check-usb-serial.sh boots: loads the modules, mounts the host's
# root file system read-only on /host with the guest's own /proc, /sys and /dev over it, then
# takes one command a line from its second serial port and answers on it. Every answer the host
# waits for starts with "@@"; everything else (the tool's output) is passed through.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do
    insmod "/modules/$module.ko" || echo "guest: insmod $module failed" >/dev/ttyS0
done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 host /host || echo "guest: no 9p mount" >/dev/ttyS0
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
# The tool's home and run-time folder: in the guest's own /dev, since any folder of the host, /tmp
# too, may hold the build the guest runs.
mkdir -p -m 700 /host/dev/home

# Waits, for at most 10 s, until an adapter's node exists, and names it.
plugged() {
    i=0
    while [ $i -lt 500 ]; do
        for node in /dev/ttyUSB*; do
            [ -e "$node" ] && { echo "@@NODE $node"; return; }
        done
        usleep 20000
        i=$((i + 1))
    done
    echo "@@NODE none"
}

# Waits, for at most 10 s, until no adapter's node is left.
unplugged() {
    i=0
    while [ $i -lt 500 ]; do
        set -- /dev/ttyUSB*
        [ -e "$1" ] || { echo "@@GONE"; return; }
        usleep 20000
        i=$((i + 1))
    done
    echo "@@GONE not"
}

# Starts BUILD/vkr-calibrate LOCATOR in the background and answers at once; when the tool ends,
# "@@END rc=STATUS cpu=TICKS" follows, TICKS being its processor time in 1/100 s.
calibrate() {
    sh -c 'chroot /host /usr/bin/env HOME=/dev/home XDG_RUNTIME_DIR=/dev/home VKR_NO_HISTORY=1 "$0/vkr-calibrate" "$1" 2>&1
           rc=$?
           set -- $(cat /proc/$$/stat)
           echo "@@END rc=$rc cpu=$((${16} + ${17}))"' "$1" "$2" &
    echo "@@STARTED"
}

# The processor time vkr-calibrate has used so far, in 1/100 s.
cputime() {
    set -- $(cat /proc/$(pidof vkr-calibrate)/stat)
    # On a line of its own: the run's output may be in the middle of one.
    printf '\n@@CPU %d\n' $((${14} + ${15}))
}

stty -F /dev/ttyS1 raw -echo
exec </dev/ttyS1 >/dev/ttyS1 2>&1
echo "@@READY"
while read -r command; do
    eval "$command"
done
poweroff -f
