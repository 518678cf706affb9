#!/usr/bin/env bash
# Installs the build into a scratch prefix, then uses it as a user would: the installed programs
# run without LD_LIBRARY_PATH, pkg-config answers with paths inside the prefix, and a user's C
# program builds against it twice, with pkg-config and with CMake's find_package.
set -euo pipefail
trap 'echo "install_test: the check at line $LINENO failed" >&2' ERR
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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
library=$(find "$prefix" -name "libvortlink.so.${version%%.*}")
libdir=$(dirname "$library")
test -f "$prefix/include/vortlink.h"
test -f "$prefix/share/vortlink/ecodes.ini"
test -f "$libdir/pkgconfig/vortlink.pc"

# Settings and shared state of the run stay inside the scratch directory.
export HOME="$work" XDG_CONFIG_HOME="$work/config" VORTLINK_SHARED_NAME="/$shared_name"
cd "$work"
unset LD_LIBRARY_PATH

# The programs find the library through their RUNPATH, relative to themselves.
test "$("$prefix/bin/quorrelctl" --version)" = "quorrelctl $version"
test "$("$prefix/bin/quorrel-sim" --version)" = "quorrel-sim $version"
# (Output is taken whole before grep looks at it: grep -q leaving early would fail the pipe.)
resolved=$(ldd "$prefix/bin/quorrelctl")
grep -q "libvortlink.so.[0-9]* => $prefix/bin/../" <<<"$resolved"
dynamic=$(readelf -d "$prefix/bin/quorrelctl")
grep -q 'RUNPATH.*\[\$ORIGIN/\.\./' <<<"$dynamic"
# The library itself needs none.
dynamic=$(readelf -d "$library")
if grep -q 'R.*PATH' <<<"$dynamic"; then
    echo "$library has a search path of its own" >&2
    exit 1
fi

export PKG_CONFIG_PATH="$libdir/pkgconfig"
test "$(pkg-config --modversion vortlink)" = "$version"
for variable in prefix includedir libdir; do
    resolved=$(realpath "$(pkg-config --variable=$variable vortlink)")
    case "$resolved" in
        "$prefix" | "$prefix"/*) ;;
        *) echo "pkg-config's $variable is $resolved, outside $prefix" >&2; exit 1 ;;
    esac
done
test "$(realpath "$(pkg-config --variable=includedir vortlink)")" = "$prefix/include"
test "$(realpath "$(pkg-config --variable=libdir vortlink)")" = "$libdir"
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
