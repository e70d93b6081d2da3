// Decoding of the SPD bytes of DDR and DDR2 memory modules: type, size, speed, CAS
// latencies, manufacturer (JEDEC code with continuation bytes), part number, serial number
// and checksum, as text lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt {

// The manufacturer of a JEDEC ID (bytes 64-71: 7Fh continuation bytes, then the code with
// its parity bit); "Unknown (bank N, code XXh)" when the table does not know it.
std::string JedecManufacturer(const uint8_t* id, size_t length);

// One "Name: value" line per field. bytes holds at least 128 bytes of the SPD.
std::vector<std::string> DecodeSpd(const std::vector<uint8_t>& bytes);

}  // namespace kvt
