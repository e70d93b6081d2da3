# Who is served, what a read-only daemon refuses, and the write audit in the system log.
# Users: kvt-out (uid 1000, not in group korvanta), kvt-in (uid 1001, member of korvanta).
as() { su "$1" -s /bin/sh -c "PATH=$PATH $2"; }
as kvt-out id
refused trust-outsider as kvt-out "korvanta-cli pci list"
as kvt-in id
list=$(as kvt-in "korvanta-cli pci list")
check trust-member "a member of korvanta lists $(echo $list | wc -w) PCI functions" [ -n "$list" ]

cli io write 80 A5
check trust-audit "the port write is in the system log" \
    grep -q "korvanta-driver.*port=0x0080 width=1 value=0x000000A5: done" /var/log/messages

daemon --read-only
check trust-readonly-reads "reads still served" sh -c '[ -n "$(korvanta-cli pci list)" ]'
echo 00 >/tmp/byte
refused readonly-io cli io write 80 0
refused readonly-pci cli pci write 00:00.0 3C 0
refused readonly-mem cli mem write E0000 /tmp/byte
refused readonly-msr cli msr write C0000103 0 0 --cpu 1
daemon
