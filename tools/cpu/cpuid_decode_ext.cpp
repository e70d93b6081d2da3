// Decoders of the extended functions (0x80000000 up) and the Transmeta functions
// (0x80860000 up).
#include "tools/cpu/cpuid_decode_util.h"
#include "tools/cpu/cpuid_decoders.h"

namespace kvt {

using namespace cpuid_decode;

namespace {

constexpr const char* kRegisterStringLines[4] = {
    "\t0x%x.EAX = 0x%08x\t\"%.4s\"\r\n",
    "\t0x%x.EBX = 0x%08x\t\"%.4s\"\r\n",
    "\t0x%x.ECX = 0x%08x\t\"%.4s\"\r\n",
    "\t0x%x.EDX = 0x%08x\t\"%.4s\"\r\n",
};

// A string spread over the registers of consecutive functions first..last: the heading with
// the whole string, then one line per register. Empty when the record lacks any of them.
std::string StringBlock(const CpuidRecord& record, const char* heading, uint32_t first,
                        uint32_t last,
                        const CpuidRegisters* (*entryOf)(const CpuidRecord&, uint32_t)) {
    std::string out;
    for (uint32_t f = first; f <= last; ++f) {
        if (entryOf(record, f) == nullptr) return out;
    }
    Appendf(out, heading, first, last);
    for (uint32_t f = first; f <= last; ++f) {
        const CpuidRegisters& r = *entryOf(record, f);
        Appendf(out, "%.4s%.4s%.4s%.4s", Chars(r.eax).c, Chars(r.ebx).c, Chars(r.ecx).c,
                Chars(r.edx).c);
    }
    out += "\"\r\n";
    for (uint32_t f = first; f <= last; ++f) {
        const CpuidRegisters& r = *entryOf(record, f);
        const uint32_t values[4] = {r.eax, r.ebx, r.ecx, r.edx};
        for (int i = 0; i < 4; ++i)
            Appendf(out, kRegisterStringLines[i], f, values[i], Chars(values[i]).c);
    }
    return out;
}

std::string NameStringBlock(const CpuidRecord& record) {
    return StringBlock(record, "Extended Function 0x%x-0x%x:\t\"", 0x80000002, 0x80000004,
                       ExtendedEntry);
}

std::string InformationStringBlock(const CpuidRecord& record) {
    return StringBlock(record, "Transmeta Function 0x%x-0x%x:\t\"", 0x80860003, 0x80860006,
                       TransmetaEntry);
}

// EBX, ECX and EDX each with its four characters.
void AppendRegisterCharLines(std::string& out, const CpuidRegisters& r) {
    Appendf(out, "\tEBX = 0x%08x\t\"%.4s\"\r\n", r.ebx, Chars(r.ebx).c);
    Appendf(out, "\tECX = 0x%08x\t\"%.4s\"\r\n", r.ecx, Chars(r.ecx).c);
    Appendf(out, "\tEDX = 0x%08x\t\"%.4s\"\r\n", r.edx, Chars(r.edx).c);
}

// ---- Intel ----

constexpr BitLine kIntel81Ecx[] = {
    {20, "\t\tBit 20\t%d\tLAHF/SAHF\r\n"},
};
constexpr BitLine kIntel81Edx[] = {
    {11, "\t\tBit 11\t%d\tSYSCALL/SYSRET\r\n"},
    {20, "\t\tBit 20\t%d\tExecution Disable Bit\r\n"},
    {29, "\t\tBit 29\t%d\tIntel (R) Extended Memory 64 Technology\r\n"},
};
constexpr FieldLine kIntel86Ecx[] = {
    {31, 16, "\t\tBits 31:16\t0x%x\tL2 Cache Size in 1-K units\r\n"},
    {15, 12, "\t\tBits 15:12\t\t0x%x\tL2 Cache Associativity\r\n"},
    {11, 8, "\t\tBits 11:8\t\t0x%x\tReserved\r\n"},
    {7, 0, "\t\tBits 7:0\t\t0x%x\tL2 Cache Line Size\r\n"},
};
constexpr FieldLine kIntel88Eax[] = {
    {31, 16, "\t\tBits 31:16\t0x%x\tReserved\r\n"},
    {15, 8, "\t\tBits 15:8\t\t0x%x\tVirtual Address Size (# of bits)\r\n"},
    {7, 0, "\t\tBits 7:0\t\t0x%x\tPhysical Address Size (# of bits)\r\n"},
};

// ---- AMD ----

constexpr FieldLine kAmd81Eax[] = {
    {11, 8, "\t\tBits 11:8\t0x%x\tFamily\r\n"},
    {7, 4, "\t\tBits 7:4\t0x%x\tModel\r\n"},
    {3, 0, "\t\tBits 3:0\t0x%x\tStepping\r\n"},
};
constexpr FieldLine kAmd81Ebx[] = {
    {11, 0, "\t\tBits 11:0\t 0x%x\t12-Bit Brand ID\r\n"},
};
constexpr BitLine kAmd81Ecx[] = {
    {0, "\t\tBit 0\t%d\tLAHF/SAHF Supported in 64-Bit Mode\r\n"},
    {1, "\t\tBit 1\t%d\tCMP Legacy\r\n"},
    {4, "\t\tBit 4\t%d\tCR8 Available in Legacy Mode\r\n"},
};
constexpr BitLine kAmd81Edx[] = {
    {0, "\t\tBit 0\t%d\tFloating-Point Unit\r\n"},
    {1, "\t\tBit 1\t%d\tVirtual Mode Extensions\r\n"},
    {2, "\t\tBit 2\t%d\tDebugging Extensions\r\n"},
    {3, "\t\tBit 3\t%d\tPage Size Extensions (4-Mbyte pages)\r\n"},
    {4, "\t\tBit 4\t%d\tTime Stamp Counter\r\n"},
    {5, "\t\tBit 5\t%d\tModel-Specific Registers\r\n"},
    {6, "\t\tBit 6\t%d\tPAE (Page Address Extensions)\r\n"},
    {7, "\t\tBit 7\t%d\tMachine Check Exception\r\n"},
    {8, "\t\tBit 8\t%d\tCMPXCHG8B Instruction\r\n"},
    {9, "\t\tBit 9\t%d\tAPIC\r\n"},
    {11, "\t\tBit 11\t%d\tSYSCALL and SYSRET\r\n"},
    {12, "\t\tBit 12\t%d\tMemory Type Range Registers\r\n"},
    {13, "\t\tBit 13\t%d\tGlobal Paging Extension\r\n"},
    {14, "\t\tBit 14\t%d\tMachine Check Architecture\r\n"},
    {15, "\t\tBit 15\t%d\tConditional Move Instruction\r\n"},
    {16, "\t\tBit 16\t%d\tPAT (Page Attribute Table)\r\n"},
    {17, "\t\tBit 17\t%d\tPSE-36 (Page Size Extensions)\r\n"},
    {20, "\t\tBit 20\t%d\tNo-execute Page Protection (NX)\r\n"},
    {22, "\t\tBit 22\t%d\tMMX Instruction Extensions\r\n"},
    {23, "\t\tBit 23\t%d\tMMX Instructions\r\n"},
    {24, "\t\tBit 24\t%d\tFXSAVE/FXRSTOR\r\n"},
    {25, "\t\tBit 25\t%d\tFast FXSAVE/FXRSTOR\r\n"},
    {27, "\t\tBit 27\t%d\tRDTSCP Instruction.\r\n"},
    {29, "\t\tBit 29\t%d\tLong Mode Capable (LM)\r\n"},
    {30, "\t\tBit 30\t%d\t3DNow! Instruction Extensions\r\n"},
    {31, "\t\tBit 31\t%d\t3DNow! Instructions\r\n"},
};
// Function 0x80000005: EAX and EBX describe TLBs, ECX and EDX caches, all in four bytes.
constexpr FieldLine kAmd85Tlb[] = {
    {7, 0, "\t\tBit 7:0\t0x%x\tInstruction TLB #Entries\r\n"},
    {15, 8, "\t\tBit 15:8\t0x%x\tInstruction TLB Associativity\r\n"},
    {23, 16, "\t\tBit 23:16\t0x%x\tData TLB #Entries\r\n"},
    {31, 24, "\t\tBit 31:24\t0x%x\tData TLB Associativity\r\n"},
};
constexpr FieldLine kAmd85Cache[] = {
    {7, 0, "\t\tBit 7:0\t0x%x\tLine Size (bytes)\r\n"},
    {15, 8, "\t\tBit 15:8\t0x%x\tLines per Tag\r\n"},
    {23, 16, "\t\tBit 23:16\t0x%x\tAssociativity\r\n"},
    {31, 24, "\t\tBit 31:24\t0x%x\tSize (Kbytes)\r\n"},
};
constexpr FieldLine kAmd86Tlb[] = {
    {11, 0, "\t\tBit 11:0\t0x%x\tInstruction TLB #Entries\r\n"},
    {15, 12, "\t\tBit 15:12\t0x%x\tInstruction TLB Associativity\r\n"},
    {27, 16, "\t\tBit 27:16\t0x%x\tData TLB #Entries\r\n"},
    {31, 28, "\t\tBit 31:28\t0x%x\tData TLB Associativity\r\n"},
};
constexpr FieldLine kAmd86Ecx[] = {
    {7, 0, "\t\tBit 7:0\t0x%x\tLine Size (bytes)\r\n"},
    {11, 8, "\t\tBit 11:8\t0x%x\tLines per Tag\r\n"},
    {15, 12, "\t\tBit 15:12\t0x%x\tAssociativity\r\n"},
    {31, 16, "\t\tBit 31:16\t0x%x\tSize (Kbytes)\r\n"},
};
constexpr FieldLine kAmd87Edx[] = {
    {0, 0, "\t\tBit 0\t\t0x%x\tTemperature Sensor\r\n"},
    {1, 1, "\t\tBit 1\t\t0x%x\tFrequency ID Control\r\n"},
    {2, 2, "\t\tBit 2\t\t0x%x\tVoltage ID Control\r\n"},
    {3, 3, "\t\tBit 3\t\t0x%x\tThermal Trip\r\n"},
    {4, 4, "\t\tBit 4\t\t0x%x\tThermal Monitoring\r\n"},
    {5, 5, "\t\tBit 5\t\t0x%x\tSoftware Thermal Control\r\n"},
};
constexpr FieldLine kAmd88Eax[] = {
    {7, 0, "\t\tBit 7:0\t0x%x\tMaximum Physical Address Width\r\n"},
    {15, 8, "\t\tBit 15:8\t0x%x\tMaximum Virtual Address Width\r\n"},
    {31, 16, "\t\tBit 31:16\t0x%x\tReserved\r\n"},
};
constexpr FieldLine kAmd88Ecx[] = {
    {7, 0, "\t\tBit 7:0\t0x%x\tPhysical Core Count\r\n"},
    {31, 8, "\t\tBit 31:8\t0x%x\tReserved\r\n"},
};

// ---- Transmeta ----

constexpr FieldLine kTransmetaSignature[] = {
    {13, 12, "\t\tBits 13:12\t0x%x\tType\r\n"},
    {11, 8, "\t\tBits 11:8\t0x%x\tFamily\r\n"},
    {7, 4, "\t\tBits 7:4\t0x%x\tModel\r\n"},
    {3, 0, "\t\tBits 3:0\t0x%x\tStepping\r\n"},
};
constexpr BitLine kTransmeta81Edx[] = {
    {0, "\t\tBit 0\t%d\tFloating-Point Unit\r\n"},
    {1, "\t\tBit 1\t%d\tVirtual Mode Extensions\r\n"},
    {2, "\t\tBit 2\t%d\tDebugging Extensions\r\n"},
    {3, "\t\tBit 3\t%d\tPage Size Extensions (4-Mbyte pages)\r\n"},
    {4, "\t\tBit 4\t%d\tTime Stamp Counter\r\n"},
    {5, "\t\tBit 5\t%d\tModel-Specific Registers\r\n"},
    {8, "\t\tBit 8\t%d\tCMPXCHG8B Instruction\r\n"},
    {15, "\t\tBit 15\t%d\tConditional Move Instruction\r\n"},
    {16, "\t\tBit 16\t%d\tFP Conditional Move Instructions\r\n"},
    {23, "\t\tBit 23\t%d\tMMX Instructions\r\n"},
};
constexpr BitLine kTransmetaFeatures[] = {
    {0, "\t\tBit 0\t%d\tRecovery CMS is active (after a bad flash)\r\n"},
    {1, "\t\tBit 1\t%d\tLongRun\r\n"},
    {3, "\t\tBit 3\t%d\tLongRun Table Interface (CMS 4.2)\r\n"},
};

constexpr uint32_t kL2Cache256K = 0x01004180;
constexpr uint32_t kL2Cache512K = 0x02004180;

// The L2 size in Kbytes that extended function 0x80000006 reports on the known Transmeta
// processors; 0 when it reports another value or the record does not hold the function.
int TransmetaL2Size(const CpuidRecord& record) {
    const CpuidRegisters* l2 = ExtendedEntry(record, 0x80000006);
    if (l2 == nullptr) return 0;
    if (l2->ecx == kL2Cache256K) return 256;
    if (l2->ecx == kL2Cache512K) return 512;
    return 0;
}

// The EBX line of function 0x80860001, chosen by the processor class and the L2 size.
void AppendTransmetaClassLine(std::string& out, uint32_t ebx, int l2Size) {
    switch (ebx & 0xFFFF0000) {
        case 0x01010000:
            Appendf(out, "\tEBX = 0x%08x\tTM3200\r\n", ebx);
            break;
        case 0x01020000:
            Appendf(out, "\tEBX = 0x%08x\tTM5400\r\n", ebx);
            break;
        case 0x01030000:
            if (l2Size == 256)
                Appendf(out, "\tEBX = 0x%08x\tTM5400\r\n", ebx);
            else if (l2Size == 512)
                Appendf(out, "\tEBX = 0x%08x\tTM5600\r\n", ebx);
            else
                Appendf(out, "\tEBX = 0x%08x\r\n", ebx);
            break;
        case 0x01040000:
        case 0x01050000:
            if (l2Size == 256)
                Appendf(out, "\tEBX = 0x%08x\tTM5500\r\n", ebx);
            else if (l2Size == 512)
                Appendf(out, "\tEBX = 0x%08x\tTM5800\r\n", ebx);
            else
                Appendf(out, "\tEBX = 0x%08x\r\n", ebx);
            break;
        case 0x02000000:
            Appendf(out,
                    "\tEBX = 0x%08x\tRefer to function 8086_0002h, register EAX for processor Rev "
                    "ID\r\n",
                    ebx);
            break;
        default:
            break;  // unknown class: no EBX line
    }
}

}  // namespace

void cpuid_decode::AppendExtendedFieldNames(std::vector<CpuidFieldName>& out, uint32_t vendor,
                                            uint32_t function, int reg) {
    if (vendor == kCpuVendorIntel) {
        if (function == 0x80000001 && reg == 2) AppendNames(out, kIntel81Ecx);
        if (function == 0x80000001 && reg == 3) AppendNames(out, kIntel81Edx);
        if (function == 0x80000006 && reg == 2) AppendNames(out, kIntel86Ecx);
        if (function == 0x80000008 && reg == 0) AppendNames(out, kIntel88Eax);
    } else if (vendor == kCpuVendorAmd) {
        if (function == 0x80000001 && reg == 0) AppendNames(out, kAmd81Eax);
        if (function == 0x80000001 && reg == 1) AppendNames(out, kAmd81Ebx);
        if (function == 0x80000001 && reg == 2) AppendNames(out, kAmd81Ecx);
        if (function == 0x80000001 && reg == 3) AppendNames(out, kAmd81Edx);
        if (function == 0x80000005 && reg <= 1) AppendNames(out, kAmd85Tlb);
        if (function == 0x80000005 && reg >= 2) AppendNames(out, kAmd85Cache);
        if (function == 0x80000006 && reg <= 1) AppendNames(out, kAmd86Tlb);
        if (function == 0x80000006 && reg == 2) AppendNames(out, kAmd86Ecx);
        if (function == 0x80000007 && reg == 3) AppendNames(out, kAmd87Edx);
        if (function == 0x80000008 && reg == 0) AppendNames(out, kAmd88Eax);
        if (function == 0x80000008 && reg == 2) AppendNames(out, kAmd88Ecx);
    } else if (vendor == kCpuVendorTransmeta) {
        if (function == 0x80000001 && reg == 0) AppendNames(out, kTransmetaSignature);
        if (function == 0x80000001 && reg == 3) AppendNames(out, kTransmeta81Edx);
        if (function == 0x80860001 && reg == 0) AppendNames(out, kTransmetaSignature);
        if (function == 0x80860001 && reg == 3) AppendNames(out, kTransmetaFeatures);
    }
}

std::string DecodeIntelExtended(const CpuidRecord& record, uint32_t function) {
    std::string out;
    const CpuidRegisters* entry = ExtendedEntry(record, function);
    if (entry == nullptr) return out;
    const CpuidRegisters& r = *entry;
    switch (function) {
        case 0x80000000:
            Appendf(out, "Extended Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tLargest Extended Function\r\n", r.eax);
            break;
        case 0x80000001:
            Appendf(out, "Extended Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tReserved\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\tReserved\r\n", r.ebx);
            Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            AppendBitLines(out, r.ecx, kIntel81Ecx);
            Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            AppendBitLines(out, r.edx, kIntel81Edx);
            break;
        case 0x80000002:
        case 0x80000003:
        case 0x80000004:
            out = NameStringBlock(record);
            break;
        case 0x80000006:
            Appendf(out, "Extended Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tReserved\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\tReserved\r\n", r.ebx);
            Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            AppendFieldLines(out, r.ecx, kIntel86Ecx);
            break;
        case 0x80000007:
            Appendf(out, "\tEAX = 0x%08x\tReserved\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\tReserved\r\n", r.ebx);
            Appendf(out, "\tECX = 0x%08x\tReserved\r\n", r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tReserved\r\n", r.edx);
            break;
        case 0x80000008:
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kIntel88Eax);
            Appendf(out, "\tEBX = 0x%08x\tReserved\r\n", r.ebx);
            Appendf(out, "\tECX = 0x%08x\tReserved\r\n", r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tReserved\r\n", r.edx);
            break;
        default:
            break;  // 0x80000005 and everything above 0x80000008
    }
    return out;
}

std::string DecodeAmdExtended(const CpuidRecord& record, uint32_t function) {
    std::string out;
    const CpuidRegisters* entry = ExtendedEntry(record, function);
    if (entry == nullptr) return out;
    const CpuidRegisters& r = *entry;
    switch (function) {
        case 0x80000000:
            Appendf(out, "Extended Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tLargest Extended Function\r\n", r.eax);
            break;
        case 0x80000001:
            Appendf(out, "Extended Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kAmd81Eax);
            Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kAmd81Ebx);
            Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            AppendBitLines(out, r.ecx, kAmd81Ecx);
            Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            AppendBitLines(out, r.edx, kAmd81Edx);
            break;
        case 0x80000002:
        case 0x80000003:
        case 0x80000004:
            out = NameStringBlock(record);
            break;
        case 0x80000005:
            Appendf(out, "Extended Function 0x%x:\tL1 Cache and L1 TLB Information\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tTwo-Mbyte/4-Mbyte Pages\r\n", r.eax);
            AppendFieldLines(out, r.eax, kAmd85Tlb);
            Appendf(out, "\tEBX = 0x%08x\tFour-Kbyte Pages\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kAmd85Tlb);
            Appendf(out, "\tECX = 0x%08x\tL1 Data Cache\r\n", r.ecx);
            AppendFieldLines(out, r.ecx, kAmd85Cache);
            Appendf(out, "\tEDX = 0x%08x\tL1 Instruction Cache\r\n", r.edx);
            AppendFieldLines(out, r.edx, kAmd85Cache);
            break;
        case 0x80000006:
            Appendf(out, "Extended Function 0x%x:\tL2 Cache and L2 TLB Information\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tTwo-Mbyte/4-Mbyte Pages\r\n", r.eax);
            AppendFieldLines(out, r.eax, kAmd86Tlb);
            Appendf(out, "\tEBX = 0x%08x\tFour-Kbyte Pages\r\n", r.ebx);
            AppendFieldLines(out, r.ebx, kAmd86Tlb);
            Appendf(out, "\tECX = 0x%08x\tL2 Cache\r\n", r.ecx);
            AppendFieldLines(out, r.ecx, kAmd86Ecx);
            break;
        case 0x80000007:
            Appendf(out, "Extended Function 0x%x:\tAdvanced Power Management Feature Flags\r\n",
                    function);
            Appendf(out, "\tEDX = 0x%08x\tAdvanced Power Management Feature Flags\r\n", r.edx);
            AppendFieldLines(out, r.edx, kAmd87Edx);
            out += "\t\tBit 31:62\t\tReserved\r\n";
            break;
        case 0x80000008:
            Appendf(out,
                    "Extended Function 0x%x:\tMaximum Address Sizes and Number of CPU Cores\r\n",
                    function);
            Appendf(out, "\tEAX = 0x%08x\tMax Physical and Linear Address Width\r\n", r.eax);
            AppendFieldLines(out, r.eax, kAmd88Eax);
            Appendf(out, "\tEBX = 0x%08x\tReserved\r\n", r.ebx);
            Appendf(out, "\tECX = 0x%08x\tPhysical Core Count\r\n", r.ecx);
            AppendFieldLines(out, r.ecx, kAmd88Ecx);
            Appendf(out, "\tEDX = 0x%08x\tReserved\r\n", r.edx);
            break;
        default:
            if (function >= 0x80000009 && function <= 0x80000018)
                Appendf(out, "Extended Function 0x%x:\tReserved\r\n", function);
            break;
    }
    return out;
}

std::string DecodeTransmetaExtended(const CpuidRecord& record, uint32_t function) {
    std::string out;
    const CpuidRegisters* entry = ExtendedEntry(record, function);
    if (entry == nullptr) return out;
    const CpuidRegisters& r = *entry;
    switch (function) {
        case 0x80000000:
            Appendf(out, "Extended Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tLargest Extended Function\r\n", r.eax);
            AppendRegisterCharLines(out, r);
            break;
        case 0x80000001:
            Appendf(out, "Extended Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kTransmetaSignature);
            Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            AppendBitLines(out, r.edx, kTransmeta81Edx);
            break;
        case 0x80000002:
        case 0x80000003:
        case 0x80000004:
            out = NameStringBlock(record);
            break;
        case 0x80000005:
            Appendf(out, "Extended Function 0x%x:\tL1 Cache and L1 TLB Information\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tReserved\r\n", r.eax);
            if (r.ebx == 0x04FF04FF)
                Appendf(out,
                        "\tEBX = 0x%08x\t4-way 256 entry data TLB, 4-way 256 entry code TLB\r\n",
                        r.ebx);
            else
                Appendf(out, "\tEBX = 0x%08x\r\n", r.ebx);
            if (r.ecx == 0x40100120)
                Appendf(out,
                        "\tECX = 0x%08x\t64 KB 16-way 1 line/tag 32 bytes/line L1 data cache "
                        "(TM5x00)\r\n",
                        r.ecx);
            else if (r.ecx == 0x20080120)
                Appendf(out,
                        "\tECX = 0x%08x\t32 KB 8-way 1 line/tag 32 bytes/line L1 data cache "
                        "(TM3x00)\r\n",
                        r.ecx);
            else
                Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            if (r.edx == 0x40080140)
                Appendf(out,
                        "\tEDX = 0x%08x\t64 KB 8-way 1 line/tag 64 bytes/line L1 code cache\r\n",
                        r.edx);
            else
                Appendf(out, "\tEDX = 0x%08x\r\n", r.edx);
            break;
        case 0x80000006:
            Appendf(out, "Extended Function 0x%x:\tL2 Cache and L2 TLB Information\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tReserved\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\tReserved\r\n", r.ebx);
            if (r.ecx == 0)
                Appendf(out, "\tECX = 0x%08x\tno integrated L2 cache (TM3200)\r\n", r.ecx);
            else if (r.ecx == kL2Cache256K)
                Appendf(out,
                        "\tECX = 0x%08x\t256 KB 4-way 1 line/tag 128 bytes/line L2 cache "
                        "(TM5400/TM5500)\r\n",
                        r.ecx);
            else if (r.ecx == kL2Cache512K)
                Appendf(out,
                        "\tECX = 0x%08x\t512 KB 4-way 1 line/tag 128 bytes/line L2 cache "
                        "(TM5600/TM5800)\r\n",
                        r.ecx);
            else
                Appendf(out, "\tECX = 0x%08x\r\n", r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tReserved\r\n", r.edx);
            break;
        default:
            break;
    }
    return out;
}

std::string DecodeTransmetaFunction(const CpuidRecord& record, uint32_t function) {
    std::string out;
    const CpuidRegisters* entry = TransmetaEntry(record, function);
    if (entry == nullptr) return out;
    const CpuidRegisters& r = *entry;
    switch (function) {
        case 0x80860000:
            Appendf(out, "Transmeta Function 0x%x:\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tLargest Transmeta Function\r\n", r.eax);
            AppendRegisterCharLines(out, r);
            break;
        case 0x80860001:
            Appendf(out, "Transmeta Function 0x%x:\tTransmeta processor information\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\r\n", r.eax);
            AppendFieldLines(out, r.eax, kTransmetaSignature);
            AppendTransmetaClassLine(out, r.ebx, TransmetaL2Size(record));
            Appendf(out, "\tECX = 0x%08x\tNominal Processor Core Frequency (Mhz)\r\n", r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tTransmeta feature flags.\r\n", r.edx);
            AppendBitLines(out, r.edx, kTransmetaFeatures);
            break;
        case 0x80860002:
            Appendf(out, "Transmeta Function 0x%x:\tTransmeta CMS information\r\n", function);
            Appendf(out, "\tEAX = 0x%08x\tProcessor revision ID\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\tFirst part of the Transmeta CMS revision ID\r\n", r.ebx);
            Appendf(out, "\tECX = 0x%08x\tSecond part of the Transmeta CMS revision ID\r\n", r.ecx);
            break;
        case 0x80860003:
        case 0x80860004:
        case 0x80860005:
        case 0x80860006:
            out = InformationStringBlock(record);
            break;
        case 0x80860007:
            Appendf(out, "Transmeta Function 0x%x:\tCurrent Transmeta processor information\r\n",
                    function);
            Appendf(out, "\tEAX = 0x%08x\tCurrent Processor Core Frequency (Mhz)\r\n", r.eax);
            Appendf(out, "\tEBX = 0x%08x\tCurrent Processor Voltage (mv)\r\n", r.ebx);
            Appendf(out,
                    "\tECX = 0x%08x\tCurrent Processor Performance Percentage (between 0 and "
                    "100d)\r\n",
                    r.ecx);
            Appendf(out, "\tEDX = 0x%08x\tCurrent Gate Delay (femtoseconds).\r\n", r.edx);
            break;
        default:
            break;
    }
    return out;
}

}  // namespace kvt
