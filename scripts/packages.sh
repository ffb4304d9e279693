# Reads the package lists. A mirror in the middle of a sync serves index files that do not match
# its Release file ("File has unexpected size ... Mirror sync in progress?"): tried three times,
# then the install goes on with the lists that did come, and fails by itself if what it needs is
# not in them.
apt_update() {
    local try
    for try in 1 2 3; do
        apt-get update -qq && return 0
        [ "$try" = 3 ] || sleep 15
    done
    echo "warning: apt-get update failed three times; installing from the package lists it has" >&2
}

# Whether package $1 is installed: a bare name for this machine's architecture (or one for all), a
# name with :arch for that one. A bare name alone would also match another architecture's copy,
# such as qtbase5-dev:armhf after a cross build, and the native build would lack its files.
installed() {
    case "$1" in
        *:*) dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'ok installed' ;;
        *) dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
            grep -qE "ok installed ($(dpkg --print-architecture)|all)\$" ;;
    esac
}

# Installs the Debian packages named in "$@" that are missing (sourced by the other scripts).
install_missing() {
    local missing=()
    for p in "$@"; do
        installed "$p" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt_update
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# The tests also run Prometheus' own tools: promtool (in prometheus) checks the figures of
# stm-status --prometheus, and a node_exporter of their own serves them. stm-status writes
# captures with libpcap, and tshark reads them with the dissector (installed without asking:
# its capture group is not set up). A host's GStreamer pipelines, as the README gives them, play
# into a call and record it (gst-launch-1.0; udpsink, udpsrc, wavparse, wavenc in plugins-good).
build_packages=(cmake g++ make pkg-config qtbase5-dev libgpiod-dev libgtest-dev librapidcheck-dev
    prometheus prometheus-node-exporter libpcap-dev tshark gstreamer1.0-tools
    gstreamer1.0-plugins-good)
# With STM_QT=6 the build takes Qt 6 instead (its Core and Network come with qt6-base-dev).
if [ "${STM_QT:-}" = 6 ]; then
    build_packages=("${build_packages[@]/#qtbase5-dev/qt6-base-dev}")
fi

# What differs between the Debian releases the scripts run on (12 and 13), after this machine's:
# the run-time libraries the package depends on (Debian 13 renamed Qt's and libpcap's for its
# 64-bit time and has libgpiod 2 as libgpiod3), qemu-user (Debian 13's is static itself, named
# qemu-arm, and registers with binfmt_misc through qemu-user-binfmt), and where the package puts
# its udev rule and systemd units (/lib on Debian 12; Debian 13 has them in /usr/lib, /lib only
# an alias).
debian_release=$(. /etc/os-release && echo "${VERSION_ID:-}")
if [ "$debian_release" = 12 ]; then
    runtime_packages=(libqt5core5a libqt5network5 libgpiod2 libpcap0.8)
    qemu_packages=(qemu-user-static) qemu_suffix=-static
    system_lib=/lib
else
    runtime_packages=(libqt5core5t64 libqt5network5t64 libgpiod3 libpcap0.8t64)
    qemu_packages=(qemu-user qemu-user-binfmt) qemu_suffix=
    system_lib=/usr/lib
fi

# What a cross build for the Debian architecture $1 needs (scripts/cross; scripts/package, whose
# build of it may be older than a library the build now takes).
cross_packages=(cmake make pkg-config file qtbase5-dev-tools "${qemu_packages[@]}")
cross_target_packages=(crossbuild-essential- qtbase5-dev: libgpiod-dev: libgtest-dev: libpcap-dev:)
install_cross() {
    install_missing "${cross_packages[@]}" "${cross_target_packages[@]/%/$1}"
}

# Whether apt could install what a cross build for $1 needs, from the package lists it gets now.
# A library the machine has from the security archive must come at the same version for $1
# (Multi-Arch: same); a mirror whose index for $1 there does not match its Release file leaves
# only older ones, and nothing fits. The architecture goes again when it was added for the
# question alone and nothing fits, so that later updates do not stumble over its index.
cross_installable() {
    local added=
    if ! dpkg --print-foreign-architectures | grep -qx "$1"; then
        dpkg --add-architecture "$1"
        added=1
    fi
    apt_update
    if apt-get install -s -qq --no-install-recommends "${cross_packages[@]}" \
        "${cross_target_packages[@]/%/$1}" >/dev/null 2>&1; then
        return 0
    fi
    [ -z "$added" ] || dpkg --remove-architecture "$1"
    return 1
}
