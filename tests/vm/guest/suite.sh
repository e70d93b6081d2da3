#!/bin/sh
# The emulated-PC suite: runs every file of checks.d in name order and prints one line per
# check ("KVT: PASS name: detail" or "KVT: FAIL name: detail"). Exits 1 when any failed.
# The machine's name (q35 or pc) comes from the kernel command line (kvt.machine=NAME).
MACHINE=$(sed -n 's/.*kvt\.machine=\([a-z0-9]*\).*/\1/p' /proc/cmdline)
CHECKS=${CHECKS:-/korvanta/checks.d}
failures=0
cli() { korvanta-cli "$@"; }

pass() { echo "KVT: PASS $1: $2"; }
skip() { echo "KVT: SKIP $1: $2"; }
fail() { echo "KVT: FAIL $1: $2"; failures=$((failures + 1)); }
# Every line is "KVT: PASS|FAIL|SKIP name: detail"; SKIP only where the emulated machine
# cannot show the behaviour at all (the reason is the detail).
# check NAME DETAIL CONDITION...: passes when the condition command succeeds.
check() {
    name=$1 detail=$2
    shift 2
    if "$@"; then pass "$name" "$detail"; else fail "$name" "$detail"; fi
}
# expect NAME EXPECTED COMMAND...: the command succeeds and prints exactly EXPECTED.
expect() {
    name=$1 want=$2
    shift 2
    got=$("$@" 2>&1)
    if [ $? -eq 0 ] && [ "$got" = "$want" ]; then
        pass "$name" "$* = $got"
    else
        fail "$name" "$* gave '$got', expected '$want'"
    fi
}
# refused NAME COMMAND...: the command fails with a message and prints nothing on stdout.
refused() {
    name=$1
    shift
    out=$("$@" 2>/tmp/refused.err)
    rc=$?
    msg=$(head -n 1 /tmp/refused.err)
    if [ $rc -ne 0 ] && [ -z "$out" ] && [ -n "$msg" ]; then
        pass "$name" "$* refused: $msg"
    else
        fail "$name" "$* gave status $rc, output '$out'"
    fi
}
# program COMMAND...: a program that prints its own "PASS|FAIL name: detail" lines; their
# names get $prefix in front when set.
prefix=
program() {
    "$@" >/tmp/program.out 2>&1
    rc=$?
    sed "s/^\(PASS\|FAIL\) /KVT: \1 $prefix/" /tmp/program.out
    n=$(grep -c '^FAIL' /tmp/program.out)
    [ $rc -ne 0 ] && [ "$n" -eq 0 ] && fail "$1" "$* ended with status $rc"
    failures=$((failures + n))
}
# Starts the host daemon (extra options as given), stopping any running one first.
daemon() {
    korvanta-driver --stop >/dev/null 2>&1
    korvanta-driver --detach "$@"
}
# The whole sysfs configuration file of a function (0000:BB:DD.F) as hexadecimal dwords.
sysfs_dword() {  # sysfs_dword FUNCTION OFFSET(decimal)
    dd if="/sys/bus/pci/devices/$1/config" bs=4 skip=$(($2 / 4)) count=1 2>/dev/null |
        od -A n -t x4 | tr -d ' ' | tr a-f A-F
}

echo "KVT: machine $MACHINE, $(nproc) processors, kernel $(uname -r)"
daemon || fail driver-start "korvanta-driver --detach failed"
for file in "$CHECKS"/*.sh; do
    . "$file"
done
korvanta-driver --stop >/dev/null 2>&1
[ $failures -eq 0 ]
