#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/platform.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define KVT_X86 1
#endif

namespace kvt {

namespace {

std::string OsPrettyName() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
                value = value.substr(1, value.size() - 2);
            }
            return value;
        }
    }
    return {};
}

class HostPlatform : public Platform {
  public:
    std::string ComputerName() override {
        char name[257] = {};
        if (gethostname(name, sizeof name - 1) != 0) return {};
        return name;
    }
    uint32_t ProcessorCount() override {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        return n < 1 ? 1u : static_cast<uint32_t>(n);
    }
    VersionRecord Version() override { return HostVersionRecord(); }
    CpuidRegisters Cpuid(uint32_t function, uint32_t subFunction) override {
        CpuidRegisters r;
#ifdef KVT_X86
        __cpuid_count(function, subFunction, r.eax, r.ebx, r.ecx, r.edx);
#else
        (void)function, (void)subFunction;
#endif
        return r;
    }
    bool HasCpuid() override {
        return HasCpuidInstruction();
    }
    bool ReadTsc(uint64_t& value) override {
#ifdef KVT_X86
        value = __rdtsc();
        return true;
#else
        (void)value;
        return false;
#endif
    }
};

}  // namespace

bool HasCpuidInstruction() {
#if defined(__x86_64__)
    uint64_t before = 0;
    uint64_t after = 0;
    // Step over the red zone before pushing: the compiler may keep locals below RSP.
    asm volatile(
        "subq $128, %%rsp\n\t"
        "pushfq\n\t"
        "popq %0\n\t"
        "movq %0, %1\n\t"
        "xorq $0x200000, %1\n\t"
        "pushq %1\n\t"
        "popfq\n\t"
        "pushfq\n\t"
        "popq %1\n\t"
        "pushq %0\n\t"
        "popfq\n\t"
        "addq $128, %%rsp"
        : "=&r"(before), "=&r"(after)
        :
        : "cc", "memory");
    return ((before ^ after) & 0x200000) != 0;
#elif defined(__i386__)
    uint32_t before = 0;
    uint32_t after = 0;
    asm volatile(
        "pushfl\n\t"
        "popl %0\n\t"
        "movl %0, %1\n\t"
        "xorl $0x200000, %1\n\t"
        "pushl %1\n\t"
        "popfl\n\t"
        "pushfl\n\t"
        "popl %1\n\t"
        "pushl %0\n\t"
        "popfl"
        : "=&r"(before), "=&r"(after)
        :
        : "cc", "memory");
    return ((before ^ after) & 0x200000) != 0;
#else
    return false;
#endif
}

VersionRecord HostVersionRecord() {
    // Asked before every driver request (which protocol form to use): made once per run
    // rather than reading os-release each time.
    static const VersionRecord record = [] {
        VersionRecord v;
        v.platformId = kPlatformLinux;
        utsname u{};
        if (uname(&u) == 0) {
            unsigned major = 0, minor = 0, patch = 0;
            std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
            v.majorVersion = major;
            v.minorVersion = minor;
            v.buildNumber = patch;
        }
        v.csdVersion = OsPrettyName();
        return v;
    }();
    return record;
}

std::unique_ptr<Platform> MakeHostPlatform() {
    return std::make_unique<HostPlatform>();
}

}  // namespace kvt
