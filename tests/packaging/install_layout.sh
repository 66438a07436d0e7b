#!/usr/bin/env bash
# Installs the build into temporary DESTDIRs, with two prefixes, and checks the
# layout: daemon in sbin, manual page in man8, unit template naming the installed
# daemon and the units of the FIFO's socket, copyright; the simulator binaries
# only when QRNGD_INSTALL_SIM is on.
# Usage: install_layout.sh BUILD_DIR INSTALL_SIM(ON|OFF)
set -euo pipefail
build=$1
sim=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

for prefix in /usr /opt/qrngd; do
    dest="$tmp/root$(echo "$prefix" | tr / _)"
    DESTDIR="$dest" cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" \
        || { cat "$tmp/install.log"; fail "cmake --install --prefix $prefix"; }
    root="$dest$prefix"
    [ -x "$root/sbin/qrngd" ] || fail "no $prefix/sbin/qrngd"
    [ -f "$root/share/man/man8/qrngd.8.gz" ] || [ -f "$root/share/man/man8/qrngd.8" ] \
        || fail "no manual page in $prefix/share/man/man8"
    [ -f "$root/share/doc/qrngd/copyright" ] || fail "no copyright file"
    unit="$root/lib/systemd/system/qrngd@.service"
    [ -f "$unit" ] || fail "no unit template in $prefix/lib/systemd/system"
    grep -qx "ExecStart=$prefix/sbin/qrngd -x %i \$QRNGD_OPTIONS" "$unit" \
        || fail "the unit does not start $prefix/sbin/qrngd: $(grep ExecStart= "$unit")"
    for u in qrngd-fifo@.socket qrngd-fifo@.service; do
        [ -f "$root/lib/systemd/system/$u" ] || fail "no $u in $prefix/lib/systemd/system"
    done
    # Nothing lands outside DESTDIR + prefix.
    [ -z "$(find "$dest" -mindepth 1 -maxdepth 1 ! -name "$(echo "$prefix" | cut -d/ -f2)")" ] \
        || fail "files outside the prefix: $(ls "$dest")"
    for tool in qrngd-sim qrng-verify; do
        found=$(find "$dest" -name "$tool")
        if [ "$sim" = ON ]; then
            [ -n "$found" ] || fail "$tool not installed although QRNGD_INSTALL_SIM is ON"
        else
            [ -z "$found" ] || fail "$tool installed although QRNGD_INSTALL_SIM is OFF: $found"
        fi
    done
done
echo "installed layout (prefix /usr):"
(cd "$tmp/root_usr" && find . | sort)
