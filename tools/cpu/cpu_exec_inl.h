// Template part of cpu_exec.h.
#pragma once

#include <system_error>
#include <thread>

#include "hwaccess/transport.h"

namespace kvt {

template <typename Work>
bool RunOnProcessor(uint32_t processor, Work&& work) {
    // The worker pins itself (real affinity where the machine has that processor, and the
    // processor number its requests carry), does the work and ends; the caller joins it, so
    // nothing the worker touches is shared while it runs.
    std::thread worker;
    try {
        worker = std::thread([processor, &work] {
            PinCurrentThread(processor);
            work();
        });
    } catch (const std::system_error&) {
        return false;
    }
    worker.join();
    return true;
}

}  // namespace kvt
