// This Linux machine as a driver backend: I/O ports through ioperm/iopl (or /dev/port for
// bytes), PCI configuration space through sysfs, physical memory through /dev/mem with the
// PCI Express configuration window answered from sysfs, MSRs through /dev/cpu/N/msr.
// Whatever the machine does not offer is a request failure, never an invented value.
#pragma once

#include <memory>
#include <string>

#include "driver/backend.h"

namespace kvt::driver {

struct HostPaths {
    std::string sysfsPci = "/sys/bus/pci/devices";
    std::string mcfg = "/sys/firmware/acpi/tables/MCFG";
    std::string devMem = "/dev/mem";
    std::string devPort = "/dev/port";
    std::string cpuDevices = "/dev/cpu";
    std::string lockdown = "/sys/kernel/security/lockdown";
    // The i2c-dev nodes of the kernel's adapters, and the program that loads i2c-dev when
    // they are missing ("" never loads it).
    std::string devDir = "/dev";
    std::string modprobe = "/sbin/modprobe";
    // false: ports go through devPort only, as on a kernel without ioperm.
    bool portInstructions = true;
};

std::unique_ptr<Backend> CreateHostBackend(const HostPaths& paths = HostPaths());

}  // namespace kvt::driver
