// The CPUID functions and MSRs a profile's processors answer: the entries of "cpuid" and
// "msrs" applied in order, first the shared lists, then a processor's own ("each").
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace kvt::board_profile {

// A CPUID entry without "sub" answers every sub-leaf.
constexpr uint32_t kAnySub = 0xFFFFFFFF;

struct CpuidEntry {
    uint32_t leaf = 0, sub = kAnySub;
    std::array<std::optional<uint32_t>, 4> regs;  // EAX, EBX, ECX, EDX as given
};

enum class MsrAccess { kReadWrite, kReadOnly, kRefused };

struct MsrEntry {
    uint32_t number = 0;
    std::optional<uint64_t> value, writeMask;
    std::optional<MsrAccess> access;
    std::optional<bool> isVolatile;
};

struct MsrState {
    uint64_t value = 0;
    uint64_t writeMask = ~0ull;
    MsrAccess access = MsrAccess::kReadWrite;
    bool isVolatile = false;
};

// (leaf, sub-leaf) -> EAX, EBX, ECX, EDX.
using CpuidTable = std::map<std::pair<uint32_t, uint32_t>, std::array<uint32_t, 4>>;
using MsrTable = std::map<uint32_t, MsrState>;

// An entry changes only what it gives: a listed function or MSR keeps the registers and
// fields the entry leaves out, a new one starts from zeros (read-write, every bit writable).
void ApplyCpuid(CpuidTable& table, const std::vector<CpuidEntry>& entries);
void ApplyMsrs(MsrTable& table, const std::vector<MsrEntry>& entries);

}  // namespace kvt::board_profile
