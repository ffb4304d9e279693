# Installs the Debian packages named in "$@" that are missing (sourced by the other scripts).
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# The tests also run Prometheus' own tools: promtool (in prometheus) checks the figures of
# stm-status --prometheus, and a node_exporter of their own serves them. stm-status writes
# captures with libpcap, and tshark reads them with the dissector (installed without asking:
# its capture group is not set up).
build_packages=(cmake g++ make pkg-config qtbase5-dev libgpiod-dev libgtest-dev librapidcheck-dev
    prometheus prometheus-node-exporter libpcap-dev tshark)
