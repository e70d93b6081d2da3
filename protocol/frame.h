// Framing of one request and its answer on the daemon's socket.
//
// Request:  FrameHeader, the 580-byte block, then `payloadLength` bytes (physical-memory write).
// Answer:   AnswerHeader, the 580-byte block, then `payloadLength` bytes (physical-memory read,
//           or text for the status and platform-information requests).
// All integers are little-endian. One request per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/driver_request.h"

namespace kvt {

inline constexpr uint32_t kFrameMagic = 0x4456544B;   // "KTVD"
inline constexpr uint32_t kAnswerMagic = 0x4156544B;  // "KTVA"
inline constexpr uint16_t kFrameVersion = 1;

enum FrameFlags : uint16_t {
    kFlagConsumerForm = 1,  // consumer-form request: the block is the output buffer only
};

#pragma pack(push, 1)
struct FrameHeader {
    uint32_t magic;
    uint16_t version;
    uint16_t flags;
    uint32_t code;           // request code of its form
    uint32_t processor;      // processor the caller runs on (MSR, CPUID and TSC requests)
    uint32_t payloadLength;  // bytes following the block
};
struct AnswerHeader {
    uint32_t magic;
    uint16_t version;
    uint16_t reserved;       // a refusal's cause (kCauseRule), else 0
    uint32_t success;        // 1 when the request succeeded, 0 when it was refused
    uint32_t payloadLength;  // bytes following the block
    uint32_t reserved2;
};
#pragma pack(pop)
static_assert(sizeof(FrameHeader) == 20);
static_assert(sizeof(AnswerHeader) == 20);

inline constexpr size_t kRequestPrefixSize = sizeof(FrameHeader) + kDriverRequestSize;
inline constexpr size_t kAnswerPrefixSize = sizeof(AnswerHeader) + kDriverRequestSize;
// Largest payload either way: a 4 MiB memory transfer, or 64 KiB of text.
inline constexpr uint32_t kMaxPayload = kMaxTransfer;

// Cause of a refusal that carries its reason: the payload of the refused answer is the text of
// the rule that refused it ("policy line 4: ..."), at most kMaxCauseText bytes.
inline constexpr uint16_t kCauseRule = 1;
inline constexpr size_t kMaxCauseText = 512;

// Why a request prefix was refused.
enum class FrameError { None, BadMagic, BadVersion, BadFlags, PayloadTooLarge };

// Checks a request header; the payload length is checked against kMaxPayload only
// (whether a request may carry a payload at all is the handler's business).
FrameError CheckRequestHeader(const FrameHeader& header);

}  // namespace kvt
