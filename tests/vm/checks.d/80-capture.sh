# Replay: the emulated PC captured as a board profile, the profile served by a board daemon,
# and the reports of the host and of the board compared byte for byte, without the rows of
# the values the capture marks volatile (clock registers, counters). Runs before the kernel's
# SMBus driver binds (90-kernel-driver.sh).
board_cli() { KORVANTA_RUNTIME_DIR=/tmp/kvt-board korvanta-cli --board /tmp/capture.json "$@"; }
# drop_volatile MODULUS LIST: drops lines whose first word, read as hexadecimal, modulo
# MODULUS, is one of the hexadecimal values in LIST.
drop_volatile() {
    awk -v modulus="$1" -v list="$2" '
        function hex(s,   i, c, x) {
            x = 0
            s = toupper(s)
            if (s == "") return -1
            for (i = 1; i <= length(s); i++) {
                c = index("0123456789ABCDEF", substr(s, i, 1))
                if (c == 0) return -1
                x = x * 16 + c - 1
            }
            return x
        }
        BEGIN { n = split(list, v, " "); for (i = 1; i <= n; i++) skip[hex(v[i])] = 1 }
        { x = hex($1); if (x >= 0 && (x % modulus) in skip) next; print }'
}
# replay NAME MODULUS LIST REPORT-ARGS...: host and board give the same report.
replay() {
    name=$1 modulus=$2 list=$3
    shift 3
    cli "$@" >/tmp/replay.host 2>/tmp/replay.host.err
    a=$?
    board_cli "$@" >/tmp/replay.board 2>/tmp/replay.board.err
    b=$?
    drop_volatile "$modulus" "$list" </tmp/replay.host >/tmp/replay.host.kept
    drop_volatile "$modulus" "$list" </tmp/replay.board >/tmp/replay.board.kept
    if [ $a -eq 0 ] && [ $b -eq 0 ] && [ -s /tmp/replay.host ] &&
        cmp -s /tmp/replay.host.kept /tmp/replay.board.kept; then
        pass "replay-$name" "$* ($(wc -l </tmp/replay.host.kept) lines equal)"
    else
        fail "replay-$name" "$*: status $a/$b $(head -n 1 /tmp/replay.host.err /tmp/replay.board.err |
            tr '\n' ' ') $(diff /tmp/replay.host.kept /tmp/replay.board.kept | sed -n 3,8p | tr '\n' '|')"
    fi
}

t0=$(cut -d' ' -f1 /proc/uptime)
# SPD bytes beyond the 16 the SMBus report shows are left unread: each byte costs several
# port requests, which the emulator serves slowly.
if cli board capture -o /tmp/capture.json --spd-bytes 16 2>/tmp/capture.err; then
    t1=$(cut -d' ' -f1 /proc/uptime)
    pass capture "$(wc -c </tmp/capture.json) bytes in $(awk "BEGIN { print $t1 - $t0 }") s, \
$(grep -c 'left out' /tmp/capture.err) things left out: $(sed 's/korvanta-cli: left out: //' \
        /tmp/capture.err | tr '\n' ';')"
    msrs=$(grep -o '{"msr":"0x[0-9A-F]*"[^}]*"volatile":true}' /tmp/capture.json |
        sed 's/{"msr":"0x\([0-9A-F]*\)".*/\1/' | sort -u | tr '\n' ' ')
    cmos=$(sed -n 's/.*"cmos":.*"volatile":"\([0-9a-f ]*\)".*/\1/p' /tmp/capture.json)
    check capture-volatile "MSRs $msrs; CMOS $cmos" sh -c '[ -n "$1" ] && [ -n "$2" ]' - "$msrs" "$cmos"
    for cpu in 0 1; do
        replay "cpuid-$cpu" 4294967296 "" report cpuid --cpu $cpu
        replay "msr-$cpu" 4294967296 "$msrs" report msr --list /korvanta/bin/hwmsreg.msr --cpu $cpu
    done
    replay pci 256 "" report pci
    replay pci-current-first 256 "" report pci --current 00:00.0
    last=$(cli pci list | tail -n 1)
    replay pci-current-last 256 "" report pci --current "$last"
    replay cmos 128 "$cmos" report cmos
    replay cmos-256 128 "$cmos" report cmos --size 256
    replay groupio-cmos 128 "$cmos" report groupio --index 70 71 0 7F
    replay groupio-post 65536 "" report groupio 80 8F
    if [ "$MACHINE" = q35 ]; then
        replay smbus 256 "" report smbus
        replay smbus-scan 256 "" smbus scan 0
    fi
    replay os 256 "" report os
    board_cli driver stop >/dev/null 2>&1
else
    fail capture "board capture failed: $(head -n 3 /tmp/capture.err | tr '\n' ' ')"
fi
