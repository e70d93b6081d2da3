// Faults a board profile asks for: chosen port, PCI, memory or MSR requests fail, stall, or
// fail every Nth time, so that the tools' handling of refused and slow requests can be tried.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace kvt::driver::board {

enum class FaultKind { Port, Pci, Memory, Msr };

struct Fault {
    FaultKind kind = FaultKind::Port;
    // Inclusive range: ports, PCI bus << 8 | device << 3 | function, physical addresses, or
    // MSR numbers.
    uint64_t first = 0, last = 0;
    bool stall = false;  // stall: the request waits, then is served
    std::chrono::milliseconds stallFor{0};
    uint64_t every = 1;  // the 1st, (1+N)th, ... request in the range is hit
    uint64_t seen = 0;   // requests in the range so far
};

class FaultList {
  public:
    void Add(const Fault& fault) { faults_.push_back(fault); }
    bool empty() const { return faults_.empty(); }
    // Called for each request touching [first, last] of a kind: stalls when a stall fault
    // hits it, and returns false when a fail fault hits it (the request is then refused).
    bool Pass(FaultKind kind, uint64_t first, uint64_t last);

  private:
    std::vector<Fault> faults_;
};

}  // namespace kvt::driver::board
