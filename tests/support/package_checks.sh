# Shell helpers of the package tests (sourced): counted checks, a quorrel-sim in the background,
# and what a user's C program (tests/install/consumer/sim_client.c) prints against it.
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
not() { ! "$@"; } # check "..." not COMMAND...
# start_quorrel_sim OUTPUT PROGRAM [ARGS...]: sets sim_pid, and sim_port once the simulator is ready.
start_quorrel_sim() {
    local output=$1
    shift
    "$@" >"$output" &
    sim_pid=$!
    for _ in $(seq 100); do
        grep -q '^ready' "$output" 2>/dev/null && break
        kill -0 "$sim_pid" 2>/dev/null || { echo "quorrel-sim did not start" >&2; exit 1; }
        sleep 0.1
    done
    sim_port=$(sed -n 's/^tcp-port \([0-9]*\)$/\1/p' "$output")
}
# check_sim_client OUTPUT VERSION: sim_client's lines against a quorrel-sim with status word 0x2A5C.
check_sim_client() {
    local output=$1 major=${2%%.*} minor=${2#*.}
    minor=$(printf %02d "${minor%%.*}")
    check "the C program reads the library version word $major.$minor" \
        grep -qx "library $major.$minor" "$output"
    check "the C program reads quorrel-sim's status word" grep -qx "status word 0x2A5C" "$output"
    check "the library finds the catalogue installed with it" \
        grep -qx "catalogue -10803: Network Reply Timeout" "$output"
}
# finish MESSAGE: exits non-zero when a check failed, else says MESSAGE.
finish() {
    [ "$failures" -eq 0 ] || { echo "$failures checks failed" >&2; exit 1; }
    echo "$1"
}
