# Shared by scripts/run, scripts/test and scripts/fuzz: installs what the build needs on a
# Debian 12 machine and builds.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Every package is named here, never left to a recommendation: the scripts install with
# --no-install-recommends, so a package that is only recommended would be missing on a fresh
# machine.
# What scripts/run needs: the build without tests, and a virtual X server for QuorrelLoader;
# quorrelctl wait learns of USB devices from libudev, found through pkg-config.
run_packages=(cmake ninja-build g++ qt6-base-dev libcli11-dev nlohmann-json3-dev xvfb xauth
              pkg-config libudev-dev)
# What scripts/fuzz needs on top: clang and its runtime libraries (libFuzzer, the sanitizers),
# which clang only recommends. Debian 12's clang is clang 14.
fuzz_packages=("${run_packages[@]}" clang libclang-rt-14-dev)
# What scripts/test (and scripts/bench, which builds the tests too) needs on top: the test
# frameworks, pkg-config for the install test, srec_cat for the firmware fixtures and umockdev for
# the hidraw backend on emulated device nodes, python3 and pytest for the Python package; the
# package test unpacks the packages CPack makes (dpkg-dev, file) with their manual pages
# (help2man, man-db), bash completion (python3), menu entry (desktop-file-utils) and metainfo
# (appstream).
test_packages=("${fuzz_packages[@]}" pkg-config libgtest-dev libgmock-dev libbenchmark-dev srecord
               umockdev libumockdev-dev python3 python3-pytest
               help2man dpkg-dev file man-db desktop-file-utils appstream)
# What scripts/windows (a step of scripts/test) needs on top of the test suite's: the mingw-w64 cross
# compilers, Wine to run what they make, GoogleTest's sources to build it for Windows, and wixl
# and msitools for the test of the Windows packages.
windows_packages=("${test_packages[@]}" mingw-w64 wine64 googletest wixl msitools)
# What scripts/package needs on top of the build: help2man for the manual pages, python3 for the
# bash completion, dpkg-dev and file for CPack's dpkg-shlibdeps, lintian to judge the packages.
package_packages=("${run_packages[@]}" help2man python3 python3-pip python3-setuptools dpkg-dev file lintian)
# ...and for the Windows packages: the cross compiler, Wine to run the catalogue generator the
# build makes, wixl and msitools to make the MSI.
windows_package_packages=(mingw-w64 wine64 wixl msitools)

install_missing_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing Debian packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Need root (or sudo) to install: ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q || true
    # Another installation running meanwhile (unattended upgrades) holds the lock for a while.
    "${sudo[@]}" apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 \
        "${missing[@]}"
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
    local build_dir=$1
    shift
    cmake -S "$repo_root" -B "$build_dir" -G Ninja "$@" >/dev/null &&
        cmake --build "$build_dir" -j "$(nproc)"
}

# remove_shared_objects NAME: the library's shared state of VORTLINK_SHARED_NAME=NAME (the block
# and its .init guard), wherever it was kept. The last process to leave normally removes them;
# this catches what a killed process left behind.
remove_shared_objects() {
    local name=${1#/}
    local directory
    for directory in /dev/shm ${XDG_RUNTIME_DIR:+"$XDG_RUNTIME_DIR"}; do
        rm -f "$directory/$name" "$directory/$name.init"
    done
}

# start_wine_prefix DIR: Windows programs run under Wine with Wine's state inside DIR (the prefix
# DIR/wineprefix and the XDG folders), without a display, a menu builder or the .NET and HTML
# installers. Sets wine and wineserver (Debian 12 keeps them in /usr/lib/wine, off the PATH) and
# starts a persistent server and one program with their output elsewhere: Wine's services then
# start here, not inside a build step or a test whose output pipe they would hold open.
start_wine_prefix() {
    wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
    wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
    export WINEPREFIX="$1/wineprefix" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export XDG_CONFIG_HOME="$1/xdg/config" XDG_DATA_HOME="$1/xdg/data" XDG_CACHE_HOME="$1/xdg/cache"
    unset DISPLAY
    mkdir -p "$WINEPREFIX"
    "$wineserver" -p >/dev/null 2>&1 || true # one already running is kept
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
}
