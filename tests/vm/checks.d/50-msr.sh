# MSRs on each processor against the kernel's /dev/cpu/N/msr, and the CPUID report against
# /proc/cpuinfo.
kernel_msr() {  # kernel_msr CPU MSR(decimal): the value as 16 hexadecimal digits
    dd if="/dev/cpu/$1/msr" bs=8 count=1 iflag=skip_bytes skip="$2" 2>/dev/null |
        od -A n -t x8 | tr -d ' ' | tr a-f A-F
}
for cpu in 0 1; do
    expect "msr-apic-base-$cpu" "$(kernel_msr $cpu 27)" cli msr read 1B --cpu $cpu
    apic=$(cli msr read 1B --cpu $cpu)
    bsp=$(((0x$apic >> 8) & 1))
    check "msr-bsp-bit-$cpu" "bootstrap bit $bsp" [ $bsp -eq $((cpu == 0)) ]
    expect "msr-tsc-aux-$cpu" "$(kernel_msr $cpu 3221225731)" cli msr read C0000103 --cpu $cpu
done
# The emulator without KVM answers every RDMSR, the time-stamp counter (10h) with 0; the
# checks follow what the guest kernel itself reads.
if [ "$(kernel_msr 1 16)" = 0000000000000000 ]; then
    skip msr-tsc-advances "the guest kernel reads the TSC MSR as 0 (no KVM)"
else
    t1=$(cli msr read 10 --cpu 1)
    t2=$(cli msr read 10 --cpu 1)
    check msr-tsc-advances "$t1 then $t2" [ $((0x$t2 > 0x$t1)) -eq 1 ]
fi
if [ -n "$(kernel_msr 0 3235774464)" ]; then
    skip msr-refused "the guest processor answers RDMSR C0DE0000h (no KVM)"
else
    refused msr-refused cli msr read C0DE0000
fi
# A write lands on the chosen processor only: TSC_AUX of processor 1 (the kernel keeps the
# processor number there), put back afterwards.
aux1=$(cli msr read C0000103 --cpu 1)
cli msr write C0000103 0 5A5A --cpu 1
expect msr-write-cpu1 0000000000005A5A cli msr read C0000103 --cpu 1
expect msr-write-not-cpu0 "$(kernel_msr 0 3221225731)" cli msr read C0000103 --cpu 0
cli msr write C0000103 0 "${aux1#????????}" --cpu 1
expect msr-write-restore "$aux1" kernel_msr 1 3221225731
# The kernel refuses MSR writes when the msr module's allow_writes is off.
echo off >/sys/module/msr/parameters/allow_writes
refused msr-write-refused cli msr write C0000103 0 7 --cpu 1
echo on >/sys/module/msr/parameters/allow_writes
expect msr-write-refused-unchanged "$aux1" kernel_msr 1 3221225731

cli report cpuid --cpu 1 -o /tmp/cpuid1.txt
vendor=$(sed -n 's/^vendor_id[^:]*: //p' /proc/cpuinfo | head -n 1)
check cpuid-vendor "report names $vendor" grep -q "^Standard Function 0:.*\"$vendor\"" /tmp/cpuid1.txt
stepping=$(sed -n 's/^stepping[^:]*: //p' /proc/cpuinfo | head -n 1)
check cpuid-stepping "stepping $stepping" \
    grep -q "Bits 3:0.*0x$(printf '%x' "$stepping")[[:space:]]*Stepping" /tmp/cpuid1.txt
apicid=$(awk '/^processor/ {p = $3} /^apicid/ && p == 1 {print $3}' /proc/cpuinfo)
reported=$(sed -n 's/.*Bits 31:24[^0]*0x\([0-9a-f]*\).*APIC.ID.*/\1/p' /tmp/cpuid1.txt | head -n 1)
check cpuid-apic-id "processor 1 reports APIC ID $reported, kernel $apicid" \
    [ "$reported" = "$(printf '%x' "$apicid")" ]

# A processor the kernel has taken offline: its MSR device refuses, and so must the program;
# a CPUID report for it must not pass off another processor's values as its own.
if echo 0 >/sys/devices/system/cpu/cpu1/online; then
    refused msr-offline-cli cli msr read 1B --cpu 1
    program korvanta-vmcheck msr-refused 1
    out=$(cli report cpuid --cpu 1 2>&1)
    rc=$?
    reported=$(echo "$out" | sed -n 's/.*Bits 31:24[^0]*0x\([0-9a-f]*\).*APIC.ID.*/\1/p' | head -n 1)
    check cpuid-offline "status $rc, APIC ID '$reported': $(echo "$out" | head -n 1)" \
        [ $rc -ne 0 ] || [ "$reported" = "$(printf '%x' "$apicid")" ]
    echo 1 >/sys/devices/system/cpu/cpu1/online
    check cpu1-online "processor 1 back online" [ "$(cat /sys/devices/system/cpu/cpu1/online)" = 1 ]
else
    fail msr-offline "processor 1 cannot be taken offline"
fi
