# A virtual machine fed from the daemon's FIFO through virtio-rng, for
# bench/vm-guest and the QEMU rows of bench/restart. Sourced after lib.sh, not run.
#
# The guest is Debian's cloud kernel (its package fetched with apt-get download
# and unpacked, not installed) with an initramfs of busybox, run by QEMU in
# software emulation (-accel tcg: guests under KVM die with an internal error on
# this project's machine). Its /init loads the virtio modules, sets the device's
# rng_quality to 0 (so that the kernel's hwrng thread, which takes 64-byte pieces
# of the stream for the guest's entropy pool, stops; see the note in /init), and
# then, by qrng_mode= on the command line:
#   read        reads /dev/hwrng for good (into /dev/null)
#   copy        copies qrng_mib= MiB of /dev/hwrng onto the virtio disk /dev/vda,
#               prints "guest: reader ended with status S: <dd's last line>",
#               then powers off
# Meanwhile it prints a heartbeat on its serial console every 0.2 s:
#   hb UPTIME BYTES      (BYTES: what its reader has read from /dev/hwrng so far)
# which the host stamps with its own clock as the lines arrive.

VM_DIR="$B/vm"
VM_MODULES="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk virtio_rng"

# vm_prepare: installs QEMU and busybox if missing, fetches and unpacks the cloud
# kernel, builds the initramfs. Sets VM_KERNEL and VM_INITRD.
vm_prepare() {
    ensure_packages qemu-system-x86 busybox-static xz-utils
    mkdir -p "$VM_DIR"
    local pkg
    pkg=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-.*-cloud-amd64\)$/\1/p' | head -n 1)
    if [ -z "$pkg" ]; then
        apt-get update -qq
        pkg=$(apt-cache depends linux-image-cloud-amd64 | sed -n 's/^ *Depends: \(linux-image-.*-cloud-amd64\)$/\1/p' | head -n 1)
    fi
    [ -n "$pkg" ] || { echo "no versioned package behind linux-image-cloud-amd64" >&2; exit 2; }
    if [ ! -d "$VM_DIR/$pkg" ]; then
        echo "Fetching $pkg (apt-get download, unpacked, not installed) ..."
        rm -f "$VM_DIR"/linux-image-*.deb
        (cd "$VM_DIR" && apt-get download "$pkg" 2>&1 | grep -v 'unsandboxed as root' || true)
        local deb
        deb=$(ls "$VM_DIR"/"$pkg"_*.deb 2>/dev/null | head -n 1)
        [ -n "$deb" ] || { echo "apt-get download $pkg failed" >&2; exit 2; }
        dpkg-deb -x "$deb" "$VM_DIR/$pkg.tmp"
        mv "$VM_DIR/$pkg.tmp" "$VM_DIR/$pkg"
    fi
    VM_KERNEL=$(ls "$VM_DIR/$pkg"/boot/vmlinuz-* | head -n 1)
    VM_INITRD="$VM_DIR/initrd-$pkg.cpio.gz"
    vm_initrd "$VM_DIR/$pkg" "$VM_INITRD"
}

# vm_module_file ROOT NAME: the module's file in the unpacked kernel (- or _ in
# its name, compressed or not).
vm_module_file() {
    find "$1/lib/modules" \( -name "$2.ko*" -o -name "${2//_/-}.ko*" \) | head -n 1
}

# vm_module_unpacked FILE: the module's content, uncompressed.
vm_module_unpacked() {
    case $1 in
    *.xz) xz -dc "$1" ;;
    *.zst) zstd -qdc "$1" ;;
    *.gz) gzip -dc "$1" ;;
    *) cat "$1" ;;
    esac
}

