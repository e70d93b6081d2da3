#include "driver/wire.h"

#include <cstring>

namespace kvt::driver {

ParseStatus ParseRequestFrame(std::span<const uint8_t> bytes, ParsedFrame& out, size_t& needed,
                              FrameError* error) {
    if (error != nullptr) *error = FrameError::None;
    needed = kRequestPrefixSize;
    if (bytes.size() < sizeof(FrameHeader)) return ParseStatus::NeedMore;

    FrameHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    FrameError check = CheckRequestHeader(header);
    if (check != FrameError::None) {
        if (error != nullptr) *error = check;
        return ParseStatus::Malformed;
    }
    // payloadLength <= kMaxPayload here, so the sum cannot overflow.
    needed = kRequestPrefixSize + header.payloadLength;
    if (bytes.size() < needed) return ParseStatus::NeedMore;
    if (bytes.size() > needed) return ParseStatus::Malformed;

    out.header = header;
    std::memcpy(&out.request, bytes.data() + sizeof(FrameHeader), kDriverRequestSize);
    out.payload = bytes.subspan(kRequestPrefixSize);
    return ParseStatus::Complete;
}

std::optional<Answer> ServeFrame(RequestHandler& handler, const Caller& caller,
                                 std::string_view device, std::span<const uint8_t> frame) {
    ParsedFrame parsed;
    size_t needed = 0;
    if (ParseRequestFrame(frame, parsed, needed) != ParseStatus::Complete) return std::nullopt;
    return ServeParsedFrame(handler, caller, device, parsed);
}

Answer ServeParsedFrame(RequestHandler& handler, const Caller& caller, std::string_view device,
                        const ParsedFrame& frame) {
    return handler.Handle(caller, device, frame.header, frame.request, frame.payload);
}

void EncodeAnswerPrefix(const Answer& answer, uint8_t (&out)[kAnswerPrefixSize]) {
    AnswerHeader header{};
    header.magic = kAnswerMagic;
    header.version = kFrameVersion;
    header.success = answer.success ? 1 : 0;
    header.reserved = answer.success ? 0 : answer.cause;
    header.payloadLength = static_cast<uint32_t>(answer.payload.size());
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + sizeof header, &answer.block, kDriverRequestSize);
}

}  // namespace kvt::driver
