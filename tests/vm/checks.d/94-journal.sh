# The write journal and undo on the host daemon: a configuration write of Interrupt Line (3Ch)
# of the host bridge and a CMOS byte of the second half of bank 0 are journaled with the values
# sysfs and the CMOS held before; undo by id puts both back (read back through sysfs and the
# CMOS index). Then a watch of that CMOS byte: three samples in the line format.
daemon
host=0000:00:00.0
line_of() { cli journal | grep "$1" | tail -n 1; }
old=$(sysfs_dword $host 60)
new=$(printf '%08X' $(((0x$old & 0xFFFFFF00) | (~0x$old & 0xFF))))
cli pci write 00:00.0 3c "$new"
expect journal-pci-written "$new" sysfs_dword $host 60
entry=$(line_of " pci 00:00.0+03C 4 ")
check journal-pci "journaled with the old value: $entry" \
    sh -c "echo '$entry' | grep -q ' pci 00:00.0+03C 4 old=$old new=$new\$'"
cmos_old=$(cli cmos read 5c)
cmos_new=$(printf '%02X' $((0x$cmos_old ^ 0xA5)))
cli cmos write 5c "$cmos_new"
expect journal-cmos-written "$cmos_new" cli cmos read 5c
centry=$(line_of " cmos 70h+5C 1 ")
check journal-cmos "journaled with the old value: $centry" \
    sh -c "echo '$centry' | grep -q ' cmos 70h+5C 1 old=$cmos_old new=$cmos_new\$'"
cli undo "${entry%% *}" >/tmp/undo.out 2>&1
check journal-undo-pci "$(cat /tmp/undo.out)" [ "$(sysfs_dword $host 60)" = "$old" ]
cli undo "${centry%% *}" >/tmp/undo.out 2>&1
expect journal-undo-cmos "$cmos_old" cli cmos read 5c
check journal-undo-entries "each undo is journaled as the undo of its write" \
    sh -c "korvanta-cli journal | grep -q ' undo of ${entry%% *}\$' && korvanta-cli journal | grep -q ' undo of ${centry%% *}\$'"
refused journal-undo-twice cli undo "${entry%% *}"

cli watch cmos 5c --interval 100 --count 3 >/tmp/watch.out 2>&1
check watch-cmos "three samples: $(tr '\n' '|' </tmp/watch.out)" \
    sh -c "[ \$(grep -c '^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.[0-9][0-9][0-9] $cmos_old\$' /tmp/watch.out) -eq 3 ] && [ \$(wc -l </tmp/watch.out) -eq 3 ]"
