// Choice of decoder and the decoders of the standard functions.
#include "tools/cpu/cpuid_decode.h"

#include <cstdarg>
#include <cstdio>

#include "platform/format.h"
#include "tools/cpu/cache_descriptors.h"
#include "tools/cpu/cpuid_decode_util.h"
#include "tools/cpu/cpuid_decoders.h"

namespace kvt {

namespace cpuid_decode {

void Appendf(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(out, format, args);
    va_end(args);
}

const CpuidRegisters* StandardEntry(const CpuidRecord& record, uint32_t function) {
    if (record.highestStandard < 0 || function > static_cast<uint32_t>(record.highestStandard))
        return nullptr;
    if (function >= record.standard.size()) return nullptr;
    return &record.standard[function];
}

const CpuidRegisters* ExtendedEntry(const CpuidRecord& record, uint32_t function) {
    if (record.highestExtended == 0 || function < kExtendedBase ||
        function > record.highestExtended)
        return nullptr;
    uint32_t index = function - kExtendedBase;
    if (index >= record.extended.size()) return nullptr;
    return &record.extended[index];
}

const CpuidRegisters* TransmetaEntry(const CpuidRecord& record, uint32_t function) {
    if (record.highestTransmeta == 0 || function < kTransmetaBase ||
        function > record.highestTransmeta)
        return nullptr;
    uint32_t index = function - kTransmetaBase;
    if (index >= record.transmeta.size()) return nullptr;
    return &record.transmeta[index];
}

}  // namespace cpuid_decode

using namespace cpuid_decode;

namespace {

// Function 0 of the AMD and Transmeta decoders.
void AppendVendorBlock(std::string& out, uint32_t function, const CpuidRegisters& r) {
    Appendf(out, "Standard Function %d:\t\t\"%.4s%.4s%.4s\"\r\n", static_cast<int>(function),
            Chars(r.ebx).c, Chars(r.edx).c, Chars(r.ecx).c);
    Appendf(out, "\tEAX = 0x%08x\tHighest Supported Standard Function\r\n", r.eax);
    Appendf(out, "\tEBX = 0x%08x\t\"%.4s\"\r\n", r.ebx, Chars(r.ebx).c);
    Appendf(out, "\tECX = 0x%08x\t\"%.4s\"\r\n", r.ecx, Chars(r.ecx).c);
    Appendf(out, "\tEDX = 0x%08x\t\"%.4s\"\r\n", r.edx, Chars(r.edx).c);
}

// ---- Intel ----

constexpr FieldLine kIntel1Eax[] = {
    {13, 12, "\t\tBits 13:12\t0x%x\tType\r\n"},
    {11, 8, "\t\tBits 11:8\t\t0x%x\tFamily\r\n"},
    {7, 4, "\t\tBits 7:4\t\t0x%x\tModel\r\n"},
    {3, 0, "\t\tBits 3:0\t\t0x%x\tStepping\r\n"},
};
constexpr FieldLine kIntel1Ebx[] = {
    {7, 0, "\t\tBits 7:0\t\t0x%x\t8-Bit Brand ID\r\n"},
    {15, 8, "\t\tBits 15:8\t\t0x%x\tCLFLUSH Size\r\n"},
    {23, 16, "\t\tBits 23:16\t0x%x\tCount of logical processors\r\n"},
    {31, 24, "\t\tBits 31:24\t0x%x\tAPIC ID\r\n"},
};
constexpr BitLine kIntel1Ecx[] = {
    {0, "\t\tBit 0\t%d\tStreaming SIMD Extensions (SSE3)\r\n"},
    {3, "\t\tBit 3\t%d\tMONITOR/MWAIT\r\n"},
    {4, "\t\tBit 4\t%d\tCPL Qualified Debug Store\r\n"},
    {7, "\t\tBit 7\t%d\tEnhanced SpeedStep Technology\r\n"},
    {8, "\t\tBit 8\t%d\tThermal Monitor 2\r\n"},
    {10, "\t\tBit 10\t%d\tContext ID\r\n"},
    {13, "\t\tBit 13\t%d\tCMPXCHG16B\r\n"},
    {14, "\t\tBit 14\t%d\tSend Task Priority Messages\r\n"},
};
constexpr BitLine kIntel1Edx[] = {
    {0, "\t\tBit 0\t%d\tFloating-Point Unit\r\n"},
    {1, "\t\tBit 1\t%d\tVirtual Mode Extension\r\n"},
    {2, "\t\tBit 2\t%d\tDebugging Extension\r\n"},
    {3, "\t\tBit 3\t%d\tPage Size Extension (4-Mbyte pages)\r\n"},
    {4, "\t\tBit 4\t%d\tTime Stamp Counter\r\n"},
    {5, "\t\tBit 5\t%d\tModel-Specific Registers\r\n"},
    {6, "\t\tBit 6\t%d\tPAE (Physical Address Extension)\r\n"},
    {7, "\t\tBit 7\t%d\tMachine Check Exception\r\n"},
    {8, "\t\tBit 8\t%d\tCMPXCHG8B Instruction\r\n"},
    {9, "\t\tBit 9\t%d\tAPIC\r\n"},
    {11, "\t\tBit 11\t%d\tFast System Call\r\n"},
    {12, "\t\tBit 12\t%d\tMemory Type Range Registers\r\n"},
    {13, "\t\tBit 13\t%d\tPage Global Enable\r\n"},
    {14, "\t\tBit 14\t%d\tMachine Check Architecture\r\n"},
    {15, "\t\tBit 15\t%d\tConditional Move Instruction Supported\r\n"},
    {16, "\t\tBit 16\t%d\tPAT (Page Attribute Table)\r\n"},
    {17, "\t\tBit 17\t%d\tPSE-36 (36-bit Page Size Extension)\r\n"},
    {18, "\t\tBit 18\t%d\tProcessor serial number is present and enabled\r\n"},
    {19, "\t\tBit 19\t%d\tCFLUSH Instruction Supported\r\n"},
    {21, "\t\tBit 21\t%d\tDebug Store\r\n"},
    {22,
     "\t\tBit 22\t%d\tACPI (Thermal Monitor and Software Controlled Clock Facilities "
     "supported\r\n"},
    {23, "\t\tBit 23\t%d\tMMX Instructions\r\n"},
    {24, "\t\tBit 24\t%d\tFast floating point save and restore\r\n"},
    {25, "\t\tBit 25\t%d\tSSE Instructions\r\n"},
    {26, "\t\tBit 26\t%d\tSSE2\r\n"},
    {27, "\t\tBit 27\t%d\tSelf-Snoop\r\n"},
    {28, "\t\tBit 28\t%d\tHyper-Threading Technology\r\n"},
    {29, "\t\tBit 29\t%d\tThermal Monitor supported\r\n"},
    {31, "\t\tBit 31\t%d\tPending Break Enable\r\n"},
};
constexpr FieldLine kIntel4Eax[] = {
    {31, 26, "\t\tBits 31:26\t0x%x\tNumber of processor cores on this die (Multicore)\r\n"},
    {25, 14, "\t\tBits 25:14\t\t0x%x\tNumber of threads sharing this cache\r\n"},
    {13, 10, "\t\tBits 13:10\t\t0x%x\tReserved\r\n"},
    {9, 9, "\t\tBits 9\t\t0x%x\tFully Associative cache\r\n"},
    {8, 8,
     "\t\tBits 8\t\t0x%x\tSelf Initializing cache level (does not need SW initialization)\r\n"},
    {7, 5, "\t\tBits 7:5\t\t0x%x\tCache Level (starts at 1)\r\n"},
    {4, 0, "\t\tBits 4:0\t\t0x%x\tCache Type\r\n"},
};
constexpr FieldLine kIntel4Ebx[] = {
    {31, 22, "\t\tBits 31:22\t0x%x\tWays of associativity\r\n"},
    {21, 12, "\t\tBits 21:12\t0x%x\tPhysical Lin partitions\r\n"},
    {11, 0, "\t\tBits 11:0\t0x%x\tSystem Coherency Line Size\r\n"},
};
constexpr FieldLine kIntel4Ecx[] = {
    {31, 0, "\t\tBits 31:0\t0x%x\tNumber of Sets\r\n"},
};
constexpr FieldLine kIntel5Eax[] = {
    {31, 16, "\t\tBits 31:16\t0x%x\tReserved\r\n"},
    {15, 0, "\t\tBits 15:0\t\t0x%x\tSmallest monitor-line size in bytes\r\n"},
};
constexpr FieldLine kIntel5Ebx[] = {
    {31, 16, "\t\tBits 31:16\t0x%x\tReserved\r\n"},
    {15, 0, "\t\tBits 15:0\t\t0x%x\tLargest monitor-line size in bytes\r\n"},
};

// Descriptor lines of one register of function 2: none when bit 31 says the register holds
// no descriptors; EAX leaves out its low byte, the count of executions.
void AppendDescriptors(std::string& out, uint32_t value, bool isEax) {
    if (Bit(value, 31) != 0) return;
    DescribeCacheDescriptor(out, value, 31, 24);
    DescribeCacheDescriptor(out, value, 23, 16);
    DescribeCacheDescriptor(out, value, 15, 8);
    if (!isEax) DescribeCacheDescriptor(out, value, 7, 0);
}

// ---- AMD ----

constexpr FieldLine kAmd1Eax[] = {
    {11, 8, "\t\tBits 11:8\t 0x%x\tFamily\r\n"},
    {7, 4, "\t\tBits 7:4\t 0x%x\tModel\r\n"},
    {3, 0, "\t\tBits 3:0\t 0x%x\tStepping\r\n"},
};
constexpr FieldLine kAmd1Ebx[] = {
    {7, 0, "\t\tBits 7:0\t 0x%x\t8-Bit Brand ID\r\n"},
    {15, 8, "\t\tBits 15:8\t 0x%x\tCLFLUSH Size\r\n"},
    {31, 24, "\t\tBits 31:24 0x%x\tInitial APIC_ID\r\n"},
};
constexpr BitLine kAmd1Ecx[] = {
    {0, "\t\tBit 0\t %d\tSSE3 Instruction\r\n"},
    {13, "\t\tBit 13\t %d\tCMPXCHG16B Instruction.\r\n"},
};
constexpr BitLine kAmd1Edx[] = {
    {0, "\t\tBit 0\t %d\tFloating-Point Unit\r\n"},
    {1, "\t\tBit 1\t %d\tVirtual Mode Extensions\r\n"},
    {2, "\t\tBit 2\t %d\tDebugging Extensions\r\n"},
    {3, "\t\tBit 3\t %d\tPage Size Extensions (4-Mbyte pages)\r\n"},
    {4, "\t\tBit 4\t %d\tTime Stamp Counter\r\n"},
    {5, "\t\tBit 5\t %d\tModel-Specific Registers\r\n"},
    {6, "\t\tBit 6\t %d\tPAE (Page Address Extensions)\r\n"},
    {7, "\t\tBit 7\t %d\tMachine Check Exception\r\n"},
    {8, "\t\tBit 8\t %d\tCMPXCHG8B Instruction\r\n"},
    {9, "\t\tBit 9\t %d\tAPIC\r\n"},
    {11, "\t\tBit 11\t %d\tSYSENTER/SYSEXIT\r\n"},
    {12, "\t\tBit 12\t %d\tMemory Type Range Registers\r\n"},
    {13, "\t\tBit 13\t %d\tGlobal Paging Extension\r\n"},
    {14, "\t\tBit 14\t %d\tMachine Check Architecture\r\n"},
    {15, "\t\tBit 15\t %d\tConditional Move Instruction\r\n"},
    {16, "\t\tBit 16\t %d\tPAT (Page Attribute Table)\r\n"},
    {17, "\t\tBit 17\t %d\tPSE-36 (Page Size Extensions)\r\n"},
    {19, "\t\tBit 19\t %d\tCFLUSH Instruction\r\n"},
    {23, "\t\tBit 23\t %d\tMMX Instructions\r\n"},
    {24, "\t\tBit 24\t %d\tFXSAVE/FXRSTOR\r\n"},
    {25, "\t\tBit 25\t %d\tSSE Instructions\r\n"},
    {26, "\t\tBit 26\t %d\tSSE2\r\n"},
    {28, "\t\tBit 28\t %d\tHyper-Threading Technology (HTT)\r\n"},
};

// ---- Transmeta ----

constexpr FieldLine kTransmeta1Eax[] = {
    {13, 12, "\t\tBits 13:12\t0x%x\tType\r\n"},
    {11, 8, "\t\tBits 11:8\t0x%x\tFamily\r\n"},
    {7, 4, "\t\tBits 7:4\t0x%x\tModel\r\n"},
    {3, 0, "\t\tBits 3:0\t0x%x\tStepping\r\n"},
};
constexpr FieldLine kTransmeta1Ebx[] = {
    {7, 0, "\t\tBits 7:0\t0x%x\t8-Bit Brand ID\r\n"},
    {15, 8, "\t\tBits 15:8\t0x%x\tCLFLUSH Size\r\n"},
    {23, 16, "\t\tBits 23:16\t0x%x\tCount of logical processors\r\n"},
    {31, 24, "\t\tBits 31:24\t0x%x\tAPIC ID\r\n"},
};
constexpr BitLine kTransmeta1Edx[] = {
    {0, "\t\tBit 0\t%d\tFloating-Point Unit\r\n"},
    {1, "\t\tBit 1\t%d\tVirtual Mode Extension\r\n"},
    {2, "\t\tBit 2\t%d\tDebugging Extension\r\n"},
    {3, "\t\tBit 3\t%d\tPage Size Extension (4-Mbyte pages)\r\n"},
    {4, "\t\tBit 4\t%d\tTime Stamp Counter\r\n"},
    {5, "\t\tBit 5\t%d\tModel-Specific Registers\r\n"},
    {8, "\t\tBit 8\t%d\tCMPXCHG8B Instruction\r\n"},
    {11, "\t\tBit 11\t%d\tFast System Call\r\n"},
    {15, "\t\tBit 15\t%d\tConditional Move Instruction Supported\r\n"},
    {18, "\t\tBit 18\t%d\tProcessor serial number is present and enabled\r\n"},
    {23, "\t\tBit 23\t%d\tMMX Instructions\r\n"},
};

}  // namespace

std::string DecodeIntelStandard(const CpuidRecord& record, uint32_t function) {
    std::string out;
    const CpuidRegisters* entry = StandardEntry(record, function);
    if (entry == nullptr) return out;
    const CpuidRegisters& r = *entry;
    const int number = static_cast<int>(function);
    switch (function) {
        case 0:
            Appendf(out, "Standard Function %d:\t\t\"%.4s%.4s%.4s\"\r\r\n", number, Chars(r.ebx).c,
                    Chars(r.edx).c, Chars(r.ecx).c);
            Appendf(out, "\tEAX = 0x%08x\t\tHighest Supported Standard Function\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\t\t\"%.4s\"\r\n", r.ebx, Chars(r.ebx).c);
            Appendf(out, "\tECX = 0x%08x\t\t\"%.4s\"\r\n", r.ecx, Chars(r.ecx).c);
            Appendf(out, "\tEDX = 0x%08x\t\t\"%.4s\"\r\n", r.edx, Chars(r.edx).c);
            break;
        case 1:
            Appendf(out, "Standard Function %d:\r\n", number);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kIntel1Eax);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kIntel1Ebx);
            Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            AppendBitLines(out, r.ecx, kIntel1Ecx);
            Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            AppendBitLines(out, r.edx, kIntel1Edx);
            break;
        case 2:
            Appendf(out, "Standard Function %d:\tCache Size, Format and TLB Information\r\n",
                    number);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendDescriptors(out, r.eax, true);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            AppendDescriptors(out, r.ebx, false);
            Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            AppendDescriptors(out, r.ecx, false);
            Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            AppendDescriptors(out, r.edx, false);
            break;
        case 3:
            Appendf(out, "Standard Function %d:\tPROCESSOR SERIAL NUMBER\r\n", number);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            Appendf(out, "\tECX = 0x%08x\tBits 31-00 of the 96 bit processor serial number\r\n",
                    r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tBits 63-32 of the 96 bit processor serial number\r\n",
                    r.edx);
            break;
        case 4:
            Appendf(out, "Standard Function %d:\r\n", number);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kIntel4Eax);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kIntel4Ebx);
            Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            AppendFieldLines(out, r.ecx, kIntel4Ecx);
            Appendf(out, "\tEDX = 0x%08x\tReserved\r\n", r.edx);
            break;
        case 5:
            Appendf(out, "Standard Function %d:\r\n", number);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kIntel5Eax);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kIntel5Ebx);
            Appendf(out, "\tECX = 0x%08x\tReserved\r\n", r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tReserved\r\n", r.edx);
            break;
        default:
            break;
    }
    return out;
}

