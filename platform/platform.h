// Platform services of the machine the program works on: the host, or a simulated board
// served by its driver daemon.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/version.h"

namespace kvt {

struct CpuidRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

class Platform {
  public:
    virtual ~Platform() = default;
    virtual std::string ComputerName() = 0;
    virtual uint32_t ProcessorCount() = 0;
    virtual VersionRecord Version() = 0;
    // CPUID on the processor the calling thread runs on (see CurrentProcessor).
    virtual CpuidRegisters Cpuid(uint32_t function, uint32_t subFunction) = 0;
    // Time-stamp counter of the calling thread's processor; false when there is none.
    virtual bool ReadTsc(uint64_t& value) = 0;
    // Whether the calling thread's processor has the CPUID instruction.
    virtual bool HasCpuid() = 0;
};

// True when bit 21 (ID) of EFLAGS can be flipped on this machine, i.e. its processor has CPUID.
bool HasCpuidInstruction();

// This machine: gethostname, the online processor count, uname, the CPUID instruction, RDTSC.
std::unique_ptr<Platform> MakeHostPlatform();

// The version record of this Linux system (kernel version from uname, platform kPlatformLinux),
// read once per run.
VersionRecord HostVersionRecord();

}  // namespace kvt
