// The processors of a simulated board: CPUID tables, model-specific registers and the
// time-stamp counter.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "driver/backend.h"

namespace kvt::driver::board {

struct Msr {
    enum class Access { kReadWrite, kReadOnly, kRefused };
    uint64_t value = 0;
    uint64_t writeMask = ~0ull;  // bits a write may change; the others keep their value
    Access access = Access::kReadWrite;
};

class Processor {
  public:
    static constexpr uint32_t kTscMsr = 0x10;
    static constexpr uint32_t kAnySub = 0xFFFFFFFF;  // a leaf that ignores the sub-leaf

    // CPUID: the exact (function, sub-leaf) entry, else the function's entry that ignores
    // the sub-leaf, else all zeros (a leaf the processor does not report).
    void SetCpuid(uint32_t function, uint32_t sub, const CpuidResult& result) {
        cpuid_[{function, sub}] = result;
    }
    const CpuidResult* FindCpuid(uint32_t function, uint32_t sub) const;
    const CpuidResult* FindExactCpuid(uint32_t function, uint32_t sub) const {
        auto it = cpuid_.find({function, sub});
        return it == cpuid_.end() ? nullptr : &it->second;
    }
    CpuidResult Cpuid(uint32_t function, uint32_t sub) const;

    void SetMsr(uint32_t number, const Msr& msr) { msrs_[number] = msr; }
    Msr* FindMsr(uint32_t number);
    // An MSR the processor does not have, or one that refuses access, fails (the processor
    // would raise a general-protection fault); so does a write to a read-only MSR.
    // MSR 10h, when the processor has it, is the time-stamp counter.
    bool ReadMsr(uint32_t number, uint64_t elapsedNs, uint64_t& value) const;
    bool WriteMsr(uint32_t number, uint64_t elapsedNs, uint64_t value);

    // The counter runs at tscHz from the moment the board was loaded, plus an offset that a
    // write of MSR 10h changes.
    void SetTsc(uint64_t hz, uint64_t offset) { tscHz_ = hz, tscOffset_ = offset; }
    uint64_t tscHz() const { return tscHz_; }
    uint64_t Tsc(uint64_t elapsedNs) const;

  private:
    std::map<std::pair<uint32_t, uint32_t>, CpuidResult> cpuid_;
    std::map<uint32_t, Msr> msrs_;
    uint64_t tscHz_ = 0;
    uint64_t tscOffset_ = 0;
};

}  // namespace kvt::driver::board