std::string DecodeAmdStandard(const CpuidRecord& record, uint32_t function) {
    std::string out;
    const CpuidRegisters* entry = StandardEntry(record, function);
    if (entry == nullptr) return out;
    const CpuidRegisters& r = *entry;
    switch (function) {
        case 0:
            AppendVendorBlock(out, function, r);
            break;
        case 1:
            Appendf(out, "Standard Function %d:\r\n", static_cast<int>(function));
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kAmd1Eax);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kAmd1Ebx);
            Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            AppendBitLines(out, r.ecx, kAmd1Ecx);
            Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            AppendBitLines(out, r.edx, kAmd1Edx);
            break;
        default:
            break;
    }
    return out;
}

std::string DecodeTransmetaStandard(const CpuidRecord& record, uint32_t function) {
    std::string out;
    const CpuidRegisters* entry = StandardEntry(record, function);
    if (entry == nullptr) return out;
    const CpuidRegisters& r = *entry;
    const int number = static_cast<int>(function);
    switch (function) {
        case 0:
            AppendVendorBlock(out, function, r);
            break;
        case 1:
            Appendf(out, "Standard Function %d:\r\n", number);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kTransmeta1Eax);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kTransmeta1Ebx);
            Appendf(out, "\tECX = 0x%08x\tReserved\r\n", r.ecx);
            Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            AppendBitLines(out, r.edx, kTransmeta1Edx);
            break;
        case 2:
            Appendf(out, "Standard Function %d:\tReserved\r\n", number);
            break;
        case 3:
            Appendf(out, "Standard Function %d:\tProcessor Serial Number\r\n", number);
            Appendf(out, "\tEAX = 0x%08x\tBits 127-96 of the 96 bit processor serial number\r\n",
                    r.eax);
            Appendf(out, "\tEBX = 0x%08x\tBits 95-64 of the 96 bit processor serial number\r\n",
                    r.ebx);
            Appendf(out, "\tECX = 0x%08x\tBits 63-32 of the 96 bit processor serial number\r\n",
                    r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tBits 31-0 of the 96 bit processor serial number\r\n",
                    r.edx);
            break;
        default:
            break;
    }
    return out;
}

