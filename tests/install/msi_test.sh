#!/usr/bin/env bash
# Makes the Windows packages of a Windows build and reads them with msitools; under Wine, installs
# the MSI and uses it as a user would, installs the next release over it, and removes it.
# usage: msi_test.sh WINDOWS_BUILD_DIR [QUORREL_SIM], the native simulator (default $QUORREL_SIM)
set -euo pipefail
build_dir=$(realpath "$1")
sim=${2:-${QUORREL_SIM:?"no native quorrel-sim given"}}
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    "${wineserver:-true}" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
source "$source_dir/../support/package_checks.sh"
source "$source_dir/../../scripts/common.sh" # start_wine_prefix

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build_dir" >&2; exit 1; }
minor=${version#*.}
next=${version%%.*}.$((${minor%%.*} + 1)).0
for release in "$version" "$next"; do
    cmake -DBUILD_DIR="$build_dir" -DOUTPUT_DIR="$work/out" -DWORK_DIR="$work/package-$release" \
          -DVERSION="$release" -P "$source_dir/../../packaging/windows/package.cmake" >/dev/null
done
msi=$work/out/vortlink-$version-x64.msi
next_msi=$work/out/vortlink-$next-x64.msi

# ---- The package as msitools read it
installed_files=(bin/vortlink.dll bin/ecodes.ini bin/quorrelctl.exe bin/vortlink-hello.exe
                 include/vortlink.h include/vortlink.hpp lib/libvortlink.dll.a lib/vortlink.def
                 lib/pkgconfig/vortlink.pc lib/cmake/vortlink/vortlinkConfig.cmake
                 lib/cmake/vortlink/vortlinkConfigVersion.cmake lib/cmake/vortlink/vortlinkTargets.cmake
                 README.md LICENSE.txt)
file_table=$(msiinfo export "$msi" File | cut -f 3)
msiextract -C "$work/extracted" "$msi" >/dev/null
mkdir "$work/unzipped"
(cd "$work/unzipped" && cmake -E tar xf "$work/out/vortlink-$version-x64.zip")
for path in "${installed_files[@]}"; do
    check "the File table lists $(basename "$path")" grep -qxF "$(basename "$path")" <<<"$file_table"
    check "msiextract puts Quorrel/$path" test -f "$work/extracted/Quorrel/$path"
    check "the zip holds $path" test -f "$work/unzipped/vortlink-$version-x64/$path"
done
check "nothing Linux-only is packaged" not grep -qE 'udev|\.rules$|\.so|\.[1-9](\.gz)?$|\.py$' <<<"$file_table"
property() { msiinfo export "$1" Property | sed -n "s/^$2\t//p" | tr -d '\r'; }
for row in "ProductVersion $version" "Manufacturer Kestrova" "ProductName Quorrel Controller Software" \
           "ALLUSERS 1"; do # ALLUSERS 1: per machine
    check "the property ${row%% *} is ${row#* }" test "$(property "$msi" "${row%% *}")" = "${row#* }"
done
check "releases share the UpgradeCode" test "$(property "$msi" UpgradeCode)" = "$(property "$next_msi" UpgradeCode)"
check "each release has its own ProductCode" test "$(property "$msi" ProductCode)" != "$(property "$next_msi" ProductCode)"
check "the Environment table appends bin to the machine's PATH and removes it with the product" \
    grep -qP '\t=-\*PATH\t\[~\];\[INSTALLDIR\]bin\t' <(msiinfo export "$msi" Environment)
check "the Upgrade table finds older releases" grep -qP "^\{.*\}\t\t$version\t" <(msiinfo export "$msi" Upgrade)

# ---- Under Wine, in a prefix of the test's own
start_wine_prefix "$work"
mkdir -p "$work/home"
run() { "$wine" "$@" | tr -d '\r'; } # a Windows program, its output with Unix line ends
run_into() { local file=$1; shift; run "$@" >"$file"; }
machine_path() { run reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH; }
registered() { run reg query "HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\\$(property "$1" ProductCode)" &>/dev/null; }
program_files=$WINEPREFIX/drive_c/Program\ Files/Quorrel
cd "$work/home"

check "msiexec /i installs the package" "$wine" msiexec /i "$msi" /qn
for path in "${installed_files[@]}"; do
    check "$path is installed" test -f "$program_files/$path"
done
check "bin is on the machine's PATH" grep -qF 'C:\Program Files\Quorrel\bin' <(machine_path)
check "quorrelctl.exe from the PATH says $version" test "$(run quorrelctl.exe --version)" = "quorrelctl $version"
start_quorrel_sim "$work/sim.out" "$sim" --tcp-port 0 --status-word 0x2A5C
run reg add 'HKCU\Software\Kestrova\Quorrel\Command Set Toolkit' /v "TCP Port" /t REG_DWORD /d "$sim_port" /f >/dev/null
check "quorrelctl.exe from the PATH talks to native quorrel-sim" \
    test "$(run quorrelctl.exe --tcp 127.0.0.1 status)" = "Status word: 0x2A5C"

# A user's C program, built with mingw through the installed pkg-config file alone; pkg-config
# escapes the blank of "Program Files" for a shell to read.
export PKG_CONFIG_LIBDIR="$program_files/lib/pkgconfig" PKG_CONFIG_PATH=
eval "pc_prefix=$(pkg-config --variable=prefix vortlink)"
check "pkg-config's prefix is the installed tree" test "$(realpath "$pc_prefix")" = "$(realpath "$program_files")"
check "a C program builds with mingw against the installed include and lib" \
    eval x86_64-w64-mingw32-gcc -std=c11 -Wall -Werror -o sim_client.exe '"$source_dir/consumer/sim_client.c"' \
    "$(pkg-config --cflags --libs vortlink)"
check "the C program runs, finding vortlink.dll on the PATH" run_into "$work/client.out" sim_client.exe 127.0.0.1
check_sim_client "$work/client.out" "$version"
check "a CMake project builds with mingw against the installed package (find_package)" \
    bash -c 'cmake -S "$1/consumer" -B consumer -G Ninja -Dvortlink_DIR="$2/lib/cmake/vortlink" \
             -DCMAKE_TOOLCHAIN_FILE="$1/../../cmake/toolchains/mingw-w64-x86_64.cmake" >/dev/null &&
             cmake --build consumer >/dev/null' _ "$source_dir" "$program_files"
check "the program CMake built runs" run_into "$work/consumer.out" consumer/consumer.exe

check "msiexec /i installs release $next over $version" "$wine" msiexec /i "$next_msi" /qn
check "release $next is installed after the upgrade" registered "$next_msi"
check "release $version is not installed after the upgrade" not registered "$msi"
check "the PATH holds bin once after the upgrade" \
    test "$(machine_path | grep -oF 'C:\Program Files\Quorrel\bin' | wc -l)" = 1
check "msiexec /x removes the package" "$wine" msiexec /x "$next_msi" /qn
check "no file is left under Program Files/Quorrel" test -z "$(find "$program_files" -type f 2>/dev/null)"
check "no product of ours is left" not registered "$next_msi"
check "the PATH entry is gone" not grep -qF Quorrel <<<"$(machine_path)"
finish "all Windows package checks passed"
