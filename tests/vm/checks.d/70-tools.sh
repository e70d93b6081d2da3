# The tools' reports on the emulator's real chipset: the PCI device list and registers
# against sysfs, the CMOS and Group I/O reports over the RTC, and the SMBus controller of
# q35 (before the kernel's own driver binds it; see 90-kernel-driver.sh).
listed=$(cli pci devices | wc -l)
functions=$(ls /sys/bus/pci/devices | grep -c '^0000:')
check pci-devices "pci devices lists $listed functions, sysfs $functions" [ "$listed" -eq "$functions" ]
expect pci-regs-00 "$(sysfs_dword 0000:00:00.0 0)" sh -c 'korvanta-cli pci regs 00:00.0 | sed -n 2p | cut -f2'
check report-pci "report pci writes the all-devices report" \
    sh -c 'korvanta-cli report pci -o /tmp/pci.log && [ -s /tmp/pci.log ]'
check report-pci-current "report pci --current 00:00.0" \
    sh -c 'korvanta-cli report pci --current 00:00.0 -o /tmp/pci-current.log && [ -s /tmp/pci-current.log ]'

check report-cmos "CMOS report row 15h is 80 (640 KiB base memory)" \
    sh -c 'korvanta-cli report cmos | tr -d "\r" | grep -Eq "^ +15 +80 +10000000$"'
check report-cmos-256 "CMOS report of 256 bytes" sh -c 'korvanta-cli report cmos --size 256 >/dev/null'
check cmos-write-back "cmos write 3F, then cmos read 3F, restored" \
    sh -c 'old=$(korvanta-cli cmos read 3F) && korvanta-cli cmos write 3F 5A &&
           [ "$(korvanta-cli cmos read 3F)" = 5A ] && korvanta-cli cmos write 3F "$old"'
check report-groupio-index "Group I/O through 70h/71h: 15h-16h are 80 02" \
    sh -c 'korvanta-cli report groupio --index 70 71 15 16 | tr -d "\r" |
           grep -Eq "^ +15 +80$" && korvanta-cli report groupio --index 70 71 15 16 | tr -d "\r" |
           grep -Eq "^ +16 +02$"'
check report-groupio-direct "Group I/O direct over the POST port 80h-8Fh" \
    sh -c 'korvanta-cli report groupio 80 8F >/dev/null'

if [ "$MACHINE" = q35 ]; then
    expect smbus-list "0 INTEL 00:1F.3 $(printf '%04X' $(($(sysfs_dword 0000:00:1f.3 32 | sed 's/^/0x/') & 0xFFFE)))" \
        cli smbus list
    found=$(cli smbus scan 0 | tr "\n" " ")
    check smbus-scan "the scan finds: $found" sh -c 'echo "$1" | grep -q "50 51 52 53 54 55 56 57 "' - "$found"
    check smbus-read "SPD byte 2 (memory type) reads" sh -c 'korvanta-cli smbus read 0 50 2 | grep -Eq "^[0-9A-F]{2}$"'
    refused smbus-empty cli smbus read 0 33 0
    check report-smbus "SMBus report of 50h" sh -c 'korvanta-cli report smbus -o /tmp/smbus.log && [ -s /tmp/smbus.log ]'
else
    refused smbus-none cli smbus list
fi
