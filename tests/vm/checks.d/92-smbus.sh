# SMBus transactions on the ICH9 controller of q35 against the guest kernel's own driver:
# the kernel writes a pattern into the EEPROM at 57h (busybox i2cset), its driver is unloaded,
# the program's byte, word and block reads through the ports must give the kernel's bytes and
# its byte write must land (journaled, undone) and so must a block write; the kernel must find
# the bus usable afterwards; with the driver bound again the program reads through the
# kernel's adapter, without --force.
if [ "$MACHINE" = q35 ]; then
    smbus=/sys/bus/pci/devices/0000:00:1f.3
    bus=$(ls -d $smbus/i2c-* 2>/dev/null | head -n 1)
    bus=${bus##*i2c-}
    # Byte 10h is a block count of 4, bytes 11h-14h the block.
    for pair in "0x10 0x04" "0x11 0xa1" "0x12 0xb2" "0x13 0xc3" "0x14 0xd4" "0x20 0x00"; do
        i2cset -y "$bus" 0x57 $pair b
    done
    expect smbus-kernel-wrote "0xc3" i2cget -y "$bus" 0x57 0x13 b
    rmmod i2c_dev
    rmmod i2c_i801
    check smbus-unbound "no driver owns 00:1F.3" [ ! -e $smbus/driver ]
    expect smbus-byte "A1" cli smbus read 0 57 11
    expect smbus-word "B2A1" cli smbus read 0 57 11 --word
    expect smbus-block "A1 B2 C3 D4" cli smbus read 0 57 10 --block
    expect smbus-block-again "A1 B2 C3 D4" cli smbus read 0 57 10 --block
    expect smbus-write "" cli smbus write 0 57 20 5A
    expect smbus-write-read "5A" cli smbus read 0 57 20
    # Through the ports the write is one smbus entry with the old byte, and undo restores it;
    # a block write is one entry whose old bytes stay unknown.
    sentry=$(cli journal | grep " smbus 00:1F.3 base [0-9A-F]\{4\} slave 57 command 20 1 " | tail -n 1)
    check smbus-journal "journaled with the old byte: $sentry" \
        sh -c "echo '$sentry' | grep -q ' old=00 new=5A\$'"
    cli undo "${sentry%% *}" >/tmp/undo.out 2>&1
    expect smbus-undo "00" cli smbus read 0 57 20
    expect smbus-write-again "" cli smbus write 0 57 20 5A
    expect smbus-block-write "" cli smbus write 0 57 30 01 02 --block
    expect smbus-block-write-read "01 02" cli smbus read 0 57 30 --block
    bentry=$(cli journal | grep " slave 57 command 30 2 " | tail -n 1)
    check smbus-block-journal "one entry, old bytes unknown: $bentry" \
        sh -c "echo '$bentry' | grep -q ' old=unknown new=0201\$'"
    check smbus-scan "the scan finds the EEPROMs at 50h-57h" \
        sh -c '[ "$(korvanta-cli smbus scan 0 | grep -c "^5[0-7]$")" -eq 8 ]'
    insmod /lib/modules/i2c-i801.ko
    insmod /lib/modules/i2c-dev.ko
    bus=$(ls -d $smbus/i2c-* 2>/dev/null | head -n 1)
    bus=${bus##*i2c-}
    expect smbus-kernel-reads-write "0x5a" i2cget -y "$bus" 0x57 0x20 b
    check smbus-kernel-not-busy "the kernel's driver never found the bus busy" \
        sh -c '! dmesg | grep -q "SMBus is busy"'
    expect smbus-through-kernel "A1" cli smbus read 0 57 11
    expect smbus-block-through-kernel "A1 B2 C3 D4" cli smbus read 0 57 10 --block
    check smbus-status-path "driver status names the kernel's adapter" \
        sh -c 'korvanta-cli driver status | grep -q "^SMBus: 00:1F.3 INTEL at [0-9A-F]\{4\} path: the kernel.s adapter /dev/i2c-"'
fi
