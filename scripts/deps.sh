# Sourced by the run, test, fuzz and CI scripts.

# The Debian packages the build and its tests need (sndfile-programs: an
# independent reader of the result files).
quorvane_packages=(build-essential cmake pkg-config qtbase5-dev qtmultimedia5-dev libfftw3-dev
    sndfile-programs)

# What the cluster test runs a private single-node Slurm with; the test is
# skipped where these are missing, so only CI installs them.
quorvane_cluster_packages=(slurmctld slurmd slurm-client munge)

# Refreshes the package lists and installs the named packages (through sudo
# when not root).
quorvane_apt_install() {
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "$@"
}

# Installs the packages the build needs, and any named as arguments, but only
# those that are missing.
quorvane_install_deps() {
    local missing=()
    for p in "${quorvane_packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    quorvane_apt_install "${missing[@]}"
}

# What the Windows cross build, its wine tests and its packaging need.
quorvane_windows_packages=(cmake pkg-config xz-utils g++-mingw-w64-x86-64-posix
    gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine nsis zip unzip
    xvfb xdotool imagemagick python3)

# What the Debian package's check (scripts/linux/check-installed) needs:
# CPack's dpkg-shlibdeps, lintian, the desktop-entry and metainfo validators,
# man, an X server for the application's window, and the icons' renderer.
quorvane_linux_package_packages=(dpkg-dev lintian desktop-file-utils appstream man-db xvfb xdotool
    librsvg2-bin)
