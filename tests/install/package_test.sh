#!/usr/bin/env bash
# Makes the Debian packages from a build tree with CPack, unpacks them with dpkg-deb -x into an
# empty directory (nothing is installed on the system) and uses them from there as a user would:
# the programs run without LD_LIBRARY_PATH, a C program builds through pkg-config and talks to the
# packaged quorrel-sim, every manual page renders, the menu entry and the metainfo validate, and
# the bash completion completes.
#
# usage: package_test.sh BUILD_DIR
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

source "$source_dir/../support/package_checks.sh"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
major=${version%%.*}
[ -n "$version" ] || { echo "no project version in $build_dir" >&2; exit 1; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# ---- The four packages
(cd "$build_dir" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; exit 1; }
declare -A deb
for package in "libvortlink$major" libvortlink-dev quorrel-tools quorrel-loader; do
    deb[$package]=$(ls "$work/out/${package}_${version}_"*.deb 2>/dev/null || true)
    [ -n "${deb[$package]}" ] || { echo "no package $package $version" >&2; ls "$work/out" >&2; exit 1; }
    check "$package is named $package, version $version" \
        test "$(dpkg-deb -f "${deb[$package]}" Package Version | tr '\n' ' ')" \
        = "Package: $package Version: $version "
done
lib_package=libvortlink$major

depends_of() { dpkg-deb -f "${deb[$1]}" Depends; }
check "quorrel-tools depends on $lib_package ($version) and libc6" \
    bash -c '[[ "$1" == *"'"$lib_package"' (= '"$version"')"* && "$1" == *libc6* ]]' _ "$(depends_of quorrel-tools)"
check "quorrel-loader depends on $lib_package and Qt 6 Widgets" \
    bash -c '[[ "$1" == *"'"$lib_package"' (= '"$version"')"* && "$1" == *libqt6widgets6* ]]' _ "$(depends_of quorrel-loader)"
check "libvortlink-dev depends on $lib_package" \
    bash -c '[[ "$1" == *"'"$lib_package"' (= '"$version"')"* ]]' _ "$(depends_of libvortlink-dev)"
dpkg-deb -e "${deb[$lib_package]}" "$work/control"
check "$lib_package has a shlibs file for libvortlink.so.$major" \
    grep -qx "libvortlink $major $lib_package (>= $version)" "$work/control/shlibs"
check "$lib_package has a symbols file naming tkcmdset_status" \
    grep -qx " tkcmdset_status@Base [0-9.]*" "$work/control/symbols"
check "$lib_package activates the ldconfig trigger" \
    grep -qx "activate-noawait ldconfig" "$work/control/triggers"

# Each file in the package it belongs to.
in_package() { # in_package PACKAGE PATH...
    local package=$1 listing
    shift
    listing=$(dpkg-deb -c "${deb[$package]}" | awk '{print $6}')
    for path in "$@"; do
        check "$package holds $path" grep -qxF "./$path" <<<"$listing"
    done
}
libdir=usr/lib/$multiarch
in_package "$lib_package" "$libdir/libvortlink.so.$major" usr/share/vortlink/ecodes.ini \
    usr/lib/udev/rules.d/70-quorrel.rules
in_package libvortlink-dev usr/include/vortlink.h "$libdir/libvortlink.so" \
    "$libdir/pkgconfig/vortlink.pc" "$libdir/cmake/vortlink/vortlinkConfig.cmake" \
    usr/share/man/man3/vortlink.3.gz
in_package quorrel-tools usr/bin/quorrelctl usr/bin/quorrel-sim usr/share/man/man1/quorrelctl.1.gz \
    usr/share/man/man1/quorrel-sim.1.gz usr/share/bash-completion/completions/quorrelctl
in_package quorrel-loader usr/bin/QuorrelLoader usr/share/man/man1/QuorrelLoader.1.gz \
    usr/share/applications/com.kestrova.QuorrelLoader.desktop \
    usr/share/metainfo/com.kestrova.QuorrelLoader.metainfo.xml \
    usr/share/icons/hicolor/64x64/apps/com.kestrova.QuorrelLoader.png
for package in "${!deb[@]}"; do
    in_package "$package" "usr/share/doc/$package/copyright" "usr/share/doc/$package/changelog.gz"
done

# ---- Unpacked, not installed
root=$work/root
mkdir "$root"
for package in "${!deb[@]}"; do
    dpkg-deb -x "${deb[$package]}" "$root"
done
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" VORTLINK_SHARED_NAME="/vortlink-package-$$"
mkdir -p "$HOME"
cd "$HOME"
unset LD_LIBRARY_PATH

check "usr/bin/quorrelctl --version says $version" \
    test "$("$root/usr/bin/quorrelctl" --version)" = "quorrelctl $version"
check "usr/bin/quorrel-sim --version says $version" \
    test "$("$root/usr/bin/quorrel-sim" --version)" = "quorrel-sim $version"
check "usr/bin/QuorrelLoader --version says $version without a display" \
    test "$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/QuorrelLoader" --version)" = "QuorrelLoader $version"
check "quorrelctl finds the unpacked library through its RUNPATH" \
    grep -q "libvortlink.so.$major => $root/usr/bin/../lib/$multiarch/libvortlink.so.$major" \
    <(ldd "$root/usr/bin/quorrelctl")
