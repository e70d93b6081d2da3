// Capturing the machine behind a driver client as a board profile: PCI functions with their
// configuration space and the PCI Express window, every processor's CPUID functions, the
// time-stamp counter rate and a fixed list of architectural MSRs, the CMOS banks and the POST
// ports, the SMBus controllers with the SPD bytes of their devices, memory regions and the
// computer name. Only reads are made (the CMOS index and SMBus host registers excepted, as
// every read through them needs). What the machine refuses is left out and listed.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/platform.h"

namespace kvt {

struct MemoryRange {
    uint32_t base = 0;
    uint32_t length = 0;
};

// Most bytes of memory one capture takes (the profile holds them as text).
inline constexpr uint64_t kMaxCaptureMemory = 4u << 20;

struct CaptureOptions {
    std::string name;                 // board name; empty: made from the computer name
    std::vector<MemoryRange> memory;  // empty: the BIOS area F0000h-FFFFFh
    uint32_t spdBytes = 256;          // bytes read of each SPD device (1-256)
};

struct CaptureResult {
    nlohmann::ordered_json profile;
    std::vector<std::string> leftOut;  // one line per thing the machine refused
};

// Hears the stage being captured and how far it is (done of total steps).
using CaptureProgress =
    std::function<void(const std::string& stage, uint32_t done, uint32_t total)>;

CaptureResult CaptureBoard(DriverClient& client, Platform& platform, const CaptureOptions& options,
                           const CaptureProgress& progress = {});

// The profile as text: nested objects indented, each list entry without lists of its own on
// one line (a PCI function, an MSR, a CPUID function), so line-based tools can read it.
std::string ProfileText(const nlohmann::ordered_json& profile);

// "ADDR:LEN" in hexadecimal (0x prefix accepted); the range must lie below 4 GiB and be
// 1 byte to kMaxCaptureMemory long.
bool ParseMemoryRange(const std::string& text, MemoryRange& range, std::string& error);

// The MSRs a capture reads; volatile ones (counters, per-thread bases) are marked so that
// comparisons skip them.
struct CaptureMsr {
    uint32_t number;
    bool isVolatile;
};
const std::vector<CaptureMsr>& CaptureMsrList();

}  // namespace kvt
