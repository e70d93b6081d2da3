# A controller the kernel's own driver owns: with i2c_i801 bound to the ICH9 SMBus of q35,
# what the program reads of it agrees with the kernel: the I/O base (BAR 4 at 20h) is the
# kernel's resource, the host enable bit the driver set reads as set, the configuration
# still equals sysfs, and the SPD EEPROMs the kernel sees answer at 50h-57h. Until i2c-dev is
# loaded the kernel's adapter cannot be used, so the program refuses the ports without --force.
if [ "$MACHINE" = q35 ]; then
    smbus=0000:00:1f.3
    insmod /lib/modules/i2c-smbus.ko
    insmod /lib/modules/i2c-i801.ko
    check i801-bound "i2c_i801 owns 00:1F.3" \
        sh -c '[ "$(basename "$(readlink /sys/bus/pci/devices/'$smbus'/driver)")" = i801_smbus ]'
    base=$(sed -n 5p /sys/bus/pci/devices/$smbus/resource | cut -d' ' -f1)
    bar=$(cli pci read 00:1F.3 20)
    check i801-io-base "BAR 4 $bar, kernel resource $base" [ $((0x$bar & ~3)) -eq $((base)) ]
    hcfg=$(cli pci read 00:1F.3 40)
    check i801-host-enabled "host configuration $hcfg has the enable bit" [ $((0x$hcfg & 1)) -eq 1 ]
    check i801-smbus-list "smbus list names the bound driver" \
        sh -c 'korvanta-cli smbus list | grep -q "^0 INTEL 00:1F.3 [0-9A-F]\{4\} kernel-driver i801_smbus$"'
    refused i801-smbus-refused cli smbus read 0 50 2
    check i801-smbus-force "with --force the transaction runs" \
        sh -c 'korvanta-cli smbus read 0 50 2 --force | grep -Eq "^[0-9A-F]{2}$"'
    prefix=i801-
    program korvanta-vmcheck pci
    prefix=
    # Without i2c-dev the kernel's adapter cannot be used: refused above; now it can.
    insmod /lib/modules/i2c-dev.ko
    bus=$(ls -d /sys/bus/pci/devices/$smbus/i2c-* 2>/dev/null | head -n 1)
    bus=${bus##*i2c-}
    found=$(i2cdetect -y "$bus" 0x50 0x57 2>/dev/null | grep -c '^50: *50 51 52 53 54 55 56 57')
    check i801-spd "kernel bus i2c-$bus sees SPD EEPROMs at 50h-57h" [ "$found" -eq 1 ]
fi
