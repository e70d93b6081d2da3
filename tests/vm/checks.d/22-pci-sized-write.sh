# A byte write (sized configuration request) to the interrupt line (3Ch) of a function no
# kernel driver owns: sysfs sees that byte changed and the byte beside it (interrupt pin, 3Dh)
# unchanged; the journal's undo puts it back.
target=
for dev in /sys/bus/pci/devices/*; do
    [ -e "$dev/driver" ] && continue
    [ -z "$target" ] || [ "$(cat "$dev/vendor")" = 0x1af4 ] && target=${dev##*/}
done
sysfs_byte() {  # sysfs_byte FUNCTION OFFSET(decimal)
    dd if="/sys/bus/pci/devices/$1/config" bs=1 skip="$2" count=1 2>/dev/null |
        od -A n -t x1 | tr -d ' ' | tr a-f A-F
}
if [ -z "$target" ]; then
    fail pci-sized-write "no function without a kernel driver"
else
    f=${target#0000:}
    line=$(sysfs_byte "$target" 60)
    pin=$(sysfs_byte "$target" 61)
    new=$(printf '%02X' $((0x$line ^ 0xA5)))
    cli pci write "$f" 3C "$new" --width 1
    check pci-sized-write "sysfs sees $new at $f 3C" [ "$(sysfs_byte "$target" 60)" = "$new" ]
    check pci-sized-write-neighbour "3Dh still $pin" [ "$(sysfs_byte "$target" 61)" = "$pin" ]
    dry=$(cli pci write "$f" 3C 0 --width 1 --dry-run | sed -n 's/^old: //p')
    check pci-sized-write-dry "a dry run reads $new and writes nothing" \
        [ "$dry" = "$new" -a "$(sysfs_byte "$target" 60)" = "$new" ]
    cli undo >/dev/null
    check pci-sized-write-undo "$f 3C back to $line" [ "$(sysfs_byte "$target" 60)" = "$line" ]
fi
