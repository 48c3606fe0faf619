# Sourced by the run and test scripts: installs the Debian packages the
# build needs, and any named as arguments, but only those that are missing.
quorvane_install_deps() {
    local packages=(build-essential cmake pkg-config qtbase5-dev qtmultimedia5-dev libfftw3-dev "$@")
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
