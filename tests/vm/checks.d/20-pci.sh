# PCI configuration against the kernel's sysfs view.
program korvanta-vmcheck pci
if [ "$MACHINE" = q35 ]; then
    program korvanta-vmcheck window
    for dev in /sys/bus/pci/devices/*; do
        [ "$(stat -c %s "$dev/config")" -eq 4096 ] && break
    done
    express=${dev##*/}
    expect pci-window-read "$(sysfs_dword "$express" 256)" cli pci read "${express#0000:}" 100
else
    refused pci-no-window cli pci read 00:00.0 100
fi

# A configuration write to the interrupt line (3Ch) of a function no kernel driver owns,
# read back through the program and through sysfs, then restored. The virtio function the
# script adds is preferred; the guest has no driver for it.
target=
for dev in /sys/bus/pci/devices/*; do
    [ -e "$dev/driver" ] && continue
    [ -z "$target" ] || [ "$(cat "$dev/vendor")" = 0x1af4 ] && target=${dev##*/}
done
if [ -z "$target" ]; then
    fail pci-write "no function without a kernel driver"
else
    f=${target#0000:}
    old=$(cli pci read "$f" 3C)
    new=$(printf '%08X' $(((0x$old & 0xFFFFFF00) | ((0x$old & 0xFF) ^ 0x5A))))
    cli pci write "$f" 3C "$new"
    expect pci-write-readback "$new" cli pci read "$f" 3C
    check pci-write-sysfs "sysfs sees $new at $f 3C" [ "$(sysfs_dword "$target" 60)" = "$new" ]
    cli pci write "$f" 3C "$old"
    check pci-write-restore "$f 3C back to $old" [ "$(sysfs_dword "$target" 60)" = "$old" ]
fi
