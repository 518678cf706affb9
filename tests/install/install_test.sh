#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds a user's C program against it twice:
# with pkg-config and with CMake's find_package. Both must build and run.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
shared_name="vortlink-install-$$"
# The library's shared state of the run goes with the scratch directory, wherever it was kept.
cleanup() {
    rm -rf "$work"
    rm -f "/dev/shm/$shared_name" "/dev/shm/$shared_name.init"
    if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
        rm -f "$XDG_RUNTIME_DIR/$shared_name" "$XDG_RUNTIME_DIR/$shared_name.init"
    fi
}
trap cleanup EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libvortlink.so' | head -n 1)")
test -f "$prefix/include/vortlink.h"
test -f "$prefix/share/vortlink/ecodes.ini"

# Settings and shared state of the run stay inside the scratch directory.
export HOME="$work" XDG_CONFIG_HOME="$work/config" VORTLINK_SHARED_NAME="/$shared_name"
cd "$work"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# The .pc file names the configured prefix; point it at the scratch prefix.
sed -i "s#^prefix=.*#prefix=$prefix#; s#^libdir=.*#libdir=$libdir#; s#^includedir=.*#includedir=$prefix/include#" \
    "$libdir/pkgconfig/vortlink.pc"
cc -std=c11 -Wall -Werror -o consumer_pc "$source_dir/consumer/main.c" \
    $(pkg-config --cflags vortlink) $(pkg-config --libs vortlink)
LD_LIBRARY_PATH="$libdir" ./consumer_pc

cmake -S "$source_dir/consumer" -B "$work/consumer-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/consumer-build/consumer"

# The Python package, installed where Debian's python3 looks, finds the installed library by its
# SONAME and the catalogue installed with it.
test -f "$prefix/lib/python3/dist-packages/vortlink/__init__.py"
LD_LIBRARY_PATH="$libdir" PYTHONPATH="$prefix/lib/python3/dist-packages" VORTLINK_LIBRARY= \
    python3 -c 'import vortlink
assert vortlink.get_dll_version() != 0
assert vortlink.error_name(-10803) == "Network Reply Timeout", vortlink.error_name(-10803)
print("python package:", vortlink.library_path())'
