#include "driver/board/faults.h"

#include <thread>

namespace kvt::driver::board {

bool FaultList::Pass(FaultKind kind, uint64_t first, uint64_t last) {
    bool pass = true;
    for (Fault& f : faults_) {
        if (f.kind != kind || last < f.first || first > f.last) continue;
        bool hit = f.seen++ % f.every == 0;
        if (!hit) continue;
        if (f.stall)
            std::this_thread::sleep_for(f.stallFor);
        else
            pass = false;
    }
    return pass;
}

}  // namespace kvt::driver::board
