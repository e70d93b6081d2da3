// Planning a configuration write: which bytes go out, with which value, so that a masked write
// changes only its bits and a write-1-to-clear status bit is never written back by accident.
// A pure function of the function's configuration bytes: no driver access.
//
// Write-1-to-clear protection: a status register's bits that a written 1 clears (Status 06h,
// a bridge's Secondary Status, the PCI Express Device, Link, Slot and Root Status registers,
// Link Status 2, the AER status registers, PMCSR's PME_Status, ...) are found by walking the
// function's capabilities. Those bits are sent as 0 unless the write asks to clear them: with
// `clearStatus`, or with an explicit mask that covers them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pci/pci_caps.h"

namespace kvt {

// Bits of one register that a written 1 clears.
struct PciClearBits {
    uint32_t offset = 0;  // of the register
    uint32_t width = 0;   // 2 or 4 bytes
    uint32_t mask = 0;
    std::string name;  // "status", "pcie.device_status", "aer.correctable_error_status"
};

// Every write-1-to-clear register of the function whose `length` configuration bytes (256 or
// 4096) are given, in offset order.
std::vector<PciClearBits> FindPciClearBits(const uint8_t* config, uint32_t length);

struct PciWriteRequest {
    uint32_t offset = 0;
    uint32_t width = 4;  // 1, 2 or 4
    uint32_t value = 0;
    std::optional<uint32_t> mask;  // only these bits change; the others keep what they hold
    bool clearStatus = false;      // write-1-to-clear bits are written as the value gives them
};

struct PciWritePlan {
    std::string error;  // empty when the write can be made
    uint32_t offset = 0, width = 0;
    uint32_t old = 0;                    // what the register holds now
    uint32_t value = 0;                  // what is sent
    uint32_t protect = 0;                // write-1-to-clear bits sent as 0 to keep them
    uint32_t dropped = 0;                // of them, bits the given value had set (not read back)
    uint32_t clears = 0;                 // write-1-to-clear bits sent as 1: they are cleared
    std::vector<std::string> registers;  // names of the write-1-to-clear registers touched
    bool ok() const { return error.empty(); }
};

// Checks the request (width 1, 2 or 4; offset a multiple of the width, inside the `length`
// bytes; value and mask of the width; with a mask, the value inside it) and plans it against
// the bytes the register holds now.
PciWritePlan PlanPciWrite(const uint8_t* config, uint32_t length, const PciWriteRequest& request);

// `pci set FIELD=VALUE`: a capability field by the decoder's dotted name, as one masked write
// of the fewest bytes that hold it. A field software cannot write, or a value wider than the
// field, is refused with the reason. A write-1-to-clear field takes 1 (clear it) only.
struct PciFieldWrite {
    std::string error;
    PciFieldLocation where;
    bool clearField = false;  // a write-1-to-clear field
    PciWriteRequest request;
    bool ok() const { return error.empty(); }
};
PciFieldWrite PlanPciFieldWrite(const PciCapabilityList& list, std::string_view dotted,
                                uint64_t value, const std::vector<PciClearBits>& clearBits);

}  // namespace kvt