std::vector<CpuidFieldName> CpuidFieldNames(uint32_t vendor, uint32_t function, int reg) {
    std::vector<CpuidFieldName> out;
    if (function >= kExtendedBase) {
        AppendExtendedFieldNames(out, vendor, function, reg);
        return out;
    }
    if (function == 1 && vendor == kCpuVendorIntel) {
        if (reg == 0) AppendNames(out, kIntel1Eax);
        if (reg == 1) AppendNames(out, kIntel1Ebx);
        if (reg == 2) AppendNames(out, kIntel1Ecx);
        if (reg == 3) AppendNames(out, kIntel1Edx);
    } else if (function == 4 && vendor == kCpuVendorIntel) {
        if (reg == 0) AppendNames(out, kIntel4Eax);
        if (reg == 1) AppendNames(out, kIntel4Ebx);
        if (reg == 2) AppendNames(out, kIntel4Ecx);
    } else if (function == 5 && vendor == kCpuVendorIntel) {
        if (reg == 0) AppendNames(out, kIntel5Eax);
        if (reg == 1) AppendNames(out, kIntel5Ebx);
    } else if (function == 1 && vendor == kCpuVendorAmd) {
        if (reg == 0) AppendNames(out, kAmd1Eax);
        if (reg == 1) AppendNames(out, kAmd1Ebx);
        if (reg == 2) AppendNames(out, kAmd1Ecx);
        if (reg == 3) AppendNames(out, kAmd1Edx);
    } else if (function == 1 && vendor == kCpuVendorTransmeta) {
        if (reg == 0) AppendNames(out, kTransmeta1Eax);
        if (reg == 1) AppendNames(out, kTransmeta1Ebx);
        if (reg == 3) AppendNames(out, kTransmeta1Edx);
    }
    return out;
}

std::string DecodeCpuidFunction(const CpuidRecord& record, uint32_t function) {
    using Decoder = std::string (*)(const CpuidRecord&, uint32_t);
    Decoder standard = nullptr;
    Decoder extended = nullptr;
    switch (record.vendor) {
        case kCpuVendorIntel:
            standard = DecodeIntelStandard;
            extended = DecodeIntelExtended;
            break;
        case kCpuVendorAmd:
            standard = DecodeAmdStandard;
            extended = DecodeAmdExtended;
            break;
        case kCpuVendorTransmeta:
            standard = DecodeTransmetaStandard;
            extended = DecodeTransmetaExtended;
            break;
        default:
            return {};  // VIA and unrecognised vendors: nothing is explained
    }
    if (function < kExtendedBase) return standard(record, function);
    // The Transmeta range is the narrower one; test it first so that it wins should a record
    // ever report extended functions reaching into it.
    if (record.vendor == kCpuVendorTransmeta && TransmetaEntry(record, function) != nullptr)
        return DecodeTransmetaFunction(record, function);
    return extended(record, function);
}

}  // namespace kvt
