// Feeds arbitrary bytes to the access policy parser, then asks the parsed policy about writes
// and reads made of the same bytes.
#include "driver/policy.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    kvt::driver::Policy policy;
    std::string error;
    if (!policy.Parse(text, "policy", &error)) {
        if (error.empty() || policy.Restricts()) __builtin_trap();
        // Messages are escaped: no control character reaches a terminal.
        for (char c : error)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
        return 0;
    }
    uint64_t words[4] = {};
    std::memcpy(words, data, size < sizeof words ? size : sizeof words);
    uint32_t port = static_cast<uint32_t>(words[0]) & 0xFFFF, width = 1u << (words[0] >> 16 & 1);
    if (port > 0x10000 - width) port = 0x10000 - width;
    policy.CheckPortWrite(port, width, static_cast<uint32_t>(words[1]));
    policy.CheckPortRead(port, width);
    uint32_t config = 0x80000000u | (static_cast<uint32_t>(words[1]) & 0x00FFFFFC);
    policy.CheckPciWrite(config);
    policy.CheckPciRead(config);
    uint64_t address = words[2] & 0xFFFFFFFF, length = 1 + (words[2] >> 32) % 0x400000;
    if (length > 0x100000000ull - address) length = 0x100000000ull - address;
    policy.CheckMemoryWrite(address, length);
    policy.CheckMemoryRead(address, length);
    policy.CheckMsrWrite(static_cast<uint32_t>(words[3]), words[1], &words[2]);
    policy.CheckMsrRead(static_cast<uint32_t>(words[3]));
    policy.StatusLine();
    return 0;
}
