# Memory Dump: the saved dump of the BIOS area is the bytes the kernel's /dev/mem gives.
cli mem dump F0000 10000 -o /tmp/dump.kvt
dd if=/dev/mem of=/tmp/dump.dd bs=4096 skip=240 count=16 2>/dev/null
check dump-bios "mem dump F0000 10000 equals dd of /dev/mem" cmp -s /tmp/dump.kvt /tmp/dump.dd
# RAM above 1 MiB, refused by the kernel: a failure with a message, and no file.
refused dump-refused cli mem dump 1000000 1000 -o /tmp/dump-refused.kvt
check dump-refused-no-file "no dump file left" [ ! -e /tmp/dump-refused.kvt ]
