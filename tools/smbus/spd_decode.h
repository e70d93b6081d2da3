// Decoding of the SPD bytes of memory modules: DDR and DDR2 (type, size, speed, CAS
// latencies, manufacturer, part number, serial number and checksum) and DDR3, DDR4 and DDR5
// (the JEDEC layouts: module type, capacity, ranks, bus width, speed grade, the main timings,
// manufacturer by JEP-106 bank and code, part number, and the CRC-16), as text lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvt {

// The manufacturer of a JEDEC ID (bytes 64-71: 7Fh continuation bytes, then the code with
// its parity bit); "Unknown (bank N, code XXh)" when the table does not know it.
std::string JedecManufacturer(const uint8_t* id, size_t length);
// The manufacturer of a JEP-106 bank (1-based) and code (with its parity bit), or "".
std::string JedecName(unsigned bank, uint8_t code);

// What the SPD of a DDR3, DDR4 or DDR5 module says. Times in picoseconds.
struct SpdFacts {
    std::string memoryType;  // "DDR3 SDRAM", "DDR4 SDRAM", "DDR5 SDRAM"
    std::string moduleType;  // "UDIMM", "RDIMM", ..., or "unknown (Xh)"
    uint64_t capacityMb = 0;
    unsigned ranks = 0;
    unsigned subChannels = 1;  // DDR5: 2 per module
    unsigned busWidth = 0;     // primary bits per sub-channel
    unsigned eccBits = 0;      // per sub-channel
    unsigned dataRate = 0;     // MT/s of the speed grade
    int64_t tCK = 0, tAA = 0, tRCD = 0, tRP = 0, tRAS = 0;
    unsigned manufacturerBank = 0;  // 1-based
    uint8_t manufacturerCode = 0;
    std::string manufacturer;  // "" when the table does not know it
    std::string partNumber;
    std::string serial;
    // The CRC of the base configuration: the bytes it covers, computed and stored.
    size_t crcFirst = 0, crcLast = 0, crcAt = 0;
    uint16_t crcComputed = 0, crcStored = 0;
    bool crcOk() const { return crcComputed == crcStored; }
};

// Facts of a DDR3 (256 bytes), DDR4 (512) or DDR5 (1024) SPD; nothing for other types or
// when fewer bytes than the layout needs are given.
std::optional<SpdFacts> DecodeSpdFacts(const std::vector<uint8_t>& bytes);

// One "Name: value" line per field. bytes holds at least 128 bytes of the SPD (DDR4: 512,
// DDR5: 1024).
std::vector<std::string> DecodeSpd(const std::vector<uint8_t>& bytes);

}  // namespace kvt
