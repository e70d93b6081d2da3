# Physical memory against the kernel's /dev/mem: the BIOS area, then RAM above 1 MiB, which
# the kernel refuses (strict /dev/mem) and the program must report as a failure.
cli mem read E0000 20000 -o /tmp/bios.kvt
dd if=/dev/mem of=/tmp/bios.dd bs=4096 skip=224 count=32 2>/dev/null
check mem-bios "E0000-FFFFF equals dd of /dev/mem" cmp -s /tmp/bios.kvt /tmp/bios.dd
check mem-bios-nonblank "the BIOS area is not blank" sh -c '[ "$(od -A n -t x1 -N 16 -j 65520 /tmp/bios.kvt | tr -d " ")" != ffffffffffffffffffffffffffffffff ]'
refused mem-refused cli mem read 1000000 1000
