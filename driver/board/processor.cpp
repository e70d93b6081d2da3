#include "driver/board/processor.h"

namespace kvt::driver::board {

const CpuidResult* Processor::FindCpuid(uint32_t function, uint32_t sub) const {
    auto it = cpuid_.find({function, sub});
    if (it == cpuid_.end()) it = cpuid_.find({function, kAnySub});
    return it == cpuid_.end() ? nullptr : &it->second;
}

CpuidResult Processor::Cpuid(uint32_t function, uint32_t sub) const {
    const CpuidResult* r = FindCpuid(function, sub);
    return r ? *r : CpuidResult{};
}

Msr* Processor::FindMsr(uint32_t number) {
    auto it = msrs_.find(number);
    return it == msrs_.end() ? nullptr : &it->second;
}

uint64_t Processor::Tsc(uint64_t elapsedNs) const {
    unsigned __int128 ticks = (unsigned __int128)elapsedNs * tscHz_ / 1000000000u;
    return tscOffset_ + uint64_t(ticks);
}

bool Processor::ReadMsr(uint32_t number, uint64_t elapsedNs, uint64_t& value) const {
    auto it = msrs_.find(number);
    if (it == msrs_.end() || it->second.access == Msr::Access::kRefused) return false;
    value = number == kTscMsr ? Tsc(elapsedNs) : it->second.value;
    return true;
}

bool Processor::WriteMsr(uint32_t number, uint64_t elapsedNs, uint64_t value) {
    auto it = msrs_.find(number);
    if (it == msrs_.end() || it->second.access != Msr::Access::kReadWrite) return false;
    Msr& msr = it->second;
    if (number == kTscMsr) {
        // Wrapping arithmetic: the counter reads the written value now and runs on from it.
        tscOffset_ = value - (Tsc(elapsedNs) - tscOffset_);
        return true;
    }
    msr.value = (msr.value & ~msr.writeMask) | (value & msr.writeMask);
    return true;
}

}  // namespace kvt::driver::board
