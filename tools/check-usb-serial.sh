#!/usr/bin/env bash
# Runs the build's vkr-calibrate inside a QEMU guest against a real USB-serial driver (ftdi_sio on
# QEMU's emulated FTDI adapter), with vkr-sim playing the controller on the host behind the
# adapter, and pulls the adapter out from under it. A pseudo-terminal cannot show what a USB
# adapter does when it goes away: read() returns 0 even for a read already waiting, write() and
# termios calls fail with EIO, and the device node disappears a little later.
#
#   tools/check-usb-serial.sh [BUILD_DIR [CHECK...]]
#
# BUILD_DIR holds vkr-calibrate and vkr-sim (build/ when omitted); CHECK names the checks to run,
# all of them when none is named (the list is in all_checks below).
#
# The guest is Debian's own kernel (downloaded with apt-get download and unpacked into
# BUILD_DIR/usb-serial-vm/, never installed), a busybox initramfs with the USB-serial, xHCI and 9p
# modules, and this machine's root file system shared read-only, so the guest runs the very
# binaries of BUILD_DIR. Each check prints one line; any failure makes the script exit 1. A machine
# that cannot run the guest at all gets a SKIPPED line and exit 0. The guest's init is
# tools/usb-serial-guest.sh, the checks are in tools/usb-serial-checks.sh.
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/ensure-packages.sh

build=$(realpath -m "${1:-build}")
all_checks=(normal_run unplug_while_calibrating unplug_in_blocked_read replug unplug_during_handshake silence)
checks=("${@:2}")
[ ${#checks[@]} -gt 0 ] || checks=("${all_checks[@]}")
for check_name in "${checks[@]}"; do
    case " ${all_checks[*]} " in
    *" $check_name "*) ;;
    *)
        echo "usage: $0 [BUILD_DIR [CHECK...]], CHECK one of: ${all_checks[*]}" >&2
        exit 2
        ;;
    esac
done
cache=$build/usb-serial-vm
name=usb-serial

skip() {
    echo "$name: SKIPPED: $*"
    exit 0
}

for program in vkr-calibrate vkr-sim; do
    if [ ! -x "$build/$program" ]; then
        echo "$name: $build/$program is missing: build the tool first" >&2
        exit 2
    fi
done

# QEMU, a static busybox for the guest (cpio is busybox's own), and xz for the kernel.
if ! (ensure_packages qemu-system-x86 busybox-static xz-utils) >/dev/null 2>&1; then
    skip "QEMU or busybox-static cannot be installed here"
fi
qboot=/usr/share/qemu/qboot.rom
[ -r "$qboot" ] || skip "QEMU's qboot firmware ($qboot) is missing"

