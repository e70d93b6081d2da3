// The daemon's side of the socket framing: splitting received bytes into one request frame,
// serving it, and laying out the answer. The server and the fuzz target share these, so the
// fuzzed path is the served path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "driver/handler.h"
#include "protocol/frame.h"

namespace kvt::driver {

enum class ParseStatus {
    NeedMore,   // `needed` says how many bytes the frame has in all, as far as known
    Complete,   // the bytes are exactly one frame
    Malformed,  // bad header, or more bytes than the frame holds
};

struct ParsedFrame {
    alignas(8) FrameHeader header{};
    alignas(8) DriverRequest request{};
    std::span<const uint8_t> payload;
};

// Parses the bytes received so far on one connection. `needed` receives the frame's full
// size once the header is known (the request prefix size before that).
ParseStatus ParseRequestFrame(std::span<const uint8_t> bytes, ParsedFrame& out, size_t& needed,
                              FrameError* error = nullptr);

// Parses a complete frame and handles it. Empty when the frame is malformed: the connection
// is then closed without an answer.
std::optional<Answer> ServeFrame(RequestHandler& handler, const Caller& caller,
                                 std::string_view device, std::span<const uint8_t> frame);
// Handles a frame ParseRequestFrame found complete.
Answer ServeParsedFrame(RequestHandler& handler, const Caller& caller, std::string_view device,
                        const ParsedFrame& frame);

// The answer header and block; the answer's payload follows them on the wire.
void EncodeAnswerPrefix(const Answer& answer, uint8_t (&out)[kAnswerPrefixSize]);

}  // namespace kvt::driver
