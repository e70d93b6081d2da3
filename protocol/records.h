// Binary records in answer payloads: the daemon's description of its backend and of a
// simulated board's platform. A record is a run of fields, each a 16-bit tag, a 16-bit
// length and that many bytes (numbers little-endian, texts without a terminator). Readers
// skip tags they do not know, so a newer daemon may add fields.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvt {

class RecordWriter {
  public:
    // A text longer than a field holds is cut at 65535 bytes.
    void Text(uint16_t tag, std::string_view text);
    void U32(uint16_t tag, uint32_t value);
    void U64(uint16_t tag, uint64_t value);
    // Raw bytes, cut at 65535 like a text.
    void Bytes(uint16_t tag, const void* data, size_t size);
    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

class RecordReader {
  public:
    explicit RecordReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    // The next field; false at the end or when the rest is malformed (see malformed()).
    bool Next(uint16_t& tag, std::span<const uint8_t>& value);
    bool malformed() const { return malformed_; }

    static std::string AsText(std::span<const uint8_t> value);
    // False unless the field has exactly the number's size.
    static bool AsU32(std::span<const uint8_t> value, uint32_t& out);
    static bool AsU64(std::span<const uint8_t> value, uint64_t& out);

  private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
    bool malformed_ = false;
};

// kExtPlatformInfo: what a simulated board says of its machine.
struct PlatformFacts {
    std::string computer;     // the computer's name
    std::string board;        // the profile's name
    uint32_t processors = 0;  // 0: not said
    uint64_t tscHz = 0;       // the first processor's time-stamp counter rate; 0: not said
    bool hasVersion = false;  // the board gives its own operating system version
    uint32_t major = 0, minor = 0, build = 0, platform = 0;
    std::string csd;  // the service-pack text of that version
};
std::vector<uint8_t> EncodePlatformFacts(const PlatformFacts& facts);
bool DecodePlatformFacts(std::span<const uint8_t> bytes, PlatformFacts& facts);

// kExtCapabilities, beside the bits and processor count in the block: the daemon's words.
struct CapabilityFacts {
    std::string backend;  // "host" or "board <name>"
    // Per kind of access, in CapabilityBits order of kCapPorts..kCapMsr: "ok (...)" or
    // "unavailable: <what to do>".
    std::string access[5];
    std::string writes;   // "allowed" or "refused (<why>)"
    std::string profile;  // the profile file a board daemon serves, else empty
    std::string status;   // the whole status text, one line per item
};
std::vector<uint8_t> EncodeCapabilityFacts(const CapabilityFacts& facts);
bool DecodeCapabilityFacts(std::span<const uint8_t> bytes, CapabilityFacts& facts);

}  // namespace kvt