# vm_initrd ROOT OUT: the initramfs: busybox, the modules (each after those it
# depends on, from their modinfo), /init.
vm_initrd() {
    local root=$1 out=$2 tree="$VM_DIR/initrd-tree" order=() m
    rm -rf "$tree"
    mkdir -p "$tree"/{bin,dev,proc,sys,modules}
    cp /bin/busybox "$tree/bin/busybox"
    # add_module NAME: its dependencies first, then itself.
    add_module() {
        local name=${1//-/_} file deps d
        for d in "${order[@]}"; do [ "$d" = "$name" ] && return 0; done
        file=$(vm_module_file "$root" "$name")
        [ -n "$file" ] || { echo "module $name not in the kernel package" >&2; exit 2; }
        vm_module_unpacked "$file" >"$tree/modules/$name.ko"
        deps=$(tr '\0' '\n' <"$tree/modules/$name.ko" | sed -n 's/^depends=//p' | head -n 1)
        for d in ${deps//,/ }; do add_module "$d"; done
        order+=("$name")
    }
    for m in $VM_MODULES; do add_module "$m"; done
    printf '%s\n' "${order[@]}" >"$tree/modules/order"
    cat >"$tree/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /modules/order); do insmod "/modules/$m.ko" || echo "guest: insmod $m failed"; done
mode=read
mib=16
for arg in $(cat /proc/cmdline); do
    case $arg in
    qrng_mode=*) mode=${arg#qrng_mode=} ;;
    qrng_mib=*) mib=${arg#qrng_mib=} ;;
    esac
done
i=0
while [ ! -e /dev/hwrng ] || { [ "$mode" = copy ] && [ ! -e /dev/vda ]; }; do
    i=$((i + 1))
    [ $i -gt 300 ] && { echo "guest: no /dev/hwrng or /dev/vda"; reboot -f; }
    usleep 100000
done
# The hwrng thread feeds the guest's pool from the device while its quality is
# above 0; virtio_rng sets 1000 by itself, so the thread runs from the probe on.
# Quality 0 is meant to end it; on the Debian 6.1 cloud kernel it lives on all
# the same and now and then takes a 64-byte piece of the stream.
hw=/sys/class/misc/hw_random
before="quality $(cat $hw/rng_quality)"
echo 0 >$hw/rng_quality
echo "guest: kernel $(uname -r), hwrng $(cat $hw/rng_current), $before, then $(cat $hw/rng_quality); hwrng threads $(ps | grep -c '[[]hwrng[]]')"
if [ "$mode" = copy ]; then
    dd if=/dev/hwrng of=/dev/vda bs=65536 count=$((mib * 16)) iflag=fullblock 2>/dd.err &
else
    cat /dev/hwrng >/dev/null &
fi
reader=$!
echo "guest: reading, mode $mode"
(
    while :; do
        read up idle </proc/uptime
        echo "hb $up $(sed -n 's/^rchar: //p' /proc/$reader/io 2>/dev/null)"
        usleep 200000
    done
) &
wait $reader
status=$?
sync
echo "guest: reader ended with status $status: $(tail -n 1 /dd.err 2>/dev/null)"
reboot -f
EOF
    chmod +x "$tree/init"
    (cd "$tree" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -9n) >"$out"
}

# vm_start FIFO MODE MIB DISK SERIAL_LOG: boots the guest in the background;
# SERIAL_LOG gets its console, each line prefixed with the host's time
# (EPOCHREALTIME). DISK ("" for none): a raw image for /dev/vda. Sets VM_PID
# (QEMU's process).
vm_start() {
    local fifo=$1 mode=$2 mib=$3 disk=$4 log=$5 drive=()
    [ -n "$disk" ] && drive=(-drive "file=$disk,format=raw,if=virtio,cache=unsafe")
    : >"$log"
    local pidfile="$log.pid"
    rm -f "$pidfile"
    qemu-system-x86_64 -accel tcg -m 256M -smp 1 -display none -no-reboot -monitor none \
        -chardev stdio,id=con,signal=off -serial chardev:con -pidfile "$pidfile" \
        -kernel "$VM_KERNEL" -initrd "$VM_INITRD" \
        -append "console=ttyS0 quiet qrng_mode=$mode qrng_mib=$mib" \
        -object "rng-random,id=rng0,filename=$fifo" -device virtio-rng-pci,rng=rng0 \
        "${drive[@]}" </dev/null 2>"$log.err" |
        while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "${line%$'\r'}"; done >"$log" &
    VM_PIPE=$!
    PIDS+=("$VM_PIPE")
    local i
    for i in $(seq 100); do
        [ -s "$pidfile" ] && break
        sleep 0.1
    done
    VM_PID=$(cat "$pidfile" 2>/dev/null || true)
    [ -n "$VM_PID" ] || { echo "QEMU did not start:" >&2; cat "$log.err" >&2; exit 1; }
    PIDS+=("$VM_PID")
}

# vm_wait_line LOG PATTERN SECONDS: waits until a console line matches PATTERN
# (grep -E); fails after SECONDS or when QEMU has ended.
vm_wait_line() {
    local i
    for i in $(seq $(($3 * 10))); do
        grep -qE "$2" "$1" && return 0
        kill -0 "$VM_PID" 2>/dev/null || { grep -qE "$2" "$1" && return 0; return 1; }
        sleep 0.1
    done
    return 1
}

# vm_longest_gap LOG [FROM [TO]]: the longest time in seconds between two
# heartbeats stamped by the host (between host times FROM and TO).
vm_longest_gap() {
    awk -v from="${2:-0}" -v to="${3:-1e18}" '$2 == "hb" && $1 >= from && $1 <= to {
        if (last != "" && $1 - last > gap) gap = $1 - last; last = $1 }
        END { printf "%.2f", gap }' "$1"
}

# vm_bytes LOG: what the guest's reader had read at its last heartbeat.
vm_bytes() { awk '$2 == "hb" && $4 != "" { b = $4 } END { print b + 0 }' "$1"; }
