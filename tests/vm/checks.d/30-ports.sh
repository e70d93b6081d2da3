# Ports of every width, through port instructions and through /dev/port. The CMOS bytes
# are the ones the emulator's firmware interface defines: base memory 640 KiB (15h-16h =
# 0280h) and the processor count less one at 5Fh. The widths are told apart through
# configuration mechanism #1 (korvanta-vmcheck ports); /dev/port moves bytes only.
cmos() { cli io write 70 "$1" && cli io read 71; }
ports_checks() {  # ports_checks LABEL
    expect "cmos-15-$1" 80 cmos 15
    expect "cmos-16-$1" 02 cmos 16
    expect "cmos-5F-$1" "$(printf '%02X' $(($(nproc) - 1)))" cmos 5F
}
ports_checks ioperm
program korvanta-vmcheck ports "$target"

daemon --dev-port
check devport-status "status names /dev/port" sh -c 'korvanta-cli driver status | grep -q "^ports: ok (bytes only, through /dev/port"'
ports_checks devport
refused devport-word cli io read CFC --width 2
refused devport-dword cli io write CF8 80000000 --width 4
daemon
