# The daemon serves the host backend with every kind of access the guest kernel offers.
status=$(cli driver status 2>&1)
check driver-status "ports, PCI, memory and MSRs ok" \
    sh -c 'echo "$1" | grep -qx "ports: ok" && echo "$1" | grep -q "^PCI configuration: ok" &&
           echo "$1" | grep -q "^physical memory: ok" && echo "$1" | grep -qx "MSRs: ok"' - "$status"
if [ "$MACHINE" = q35 ]; then
    check driver-window "q35 has a PCI Express window" \
        sh -c 'echo "$1" | grep -q "^PCI Express window: ok"' - "$status"
else
    check driver-window "pc has no PCI Express window" \
        sh -c 'echo "$1" | grep -q "^PCI Express window: unavailable: no MCFG"' - "$status"
fi
