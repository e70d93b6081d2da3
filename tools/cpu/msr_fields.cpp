#include "tools/cpu/msr_fields.h"

#include "tools/cpu/cpuid_record.h"

namespace kvt {
namespace {

// Which processors define a register's layout: all vendors alike, Intel's (also followed by
// VIA and Transmeta, which implement Intel's registers) or AMD's.
enum class Layout { kAll, kIntel, kAmd };

struct MsrFieldEntry {
    uint32_t msr;
    Layout layout;
    MsrFieldName field;
};

constexpr MsrFieldEntry kFields[] = {
    {0x17, Layout::kIntel, {52, 50, "Platform ID"}},
    {0x1B, Layout::kAll, {8, 8, "Bootstrap processor"}},
    {0x1B, Layout::kIntel, {10, 10, "x2APIC mode enable"}},
    {0x1B, Layout::kAll, {11, 11, "APIC global enable"}},
    {0x1B, Layout::kAll, {51, 12, "APIC base (4-KB page)"}},
    {0x3A, Layout::kIntel, {0, 0, "Lock"}},
    {0x3A, Layout::kIntel, {1, 1, "VMX inside SMX operation"}},
    {0x3A, Layout::kIntel, {2, 2, "VMX outside SMX operation"}},
    {0x3A, Layout::kIntel, {20, 20, "LMCE on"}},
    {0x8B, Layout::kIntel, {63, 32, "Microcode update signature"}},
    {0x8B, Layout::kAmd, {31, 0, "Microcode patch level"}},
    {0xFE, Layout::kAll, {7, 0, "Variable-range MTRR count"}},
    {0xFE, Layout::kAll, {8, 8, "Fixed-range MTRRs supported"}},
    {0xFE, Layout::kAll, {10, 10, "Write-combining type supported"}},
    {0xFE, Layout::kIntel, {11, 11, "SMRR supported"}},
    {0x198, Layout::kIntel, {15, 0, "Current performance state"}},
    {0x199, Layout::kIntel, {15, 0, "Target performance state"}},
    {0x199, Layout::kIntel, {32, 32, "Turbo mode disengage"}},
    {0x19A, Layout::kIntel, {3, 1, "On-demand clock modulation duty cycle"}},
    {0x19A, Layout::kIntel, {4, 4, "On-demand clock modulation enable"}},
    {0x19B, Layout::kIntel, {0, 0, "High-temperature interrupt enable"}},
    {0x19B, Layout::kIntel, {1, 1, "Low-temperature interrupt enable"}},
    {0x19B, Layout::kIntel, {2, 2, "PROCHOT# interrupt enable"}},
    {0x19B, Layout::kIntel, {3, 3, "FORCEPR# interrupt enable"}},
    {0x19B, Layout::kIntel, {4, 4, "Critical temperature interrupt enable"}},
    {0x19B, Layout::kIntel, {14, 8, "Threshold #1 value"}},
    {0x19B, Layout::kIntel, {15, 15, "Threshold #1 interrupt enable"}},
    {0x19B, Layout::kIntel, {22, 16, "Threshold #2 value"}},
    {0x19B, Layout::kIntel, {23, 23, "Threshold #2 interrupt enable"}},
    {0x19C, Layout::kIntel, {0, 0, "Thermal status"}},
    {0x19C, Layout::kIntel, {1, 1, "Thermal status log"}},
    {0x19C, Layout::kIntel, {2, 2, "PROCHOT# or FORCEPR# event"}},
    {0x19C, Layout::kIntel, {3, 3, "PROCHOT# or FORCEPR# log"}},
    {0x19C, Layout::kIntel, {4, 4, "Critical temperature status"}},
    {0x19C, Layout::kIntel, {5, 5, "Critical temperature status log"}},
    {0x19C, Layout::kIntel, {22, 16, "Digital readout"}},
    {0x19C, Layout::kIntel, {31, 31, "Reading valid"}},
    {0x1A0, Layout::kIntel, {0, 0, "Fast-strings enable"}},
    {0x1A0, Layout::kIntel, {3, 3, "Automatic thermal control circuit enable"}},
    {0x1A0, Layout::kIntel, {7, 7, "Performance monitoring available"}},
    {0x1A0, Layout::kIntel, {11, 11, "Branch trace storage unavailable"}},
    {0x1A0, Layout::kIntel, {12, 12, "Processor event based sampling unavailable"}},
    {0x1A0, Layout::kIntel, {16, 16, "Enhanced SpeedStep technology enable"}},
    {0x1A0, Layout::kIntel, {18, 18, "MONITOR FSM enable"}},
    {0x1A0, Layout::kIntel, {22, 22, "Limit CPUID maxval"}},
    {0x1A0, Layout::kIntel, {23, 23, "xTPR message disable"}},
    {0x1A0, Layout::kIntel, {34, 34, "XD bit disable"}},
    {0x277, Layout::kAll, {2, 0, "PA0 memory type"}},
    {0x277, Layout::kAll, {10, 8, "PA1 memory type"}},
    {0x277, Layout::kAll, {18, 16, "PA2 memory type"}},
    {0x277, Layout::kAll, {26, 24, "PA3 memory type"}},
    {0x277, Layout::kAll, {34, 32, "PA4 memory type"}},
    {0x277, Layout::kAll, {42, 40, "PA5 memory type"}},
    {0x277, Layout::kAll, {50, 48, "PA6 memory type"}},
    {0x277, Layout::kAll, {58, 56, "PA7 memory type"}},
    {0x2FF, Layout::kAll, {7, 0, "Default memory type"}},
    {0x2FF, Layout::kAll, {10, 10, "Fixed-range MTRRs enable"}},
    {0x2FF, Layout::kAll, {11, 11, "MTRRs enable"}},
    {0xC0000080, Layout::kAll, {0, 0, "System call extensions"}},
    {0xC0000080, Layout::kAll, {8, 8, "Long mode enable"}},
    {0xC0000080, Layout::kAll, {10, 10, "Long mode active"}},
    {0xC0000080, Layout::kAll, {11, 11, "No-execute enable"}},
    {0xC0000080, Layout::kAmd, {12, 12, "Secure virtual machine enable"}},
    {0xC0000080, Layout::kAmd, {14, 14, "Fast FXSAVE/FXRSTOR"}},
    {0xC0000081, Layout::kAll, {31, 0, "Legacy SYSCALL target EIP"}},
    {0xC0000081, Layout::kAll, {47, 32, "SYSCALL CS and SS"}},
    {0xC0000081, Layout::kAll, {63, 48, "SYSRET CS and SS"}},
    {0xC0000103, Layout::kAll, {31, 0, "TSC auxiliary signature"}},
    {0xC0010015, Layout::kAmd, {0, 0, "SMM code lock"}},
    {0xC0010015, Layout::kAmd, {24, 24, "TSC frequency select"}},
};

}  // namespace

std::vector<MsrFieldName> MsrFieldNames(uint32_t vendor, uint32_t msr) {
    // An unknown vendor gets only the layouts every vendor shares.
    const Layout own = vendor == kCpuVendorAmd       ? Layout::kAmd
                       : vendor == kCpuVendorUnknown ? Layout::kAll
                                                     : Layout::kIntel;
    std::vector<MsrFieldName> out;
    for (const MsrFieldEntry& e : kFields)
        if (e.msr == msr && (e.layout == Layout::kAll || e.layout == own)) out.push_back(e.field);
    return out;
}

}  // namespace kvt
