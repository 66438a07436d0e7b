#!/usr/bin/env bash
# The Debian package, in steps sharing one directory (a CTest fixture):
#   build    cpack -G DEB into DIR
#   contents dpkg-deb -I / -c and the expected files and metadata
#   lintian  lintian, which must report no errors
#   clean    removes DIR
# Usage: deb_package.sh STEP BUILD_DIR DIR
set -euo pipefail
step=$1
build=$2
dir=$3

fail() { echo "FAIL: $*" >&2; exit 1; }
deb() { ls "$dir"/qrngd_*.deb 2>/dev/null | head -n 1; }
# The later steps need the package; without dpkg-dev it was not built.
built_deb() {
    [ -n "$(deb)" ] && return 0
    command -v dpkg-shlibdeps >/dev/null || { echo "SKIP: no package: dpkg-dev not installed"; exit 77; }
    fail "no package built"
}

case $step in
build)
    command -v dpkg-shlibdeps >/dev/null || { echo "SKIP: dpkg-shlibdeps not installed (Debian package dpkg-dev)"; exit 77; }
    rm -rf "$dir"
    mkdir -p "$dir"
    # The build's package configuration, installing through the install script:
    # cpack's own "preinstall" build step would rebuild the tree under the tests.
    cat >"$dir/config.cmake" <<EOF
include("$build/CPackConfig.cmake")
set(CPACK_INSTALL_CMAKE_PROJECTS "")
set(CPACK_INSTALL_SCRIPTS "$dir/install.cmake")
EOF
    cat >"$dir/install.cmake" <<EOF
set(CMAKE_INSTALL_COMPONENT daemon)
set(CMAKE_INSTALL_DO_STRIP 1)
include("$build/cmake_install.cmake")
EOF
    cpack -G DEB --config "$dir/config.cmake" -B "$dir" >"$dir/cpack.log" 2>&1 \
        || { cat "$dir/cpack.log"; fail "cpack -G DEB"; }
    rm -rf "$dir/_CPack_Packages"
    [ -n "$(deb)" ] || fail "no package in $dir"
    echo "built $(basename "$(deb)")"
    ;;
contents)
    built_deb
    pkg=$(deb)
    dpkg-deb -I "$pkg"
    dpkg-deb -c "$pkg"
    info=$(dpkg-deb -I "$pkg")
    for field in Package Version Architecture Maintainer Section Priority Depends Description; do
        grep -q "^ $field: ." <<<"$info" || fail "control field $field missing"
    done
    grep -q '^ Depends: .*libc6' <<<"$info" || fail "dependencies not found by shlibdeps"
    files=$(dpkg-deb -c "$pkg" | awk '{print $6}')
    for f in ./usr/sbin/qrngd ./usr/share/man/man8/qrngd.8.gz ./usr/lib/systemd/system/qrngd@.service \
             ./usr/lib/systemd/system/qrngd-fifo@.socket ./usr/lib/systemd/system/qrngd-fifo@.service \
             ./usr/share/doc/qrngd/copyright ./usr/share/doc/qrngd/changelog.gz; do
        grep -qx "$f" <<<"$files" || fail "$f not in the package"
    done
    ! grep -Eq 'qrngd-sim|qrng-verify|/include/|\.a$' <<<"$files" || fail "the package carries more than the daemon"
    grep -q '^ExecStart=/usr/sbin/qrngd ' <<<"$(dpkg-deb --fsys-tarfile "$pkg" | tar -xO ./usr/lib/systemd/system/qrngd@.service)" \
        || fail "the packaged unit does not start /usr/sbin/qrngd"
    ;;
lintian)
    command -v lintian >/dev/null || { echo "SKIP: lintian not installed (Debian package lintian)"; exit 77; }
    built_deb
    pkg=$(deb)
    # Errors fail the test; warnings and notes are shown.
    set +e
    out=$(lintian --fail-on error --display-info "$pkg" 2>&1)
    status=$?
    set -e
    echo "$out" | grep -v 'running with root privileges' || true
    [ $status -eq 0 ] || fail "lintian reports errors"
    echo "lintian: no errors"
    ;;
clean)
    rm -rf "$dir"
    ;;
*)
    fail "unknown step $step"
    ;;
esac
