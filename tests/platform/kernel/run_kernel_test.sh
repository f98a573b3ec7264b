#!/usr/bin/env bash
# Boots the distribution's kernel under qemu (software emulation) with a small initramfs:
# busybox, the hid, hid-generic and uhid modules, systemd-udevd with its default rules plus the
# packaged hidraw rule, the probe program and hq3746ctl with their shared libraries and Qt's
# offscreen platform plugin. The probe makes cabinets uhid devices and checks the Linux HID
# backend, hq3746ctl and the monitor window against them; its output comes back over the serial
# console.
#
# Usage: run_kernel_test.sh PROBE RULES_FILE WORK_DIR HQ3746CTL
# Exit: 0 passed, 1 failed, 77 skipped (qemu, kernel or modules missing; a failure when CI=true).
set -uo pipefail
probe=$1 rules=$2 work=$3 ctl=$4
start=$(date +%s.%N)

missing() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $* (the kernel test must run in CI: scripts/deps.sh test installs it)"
        exit 1
    fi
    echo "SKIP: $* (install qemu-system-x86, linux-image-amd64 and busybox-static to run it)"
    exit 77
}

qemu=$(command -v qemu-system-x86_64) || missing "qemu-system-x86_64 not found"
busybox=""
for b in /bin/busybox /usr/bin/busybox; do
    if [ -x "$b" ] && ! ldd "$b" >/dev/null 2>&1; then busybox=$b; break; fi
done
[ -n "$busybox" ] || missing "no statically linked busybox"
udevadm=$(command -v udevadm) || missing "udevadm not found"
rulesdir=""
for d in /usr/lib/udev/rules.d /lib/udev/rules.d; do [ -d "$d" ] && { rulesdir=$d; break; }; done
[ -n "$rulesdir" ] || missing "no udev rules directory"

# The newest installed kernel image that has the three modules.
kernel="" modules=""
for k in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -rV); do
    v=${k#/boot/vmlinuz-}
    m=/lib/modules/$v/kernel/drivers/hid
    if [ -r "$k" ] && [ -f "$m/hid.ko" ] && [ -f "$m/hid-generic.ko" ] && [ -f "$m/uhid.ko" ]; then
        kernel=$k modules=$m
        break
    fi
done
[ -n "$kernel" ] || missing "no readable /boot/vmlinuz-* with hid, hid-generic and uhid modules"

root=$work/root
rm -rf "$root" && mkdir -p "$root"/{bin,sbin,etc/udev/rules.d,lib/modules,lib/systemd,lib/udev,proc,sys,dev,run,tmp}
mkdir -p "$root/usr/lib" "$root/usr/bin"

# A program and every shared library it needs, at their own paths.
copy_with_libs() {
    local file=$1 dest=$2
    mkdir -p "$root$(dirname "$dest")"
    cp -L "$file" "$root$dest"
    ldd "$file" 2>/dev/null | grep -oE '/[^ ]+' | while read -r lib; do
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

cp "$busybox" "$root/bin/busybox"
copy_with_libs "$udevadm" /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
cp -r "$rulesdir" "$root/lib/udev/"
cp "$rules" "$root/etc/udev/rules.d/"
copy_with_libs "$probe" /probe
strip --strip-debug "$root/probe" 2>/dev/null || true
copy_with_libs "$ctl" /usr/bin/hq3746ctl
strip --strip-debug "$root/usr/bin/hq3746ctl" 2>/dev/null || true
# The monitor window runs offscreen: Qt's offscreen platform plugin, at the path Qt looks in.
plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || true)
[ -n "$plugins" ] || plugins=/usr/lib/x86_64-linux-gnu/qt6/plugins
[ -f "$plugins/platforms/libqoffscreen.so" ] || missing "no Qt offscreen platform plugin in $plugins"
copy_with_libs "$plugins/platforms/libqoffscreen.so" "$plugins/platforms/libqoffscreen.so"
# One font, so that the window can lay out its texts.
font=$(ls /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf 2>/dev/null | head -1)
if [ -n "$font" ]; then
    mkdir -p "$root/usr/share/fonts/truetype/dejavu"
    cp "$font" "$root/usr/share/fonts/truetype/dejavu/"
    [ -d /etc/fonts ] && cp -r /etc/fonts "$root/etc/"
fi
cp "$modules"/hid.ko "$modules"/hid-generic.ko "$modules"/uhid.ko "$root/lib/modules/"
cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
nobody:x:65534:65534:nobody:/nonexistent:/bin/false
EOF
cat >"$root/etc/group" <<'EOF'
root:x:0:
plugdev:x:46:
nogroup:x:65534:
EOF
echo "passwd: files
group: files" >"$root/etc/nsswitch.conf"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
insmod /lib/modules/hid.ko && insmod /lib/modules/hid-generic.ko && insmod /lib/modules/uhid.ko \
    || echo "KERNEL-TEST-SETUP: module load failed"
echo "KERNEL-TEST-UPTIME modules $(cut -d' ' -f1 /proc/uptime)"
/lib/systemd/systemd-udevd --daemon 2>/dev/null || echo "KERNEL-TEST-SETUP: udevd failed"
udevadm trigger --action=add 2>/dev/null
udevadm settle --timeout=30 2>/dev/null
echo "KERNEL-TEST-UPTIME udev settled $(cut -d' ' -f1 /proc/uptime)"
HOME=/tmp QT_LOGGING_RULES='*.debug=false' /probe /usr/bin/hq3746ctl
echo "KERNEL-TEST-EXIT $?"
echo "KERNEL-TEST-UPTIME probe done $(cut -d' ' -f1 /proc/uptime)"
poweroff -f
EOF
chmod +x "$root/init"

(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio" || {
    echo "FAIL: cannot pack the initramfs"
    exit 1
}
prepared=$(date +%s.%N)

console=$work/console.log
# qemu's software emulation itself crashes now and then (seen: a segmentation fault while the
# firmware boots). Such a crash before the test program has printed anything says nothing about
# the backend, so it is tried again, at most twice; a crash after the first output counts.
for attempt in 1 2 3; do
    timeout 300 "$qemu" -accel tcg -cpu max -smp 2 -m 768 -nographic -no-reboot \
        -kernel "$kernel" -initrd "$work/initramfs.cpio" \
        -append "console=ttyS0 panic=-1 quiet loglevel=3" </dev/null >"$console" 2>&1
    qemu_rc=$?
    if [ $qemu_rc -gt 128 ] &&
        ! tr -d '\r' <"$console" | grep -q -E '^(CHECK|KERNEL-TEST)'; then
        echo "qemu crashed (exit code $qemu_rc) before the test started, attempt $attempt of 3"
        continue
    fi
    break
done
end=$(date +%s.%N)

tr -d '\r' <"$console" | grep -E '^(CHECK|KERNEL-TEST)' 
echo "kernel: $kernel"
awk -v a="$start" -v b="$prepared" -v c="$end" -v console="$console" \
    'BEGIN { printf "initramfs %.1f s, qemu boot and run %.1f s (console log: %s)\n", b - a, c - b, console }'
if [ $qemu_rc -ne 0 ]; then
    echo "FAIL: qemu exited with $qemu_rc"
    exit 1
fi
if tr -d '\r' <"$console" | grep -q '^KERNEL-TEST-EXIT 0$' &&
    tr -d '\r' <"$console" | grep -q '^KERNEL-TEST-RESULT: PASS'; then
    exit 0
fi
echo "FAIL: see $console"
exit 1
