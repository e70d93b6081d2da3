// Running processor work on a chosen processor: CPUID collection and MSR reads and writes.
#pragma once

#include <cstdint>

#include "hwaccess/driver_client.h"
#include "platform/platform.h"
#include "platform/user_messages.h"
#include "tools/cpu/cpuid_record.h"

namespace kvt {

// Functions collected per range at most. Real processors report a few dozen; a larger
// highest function (a broken or hostile board) is cut here instead of exhausting memory.
inline constexpr uint32_t kMaxCpuidFunctionsPerRange = 1024;

inline constexpr uint32_t kCpuidExtendedBase = 0x80000000;
inline constexpr uint32_t kCpuidTransmetaBase = 0x80860000;

// The vendor code of a function-0 result (vendor string EBX, EDX, ECX).
CpuVendor CpuVendorFromRegisters(const CpuidRegisters& function0);
// "GenuineIntel", "AuthenticAMD", "GenuineTMx86", "VIA", or empty for an unrecognised vendor.
const char* CpuVendorName(uint32_t vendor);

// Fills the record on the calling thread's processor. Every execution loads ECX with 0.
void CollectCpuid(CpuidRecord& record, Platform& platform);

// Runs `work` on a worker thread pinned to `processor` and waits for it to end. False when
// the thread cannot be created (the work did not run).
template <typename Work>
bool RunOnProcessor(uint32_t processor, Work&& work);

// CollectCpuid on a worker pinned to the processor. 1 when the worker ran (the record is
// left as it was when the processor has no CPUID), 0 when it could not be created; then
// "GetCPUIDThread thread Creating Error!" is shown.
int CollectCpuidOnProcessor(CpuidRecord& record, uint32_t processor, Platform& platform,
                            UserMessages& messages);

// RDMSR/WRMSR on the calling thread, in the session's request form.
uint64_t ReadMsrUnpinned(DriverClient& client, uint32_t msr);
int WriteMsrUnpinned(DriverClient& client, uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi,
                     uint32_t esi);

// The same on a worker pinned to the processor. When the worker cannot be created,
// "Create msr read thread Error!" goes to standard output and the result is 0. *served (when
// given) tells whether the daemon served the read, *failure (when given) why it did not.
uint64_t ReadMsrOnProcessor(DriverClient& client, uint32_t msr, uint32_t processor,
                            bool* served = nullptr, TransportFailure* failure = nullptr);
int WriteMsrOnProcessor(DriverClient& client, uint32_t msr, uint32_t eax, uint32_t edx,
                        uint32_t edi, uint32_t esi, uint32_t processor);

}  // namespace kvt

#include "tools/cpu/cpu_exec_inl.h"