# --- The kernel: the current Debian amd64 image and its modules, unpacked once into the cache. ---
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
[ -n "$kernel_package" ] || skip "apt knows no linux-image-amd64 (no package lists?)"
release=${kernel_package#linux-image-}
kernel_dir=$cache/$release
if [ ! -s "$kernel_dir/vmlinux" ]; then
    # One kernel is kept: the one the package lists name now.
    rm -rf "$cache" && mkdir -p "$kernel_dir/deb" || exit 2
    # Package lists older than the archive name a kernel it no longer has: update them once.
    if ! (cd "$kernel_dir/deb" && { apt-get download "$kernel_package" || { apt-get update && apt-get download "$kernel_package"; }; }) >/dev/null 2>&1; then
        rm -rf "$kernel_dir"
        skip "the kernel package $kernel_package cannot be downloaded"
    fi
    dpkg-deb -x "$kernel_dir"/deb/*.deb "$kernel_dir/root" || exit 2
    rm -rf "$kernel_dir/deb"
    # The uncompressed kernel boots through its PVH entry in a fraction of the time the
    # self-decompressing bzImage takes under emulation. Debian compresses it with xz.
    vmlinuz=$kernel_dir/root/boot/vmlinuz-$release
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
    if [ -z "$offset" ] || ! xz -dc --single-stream <(tail -c +"$((offset + 1))" "$vmlinuz") >"$kernel_dir/vmlinux.part" 2>/dev/null; then
        rm -rf "$kernel_dir"
        echo "$name: no xz-compressed kernel found in $vmlinuz" >&2
        exit 2
    fi
    # Only the modules the guest loads are kept, with those they depend on (as their modinfo
    # names them), and the order to load them in.
    modules=$kernel_dir/root/lib/modules/$release
    declare -A module_path=() module_added=()
    while IFS= read -r path; do
        base=${path##*/}
        base=${base%.ko}
        module_path[${base//-/_}]=$path
    done < <(find "$modules/kernel" -name '*.ko')
    mkdir -p "$kernel_dir/modules"
    add_module() {
        local module=${1//-/_} dependency depends
        [ -n "${module_added[$module]:-}" ] && return 0
        module_added[$module]=1
        local path=${module_path[$module]:-}
        [ -n "$path" ] || { echo "$name: the kernel has no module $module" >&2; exit 2; }
        depends=$(LC_ALL=C grep -aoP 'depends=[^\x00]*' "$path" | head -n 1)
        depends=${depends#depends=}
        for dependency in ${depends//,/ }; do
            add_module "$dependency"
        done
        cp "$path" "$kernel_dir/modules/$module.ko"
        echo "$module" >>"$kernel_dir/modules/order"
    }
    for module in virtio_pci virtio_rng 9pnet_virtio 9p xhci_pci usbserial ftdi_sio; do
        add_module "$module"
    done
    rm -rf "$kernel_dir/root"
    mv "$kernel_dir/vmlinux.part" "$kernel_dir/vmlinux"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vkr-usb-serial.XXXXXX")
pids=()
# Ends PID only while it is still a child of this script: a process that has ended may have left
# its number to someone else's.
kill_own() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    set -- "$1" $stat
    [ "$3" = "$$" ] && kill "$1" 2>/dev/null
    return 0
}
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill_own "$pid"
    done
    wait 2>/dev/null
    if [ -n "${VKR_KEEP_VM_LOGS:-}" ]; then
        echo "$name: the guest's, QEMU's and vkr-sim's logs are in $scratch"
    else
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The initramfs: busybox, the modules in load order, and the guest's init. --------------------
initramfs=$scratch/initramfs
mkdir -p "$initramfs"/{bin,proc,sys,dev,host}
cp /bin/busybox "$initramfs/bin/busybox"
cp -r "$kernel_dir/modules" "$initramfs/modules"
cp tools/usb-serial-guest.sh "$initramfs/init"
chmod +x "$initramfs/init"
(cd "$initramfs" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$scratch/initramfs.gz"

# --- The guest. -----------------------------------------------------------------------------------
# Two pipes to the guest: its second serial port carries commands and their answers, and QMP plugs
# and unplugs the adapter. The reader of each stamps every line with the time it arrived, so
# that the time between an unplug and the end of a run is measured here, on one clock.
mkfifo "$scratch"/{control,qmp}.{in,out}
# Starts QEMU with the guest; a guest started again (after QEMU itself failed) uses the same pipes.
start_qemu() {
    qemu-system-x86_64 -nodefaults -no-user-config -display none \
        -machine pc,accel=tcg -cpu max -m 512 -smp 1 -bios "$qboot" \
        -kernel "$kernel_dir/vmlinux" -initrd "$scratch/initramfs.gz" \
        -append "console=ttyS0 quiet panic=-1" -no-reboot \
        -serial "file:$scratch/console.log" \
        -chardev "pipe,id=control,path=$scratch/control" -serial chardev:control \
        -chardev "pipe,id=qmp,path=$scratch/qmp" -mon chardev=qmp,mode=control \
        -device virtio-rng-pci \
        -device qemu-xhci,id=xhci \
        -virtfs "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap" \
        2>"$scratch/qemu.err" &
    qemu=$!
    pids+=("$qemu")
}
start_qemu

stamp_lines() {
    local line
    while IFS= read -r line; do
        printf '%s %s\n' "$EPOCHREALTIME" "${line%$'\r'}"
    done
}
stamp_lines <>"$scratch/control.out" >"$scratch/guest.log" &
pids+=("$!")
stamp_lines <>"$scratch/qmp.out" >"$scratch/qmp.log" &
pids+=("$!")
exec {to_guest}<>"$scratch/control.in" {to_qmp}<>"$scratch/qmp.in"

# Waits until a line after line FROM of FILE matches REGEX, for at most SECONDS; prints that line.
wait_line() {
    local file=$1 from=$2 regex=$3 seconds=$4 found
    local deadline=$((${EPOCHREALTIME/./} + seconds * 1000000))
    while :; do
        found=$(tail -n +"$((from + 1))" "$file" 2>/dev/null | grep -m 1 -E -e "$regex")
        [ -n "$found" ] && { echo "$found"; return 0; }
        [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || return 1
        kill -0 "$qemu" 2>/dev/null || return 1
        sleep 0.02
    done
}

lines() { wc -l <"$1"; }

# The seconds from the time stamp START to END (default: now), with two decimals.
seconds_since() {
    awk -v start="$1" -v end="${2:-$EPOCHREALTIME}" 'BEGIN { printf "%.2f", end - start }'
}

# Runs a command of the guest's init (see tools/usb-serial-guest.sh) and prints its answer, the
# first line starting with "@@", within SECONDS.
guest() {
    local seconds=$1 from
    shift
    from=$(lines "$scratch/guest.log")
    echo "$*" >&"$to_guest"
    wait_line "$scratch/guest.log" "$from" '^[0-9.]+ @@' "$seconds" | cut -d' ' -f2-
}

qmp_id=0
# Sends a QMP command; fails with QEMU's reply when it is not a success.
qmp() {
    local command=$1 arguments=${2:-"{}"} from reply
    qmp_id=$((qmp_id + 1))
    from=$(lines "$scratch/qmp.log")
    printf '{"execute": "%s", "arguments": %s, "id": %d}\n' "$command" "$arguments" "$qmp_id" >&"$to_qmp"
    reply=$(wait_line "$scratch/qmp.log" "$from" "\"id\": $qmp_id[,}]" 20) || { echo "no QMP reply to $command"; return 1; }
    case $reply in *'"return"'*) return 0 ;; esac
    echo "QMP $command: ${reply#* }"
    return 1
}

boot_started=$EPOCHREALTIME
if ! wait_line "$scratch/guest.log" 0 '@@READY' 120 >/dev/null; then
    # QEMU that cannot start at all (no TCG, a missing device) is this machine's limit, not a fault.
    [ -s "$scratch/console.log" ] || kill -0 "$qemu" 2>/dev/null ||
        skip "QEMU does not run here: $(head -n 1 "$scratch/qemu.err")"
    echo "$name: FAIL: the guest did not come up; its console and QEMU said:"
    tail -n 30 "$scratch/console.log" "$scratch/qemu.err"
    exit 1
fi
echo "$name: guest up in $(seconds_since "$boot_started") s (kernel $release)"
echo '{"execute": "qmp_capabilities"}' >&"$to_qmp"

# QEMU's emulated adapter has been seen to crash QEMU itself (a segmentation fault in an unplug);
# that is the emulator's fault, not the tool's. A new guest then comes up for the check to run
# again, once, and the crash is said.
restart_guest() {
    local status=0 said
    wait "$qemu" 2>/dev/null || status=$?
    said="exit status $status"
    [ "$status" -le 128 ] || said="signal $((status - 128))"
    said+=$(tail -n 1 "$scratch/qemu.err" 2>/dev/null | sed 's/^/: /')
    echo "$name: QEMU itself ended during the check ($said); a new guest runs it again"
    kill_own "${sim:-}"
    local from
    from=$(lines "$scratch/guest.log")
    start_qemu
    wait_line "$scratch/guest.log" "$from" '@@READY' 120 >/dev/null || return 1
    echo '{"execute": "qmp_capabilities"}' >&"$to_qmp"
    plugged=
    pulled=
}

# --- Plugging, unplugging and running. -----------------------------------------------------------
plugs=0
# Starts vkr-sim with SCENARIO, wires a new adapter to its pseudo-terminal and plugs it in; sets
# sim_log (vkr-sim's stamped --verbose log) and node (the guest's device node).
plugged=
pulled=
plug() {
    # What a failed check left plugged in goes first, or its node would be taken for the new one.
    [ -z "$plugged" ] || unplug >/dev/null
    plugs=$((plugs + 1))
    sim_log=$scratch/sim$plugs.log
    "$build/vkr-sim" --verbose --scenario "$1" >"$scratch/sim$plugs.out" 2> >(stamp_lines >"$sim_log") &
    sim=$!
    pids+=("$sim")
    local locator
    locator=$(wait_line "$scratch/sim$plugs.out" 0 '^locator: serial:' 10) || { echo "vkr-sim did not start"; return 1; }
    qmp chardev-add "{\"id\": \"sim$plugs\", \"backend\": {\"type\": \"serial\", \"data\": {\"device\": \"${locator#locator: serial:}\"}}}" || return 1
    qmp device_add "{\"driver\": \"usb-serial\", \"id\": \"adapter$plugs\", \"chardev\": \"sim$plugs\", \"bus\": \"xhci.0\"}" || return 1
    plugged=$plugs
    pulled=
    node=$(guest 15 plugged)
    node=${node#@@NODE }
    [ "${node#/dev/ttyUSB}" != "$node" ] || { echo "no adapter node appeared in the guest"; return 1; }
}

# Pulls the adapter out (QEMU acts at once: the guest's driver sees the disconnect).
pull() {
    qmp device_del "{\"id\": \"adapter$plugged\"}" && pulled=1
}

# Pulls the adapter out unless that was done already, waits for its node to go, and ends vkr-sim.
unplug() {
    [ -n "$pulled" ] || pull || return 1
    [ "$(guest 15 unplugged)" = @@GONE ] || { echo "the adapter's node stayed in the guest"; return 1; }
    # QEMU lets go of the character device only once the adapter is deleted, which it announces.
    wait_line "$scratch/qmp.log" 0 "\"DEVICE_DELETED\".*\"device\": \"adapter$plugged\"" 15 >/dev/null ||
        { echo "QEMU did not delete adapter$plugged"; return 1; }
    qmp chardev-remove "{\"id\": \"sim$plugged\"}" || return 1
    kill_own "$sim"
    wait "$sim" 2>/dev/null
    plugged=
    return 0
}

# Starts vkr-calibrate on the adapter in the guest; run_from is where its output starts.
start_run() {
    run_from=$(lines "$scratch/guest.log")
    [ "$(guest 10 calibrate "$build" "serial:$node")" = @@STARTED ] || { echo "the guest did not start the run"; return 1; }
}

# Waits at most SECONDS for the run to end; sets run_output, run_status, run_cpu (in 1/100 s)
# and run_ended (the time stamp of its end).
end_run() {
    local ending
    ending=$(wait_line "$scratch/guest.log" "$run_from" '^[0-9.]+ @@END ' "$1")
    run_output=$(tail -n +"$((run_from + 1))" "$scratch/guest.log" | sed -n '/^[0-9.]* @@END /q; /^[0-9.]* @@/d; p')
    if [ -z "$ending" ]; then
        # Killed, so that it cannot disturb the checks after this one.
        guest 10 'killall -KILL vkr-calibrate; echo @@KILLED' >/dev/null
        echo "the run did not end within $1 s"
        return 1
    fi
    run_ended=${ending%% *}
    ending=${ending##*@@END rc=}
    run_status=${ending%% *}
    run_cpu=${ending##*cpu=}
}

# Waits at most 60 s until vkr-sim logs a line matching REGEX; a run that ends first fails at once,
# with its output kept for the report.
run_reaches() {
    local deadline=$((${EPOCHREALTIME/./} + 60000000))
    until grep -q -E -e "$1" "$sim_log"; do
        if tail -n +"$((run_from + 1))" "$scratch/guest.log" | grep -q -E '^[0-9.]+ @@END '; then
            end_run 1 >/dev/null
            return 1
        fi
        [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || return 1
        sleep 0.02
    done
}

# The time stamp of the first line of the run's output that matches REGEX.
output_time() {
    grep -m 1 -E -e "$1" <<<"$run_output" | cut -d' ' -f1
}

has_output() {
    grep -q -E -e "$1" <<<"$run_output"
}


source tools/usb-serial-checks.sh
