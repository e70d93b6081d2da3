#include "protocol/records.h"

#include <cstring>

namespace kvt {

namespace {

enum PlatformTag : uint16_t {
    kPlatformComputer = 1,
    kPlatformBoard = 2,
    kPlatformProcessors = 3,
    kPlatformTscHz = 4,
    kPlatformVersion = 5,  // four 32-bit numbers: major, minor, build, platform
    kPlatformCsd = 6,
};

enum CapabilityTag : uint16_t {
    kCapabilityBackend = 1,
    kCapabilityAccess = 2,  // 32-bit index of the kind, then its text
    kCapabilityWrites = 3,
    kCapabilityProfile = 4,
    kCapabilityStatus = 5,
};

constexpr size_t kFieldMax = 0xFFFF;

}  // namespace

void RecordWriter::Bytes(uint16_t tag, const void* data, size_t size) {
    if (size > kFieldMax) size = kFieldMax;
    const uint8_t head[4] = {uint8_t(tag), uint8_t(tag >> 8), uint8_t(size), uint8_t(size >> 8)};
    bytes_.insert(bytes_.end(), head, head + 4);
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
}

void RecordWriter::Text(uint16_t tag, std::string_view text) {
    Bytes(tag, text.data(), text.size());
}

void RecordWriter::U32(uint16_t tag, uint32_t value) {
    Bytes(tag, &value, sizeof value);
}

void RecordWriter::U64(uint16_t tag, uint64_t value) {
    Bytes(tag, &value, sizeof value);
}

bool RecordReader::Next(uint16_t& tag, std::span<const uint8_t>& value) {
    if (malformed_ || at_ == bytes_.size()) return false;
    if (bytes_.size() - at_ < 4) {
        malformed_ = true;
        return false;
    }
    tag = uint16_t(bytes_[at_] | bytes_[at_ + 1] << 8);
    const size_t size = size_t(bytes_[at_ + 2] | bytes_[at_ + 3] << 8);
    if (bytes_.size() - at_ - 4 < size) {
        malformed_ = true;
        return false;
    }
    value = bytes_.subspan(at_ + 4, size);
    at_ += 4 + size;
    return true;
}

std::string RecordReader::AsText(std::span<const uint8_t> value) {
    return std::string(value.begin(), value.end());
}

bool RecordReader::AsU32(std::span<const uint8_t> value, uint32_t& out) {
    if (value.size() != sizeof out) return false;
    std::memcpy(&out, value.data(), sizeof out);
    return true;
}

bool RecordReader::AsU64(std::span<const uint8_t> value, uint64_t& out) {
    if (value.size() != sizeof out) return false;
    std::memcpy(&out, value.data(), sizeof out);
    return true;
}

std::vector<uint8_t> EncodePlatformFacts(const PlatformFacts& facts) {
    RecordWriter w;
    w.Text(kPlatformComputer, facts.computer);
    w.Text(kPlatformBoard, facts.board);
    w.U32(kPlatformProcessors, facts.processors);
    w.U64(kPlatformTscHz, facts.tscHz);
    if (facts.hasVersion) {
        const uint32_t version[4] = {facts.major, facts.minor, facts.build, facts.platform};
        w.Bytes(kPlatformVersion, version, sizeof version);
    }
    if (facts.hasVersion || !facts.csd.empty()) w.Text(kPlatformCsd, facts.csd);
    return w.bytes();
}

bool DecodePlatformFacts(std::span<const uint8_t> bytes, PlatformFacts& facts) {
    facts = {};
    RecordReader r(bytes);
    uint16_t tag;
    std::span<const uint8_t> value;
    while (r.Next(tag, value)) {
        switch (tag) {
            case kPlatformComputer:
                facts.computer = RecordReader::AsText(value);
                break;
            case kPlatformBoard:
                facts.board = RecordReader::AsText(value);
                break;
            case kPlatformProcessors:
                if (!RecordReader::AsU32(value, facts.processors)) return false;
                break;
            case kPlatformTscHz:
                if (!RecordReader::AsU64(value, facts.tscHz)) return false;
                break;
            case kPlatformVersion:
                if (value.size() != 16) return false;
                RecordReader::AsU32(value.subspan(0, 4), facts.major);
                RecordReader::AsU32(value.subspan(4, 4), facts.minor);
                RecordReader::AsU32(value.subspan(8, 4), facts.build);
                RecordReader::AsU32(value.subspan(12, 4), facts.platform);
                facts.hasVersion = true;
                break;
            case kPlatformCsd:
                facts.csd = RecordReader::AsText(value);
                break;
            default:
                break;
        }
    }
    return !r.malformed();
}

std::vector<uint8_t> EncodeCapabilityFacts(const CapabilityFacts& facts) {
    RecordWriter w;
    w.Text(kCapabilityBackend, facts.backend);
    for (uint32_t kind = 0; kind < 5; ++kind) {
        std::string field(4, '\0');
        std::memcpy(field.data(), &kind, 4);
        field += facts.access[kind];
        w.Bytes(kCapabilityAccess, field.data(), field.size());
    }
    w.Text(kCapabilityWrites, facts.writes);
    if (!facts.profile.empty()) w.Text(kCapabilityProfile, facts.profile);
    w.Text(kCapabilityStatus, facts.status);
    return w.bytes();
}

bool DecodeCapabilityFacts(std::span<const uint8_t> bytes, CapabilityFacts& facts) {
    facts = {};
    RecordReader r(bytes);
    uint16_t tag;
    std::span<const uint8_t> value;
    while (r.Next(tag, value)) {
        switch (tag) {
            case kCapabilityBackend:
                facts.backend = RecordReader::AsText(value);
                break;
            case kCapabilityAccess: {
                uint32_t kind = 0;
                if (value.size() < 4 || !RecordReader::AsU32(value.subspan(0, 4), kind))
                    return false;
                if (kind < 5) facts.access[kind] = RecordReader::AsText(value.subspan(4));
                break;
            }
            case kCapabilityWrites:
                facts.writes = RecordReader::AsText(value);
                break;
            case kCapabilityProfile:
                facts.profile = RecordReader::AsText(value);
                break;
            case kCapabilityStatus:
                facts.status = RecordReader::AsText(value);
                break;
            default:
                break;
        }
    }
    return !r.malformed();
}

}  // namespace kvt
