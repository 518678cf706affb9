#!/usr/bin/env bash
# The README's C++ example, taken from the README, built against an installed prefix twice (with
# pkg-config and with the README's CMake file) with every warning an error, and run against
# quorrel-sim: once as it is, once with the controller failing the status word.
set -euo pipefail
trap 'echo "readme_cpp_test: the check at line $LINENO failed" >&2' ERR
build_dir=$1
readme=$2
work=$(mktemp -d)
shared_name="vortlink-readme-cpp-$$"
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" || true; fi
    rm -rf "$work"
    rm -f "/dev/shm/$shared_name" "/dev/shm/$shared_name.init"
    if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
        rm -f "$XDG_RUNTIME_DIR/$shared_name" "$XDG_RUNTIME_DIR/$shared_name.init"
    fi
}
trap cleanup EXIT
prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
test -f "$prefix/include/vortlink.hpp"
libdir=$(dirname "$(find "$prefix" -name 'libvortlink.so' -print -quit)")

# The fenced blocks the README gives for C++ and CMake.
block() { awk -v fence="\`\`\`$1" '$0 == fence {on = 1; next} on && /^```/ {exit} on' "$readme"; }
mkdir "$work/station"
block cpp >"$work/station/station.cpp"
block cmake >"$work/station/CMakeLists.txt"
test "$(wc -l <"$work/station/station.cpp")" -le 20
grep -q 'find_package(vortlink' "$work/station/CMakeLists.txt"

export HOME="$work" XDG_CONFIG_HOME="$work/config" VORTLINK_SHARED_NAME="/$shared_name"
unset LD_LIBRARY_PATH VORTLINK_HID_SIM
cd "$work"
flags=(-Wall -Wextra -Werror)
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046  # pkg-config's words are meant to split
c++ -std=c++17 "${flags[@]}" -o station_pc station/station.cpp \
    $(pkg-config --cflags --libs vortlink)
cmake -S station -B station-build -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    "-DCMAKE_CXX_FLAGS=${flags[*]}" >/dev/null
cmake --build station-build >/dev/null

# The simulator says its ports, then "ready".
coproc sim { exec "$prefix/bin/quorrel-sim" --tcp-port 0 --status-word 0x1234; }
sim_pid=$sim_PID
while read -r -t 10 key value <&"${sim[0]}"; do
    case "$key" in
        tcp-port) tcp_port=$value ;;
        control-port) control_port=$value ;;
        ready) break ;;
    esac
done
mkdir -p "$XDG_CONFIG_HOME/Kestrova/Quorrel"
echo "TCP Port=$tcp_port" >"$XDG_CONFIG_HOME/Kestrova/Quorrel/Command Set Toolkit.conf"

for program in ./station_pc station-build/station; do
    out=$(LD_LIBRARY_PATH="$libdir" "$program" 127.0.0.1)
    echo "$out"
    grep -qx 'firmware QRL-APP 1.04, status word 0x1234' <<<"$out"
    grep -q '^lighthead LH-4400-01, programmed on 10-Apr-2026 9:30, LED group 0 pulses up to 10.00 A$' <<<"$out"
done

# The firmware version is answered, the status word fails with the controller's error 4.
exec 3<>"/dev/tcp/127.0.0.1/$control_port"
for fault in 'delay 0' 'error 4'; do
    echo "$fault" >&3
    read -r reply <&3
    test "${reply%% *}" = ok
done
exec 3<&-
status=0
err=$(LD_LIBRARY_PATH="$libdir" ./station_pc 127.0.0.1 2>&1 >/dev/null) || status=$?
echo "$err"
test "$status" = 1
test "$(head -n 1 <<<"$err")" = "ERROR (4) : Address Out of Range"
test "$(wc -l <<<"$err")" -ge 2
