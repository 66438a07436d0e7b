# Shared by the project's scripts: installs missing Debian packages, builds a tree.
# Sourced, not run.

# ensure_packages PKG...: installs the missing ones with apt-get when running as
# root; otherwise names them and stops.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]}" >&2
        echo "Install them first:  sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing missing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_tree DIR [CMAKE ARGS...]: configures and builds the project in DIR.
build_tree() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -DQRNGD_WERROR=ON "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j "$(nproc)"
}

BUILD_PACKAGES=(cmake make g++ libgtest-dev libsystemd-dev)
# The metrics file's tests: promtool checks its format, node_exporter serves it.
TEST_PACKAGES=(prometheus prometheus-node-exporter)
# The installation and packaging tests: manual page lint, unit verification,
# the Debian package (cpack's shlibdeps) and its check.
PACKAGING_PACKAGES=(mandoc systemd dpkg-dev lintian)
