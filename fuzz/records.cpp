// The records a daemon answers with, as a client decodes them: any bytes are either decoded
// or refused, and what is decoded encodes back to a record that decodes the same.
#include "protocol/records.h"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    kvt::PlatformFacts platform, platformAgain;
    if (kvt::DecodePlatformFacts(bytes, platform)) {
        if (!kvt::DecodePlatformFacts(kvt::EncodePlatformFacts(platform), platformAgain) ||
            platformAgain.computer != platform.computer || platformAgain.csd != platform.csd ||
            platformAgain.tscHz != platform.tscHz)
            std::abort();
    }
    kvt::CapabilityFacts caps, capsAgain;
    if (kvt::DecodeCapabilityFacts(bytes, caps)) {
        if (!kvt::DecodeCapabilityFacts(kvt::EncodeCapabilityFacts(caps), capsAgain) ||
            capsAgain.status != caps.status || capsAgain.access[4] != caps.access[4])
            std::abort();
    }
    return 0;
}
