#include "tools/cpu/cpu_exec.h"

#include <cstdio>
#include <cstring>

namespace kvt {

CpuVendor CpuVendorFromRegisters(const CpuidRegisters& function0) {
    char vendor[13];
    std::memcpy(vendor, &function0.ebx, 4);
    std::memcpy(vendor + 4, &function0.edx, 4);
    std::memcpy(vendor + 8, &function0.ecx, 4);
    vendor[12] = '\0';
    // All thirteen bytes: exact, case-sensitive names. VIA by its first four bytes only.
    if (std::memcmp(vendor, "GenuineIntel", 13) == 0) return kCpuVendorIntel;
    if (std::memcmp(vendor, "AuthenticAMD", 13) == 0) return kCpuVendorAmd;
    if (std::memcmp(vendor, "GenuineTMx86", 13) == 0) return kCpuVendorTransmeta;
    if (std::memcmp(vendor, "VIA", 4) == 0) return kCpuVendorVia;
    return kCpuVendorUnknown;
}

const char* CpuVendorName(uint32_t vendor) {
    switch (vendor) {
        case kCpuVendorIntel:
            return "GenuineIntel";
        case kCpuVendorAmd:
            return "AuthenticAMD";
        case kCpuVendorTransmeta:
            return "GenuineTMx86";
        case kCpuVendorVia:
            return "VIA";
        default:
            return "";
    }
}

namespace {

// Executes first..highest (unsigned, inclusive) into `out`, at most the per-range limit.
// Returns the highest function actually collected.
uint32_t CollectRange(Platform& platform, uint32_t first, uint32_t highest,
                      std::vector<CpuidRegisters>& out) {
    uint32_t count = highest - first + 1;
    if (count > kMaxCpuidFunctionsPerRange) count = kMaxCpuidFunctionsPerRange;
    out.assign(count, CpuidRegisters{});
    for (uint32_t i = 0; i < count; ++i) out[i] = platform.Cpuid(first + i, 0);
    return first + count - 1;
}

}  // namespace

void CollectCpuid(CpuidRecord& record, Platform& platform) {
    record.standard.clear();
    record.extended.clear();
    record.transmeta.clear();

    CpuidRegisters f0 = platform.Cpuid(0, 0);
    record.highestStandard = static_cast<int32_t>(f0.eax);
    record.vendor = CpuVendorFromRegisters(f0);

    // Signed bound: a negative highest function collects nothing.
    record.extendedBase = kCpuidExtendedBase;
    if (record.highestStandard >= 0) {
        record.highestStandard = static_cast<int32_t>(CollectRange(
            platform, 0, static_cast<uint32_t>(record.highestStandard), record.standard));
    }

    // Function 0x80000000 runs here and again as the first entry of the range.
    CpuidRegisters ext = platform.Cpuid(kCpuidExtendedBase, 0);
    record.highestExtended = ext.eax > kCpuidExtendedBase ? ext.eax : 0;
    if (record.highestExtended != 0) {
        record.highestExtended =
            CollectRange(platform, kCpuidExtendedBase, record.highestExtended, record.extended);
    }

    record.highestTransmeta = 0;
    if (record.vendor == kCpuVendorTransmeta) {
        record.transmetaBase = kCpuidTransmetaBase;
        CpuidRegisters tm = platform.Cpuid(kCpuidTransmetaBase, 0);
        // A highest function below the base would make the range wrap; it means none.
        if (tm.eax >= kCpuidTransmetaBase) {
            record.highestTransmeta =
                CollectRange(platform, kCpuidTransmetaBase, tm.eax, record.transmeta);
        }
    }
}

int CollectCpuidOnProcessor(CpuidRecord& record, uint32_t processor, Platform& platform,
                            UserMessages& messages) {
    bool started = RunOnProcessor(processor, [&record, &platform] {
        if (platform.HasCpuid()) CollectCpuid(record, platform);
    });
    if (!started) {
        messages.ShowMessage("GetCPUIDThread thread Creating Error!");
        return 0;
    }
    return 1;
}

uint64_t ReadMsrUnpinned(DriverClient& client, uint32_t msr) {
    return client.ReadMsr(msr);
}

int WriteMsrUnpinned(DriverClient& client, uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi,
                     uint32_t esi) {
    return client.WriteMsr(msr, eax, edx, edi, esi);
}

uint64_t ReadMsrOnProcessor(DriverClient& client, uint32_t msr, uint32_t processor, bool* served,
                            TransportFailure* failure) {
    uint64_t value = 0;
    bool wasServed = false;
    TransportFailure why = TransportFailure::None;
    if (served != nullptr) *served = false;
    if (failure != nullptr) *failure = TransportFailure::None;
    if (!RunOnProcessor(processor, [&] {
            Reply<uint64_t> read = client.TryReadMsr(processor, msr);
            value = read.value;
            wasServed = read.served();
            why = read.failure;
        })) {
        std::puts("Create msr read thread Error!");
        std::fflush(stdout);
        return 0;
    }
    if (served != nullptr) *served = wasServed;
    if (failure != nullptr) *failure = why;
    return value;
}

int WriteMsrOnProcessor(DriverClient& client, uint32_t msr, uint32_t eax, uint32_t edx,
                        uint32_t edi, uint32_t esi, uint32_t processor) {
    int ok = 0;
    if (!RunOnProcessor(processor,
                        [&] { ok = WriteMsrUnpinned(client, msr, eax, edx, edi, esi) ? 1 : 0; })) {
        std::puts("Create msr read thread Error!");
        std::fflush(stdout);
        return 0;
    }
    return ok;
}

}  // namespace kvt