check "programs are stripped" \
    bash -c '! file -L "$@" | grep -q "not stripped"' _ "$root"/usr/bin/* "$root/$libdir/libvortlink.so.$major"

# A user's C program, built with pkg-config pointed into the unpacked tree.
export PKG_CONFIG_PATH="$root/$libdir/pkgconfig"
check "pkg-config --modversion vortlink says $version" \
    test "$(pkg-config --modversion vortlink)" = "$version"
check "pkg-config's prefix is the unpacked usr" \
    test "$(realpath "$(pkg-config --variable=prefix vortlink)")" = "$root/usr"
pc_libdir=$(pkg-config --variable=libdir vortlink)
cc -std=c11 -Wall -Werror -o sim_client "$source_dir/consumer/sim_client.c" \
    $(pkg-config --cflags vortlink) $(pkg-config --libs vortlink) -Wl,-rpath,"$pc_libdir"

start_quorrel_sim "$work/sim.out" "$root/usr/bin/quorrel-sim" --tcp-port 0 --status-word 0x2A5C
mkdir -p "$XDG_CONFIG_HOME/Kestrova/Quorrel"
printf 'TCP Port=dword:%08x\n' "$sim_port" >"$XDG_CONFIG_HOME/Kestrova/Quorrel/Command Set Toolkit.conf"
./sim_client 127.0.0.1 >"$work/client.out" || { cat "$work/client.out" >&2; fail "sim_client ran"; }
check_sim_client "$work/client.out" "$version"
check "quorrelctl status talks to quorrel-sim" \
    test "$("$root/usr/bin/quorrelctl" --tcp 127.0.0.1 status)" = "Status word: 0x2A5C"

# ---- Manual pages
for page in man1/quorrelctl.1 man1/quorrel-sim.1 man1/QuorrelLoader.1 man3/vortlink.3; do
    file=$root/usr/share/man/$page.gz
    name=$(basename "$page")
    name=${name%.*}
    MANWIDTH=100 man -l "$file" 2>"$work/man.err" | col -b >"$work/$name.txt" || true
    check "man -l $page renders its NAME line" grep -q "^ *$name - " "$work/$name.txt"
    check "man -l $page renders its SYNOPSIS" grep -qx "SYNOPSIS" "$work/$name.txt"
    check "man -l $page renders without warnings" \
        bash -c '! MANWIDTH=100 man --warnings -l "$1" 2>&1 >/dev/null | grep .' _ "$file"
done
for text in "EXIT STATUS" ENVIRONMENT VORTLINK_TRACE VORTLINK_HID_SIM "--version" "--tcp"; do
    check "quorrelctl(1) tells $text" grep -q -- "$text" "$work/quorrelctl.txt"
done
subcommands=$("$root/usr/bin/quorrelctl" --help | awk '/^Subcommands:/ {on = 1; next} /^$/ {on = 0} on {print $1}')
[ -n "$subcommands" ] || fail "quorrelctl --help lists subcommands"
for command in $subcommands; do
    check "quorrelctl(1) names the command $command" grep -qw -- "$command" "$work/quorrelctl.txt"
done
check "quorrelctl(1) tells the options of each command" \
    bash -c 'grep -q "^ *quorrelctl mfg write \[OPTIONS\]" "$1" && grep -q -- "--serial-number TEXT" "$1"' \
    _ "$work/quorrelctl.txt"
check "QuorrelLoader(1) tells --screenshot and its exit status" \
    bash -c 'grep -q -- --screenshot "$1" && grep -q "EXIT STATUS" "$1"' _ "$work/QuorrelLoader.txt"
check "quorrel-sim(1) tells --hid-socket" grep -q -- --hid-socket "$work/quorrel-sim.txt"
for symbol in $(nm -D --defined-only "$root/$libdir/libvortlink.so.$major" | awk '{print $3}'); do
    grep -qw "$symbol" "$work/vortlink.txt" || fail "vortlink(3) names $symbol"
done

# ---- Desktop entry, icon, metainfo
desktop=$root/usr/share/applications/com.kestrova.QuorrelLoader.desktop
check "desktop-file-validate accepts the menu entry" desktop-file-validate "$desktop"
check "the menu entry starts usr/bin/QuorrelLoader" \
    test -x "$root/usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
icon=$(sed -n 's/^Icon=//p' "$desktop")
check "the menu entry's icon is a PNG in the hicolor theme" \
    bash -c 'file "$1" | grep -q "PNG image data, 64 x 64"' _ "$root/usr/share/icons/hicolor/64x64/apps/$icon.png"
metainfo=$root/usr/share/metainfo/com.kestrova.QuorrelLoader.metainfo.xml
check "appstreamcli validate accepts the metainfo" appstreamcli validate --no-net "$metainfo"
check "the metainfo launches the menu entry and names release $version" \
    bash -c 'grep -q "<launchable type=\"desktop-id\">$(basename "$2")</launchable>" "$1" &&
             grep -q "<release version=\"$3\"" "$1"' _ "$metainfo" "$desktop" "$version"

# ---- Bash completion
completes() { # completes EXPECTED WORDS...: the candidates for the last word, sorted
    local expected=$1
    shift
    local got
    got=$(bash -c 'source "$1"; shift; COMP_WORDS=(quorrelctl "$@"); COMP_CWORD=$#; _quorrelctl
                   printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' \
          _ "$root/usr/share/bash-completion/completions/quorrelctl" "$@")
    check "completion of 'quorrelctl $*' is '$expected'" test "$got" = "$expected "
}
completes "$(printf '%s\n' $subcommands | sort | tr '\n' ' ' | sed 's/ $//')" ""
completes "show write" mfg ""
completes "loader" reset lo
completes "--tcp --tcp-list" --tc
completes "--serial-number" --usb 0 mfg write --serial
completes "MED-FAST MED-SLOW" config write --slew M
completes 'Timing\ Bypass' config write --mode Tim

finish "all package checks passed"
