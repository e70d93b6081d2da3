// Arbitrary bytes through the daemon's frame parser and request handler, against a simulated
// board (never this machine). The first input byte picks the device, the read-only mode and
// how the bytes arrive; the rest is what a client would send on one connection.
#include "driver/handler.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "driver/board/board.h"
#include "driver/wire.h"

namespace {

using namespace kvt;
using namespace kvt::driver;

struct Target {
    std::unique_ptr<Backend> board;
    std::unique_ptr<RequestHandler> handler;
    std::unique_ptr<RequestHandler> readOnly;
};

Target& Board() {
    static Target target = [] {
        Target t;
        std::string error;
        t.board = LoadBoardBackend(KORVANTA_SOURCE_DIR "/boards/intel-desktop.json", &error);
        if (!t.board) {
            std::fprintf(stderr, "cannot load the board: %s\n", error.c_str());
            std::abort();
        }
        WriteLogger discard = [](const std::string&) { return true; };
        t.handler = std::make_unique<RequestHandler>(*t.board, HandlerOptions{false, discard});
        t.readOnly = std::make_unique<RequestHandler>(*t.board, HandlerOptions{true, discard});
        return t;
    }();
    return target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Target& target = Board();
    const uint8_t mode = data[0];
    std::span<const uint8_t> bytes(data + 1, size - 1);
    const char* device = (mode & 1) ? kConsumerDeviceName : kNtDeviceName;
    RequestHandler& handler = (mode & 2) ? *target.readOnly : *target.handler;

    // The server parses whatever has arrived so far, in pieces of any size.
    size_t step = (mode >> 2) + 1;
    size_t needed = 0;
    ParsedFrame parsed;
    for (size_t have = 0; have < bytes.size(); have += step) {
        if (ParseRequestFrame(bytes.first(have), parsed, needed) == ParseStatus::Malformed)
            return 0;
    }

    Caller caller{1000, 1000, 4242};
    std::optional<Answer> answer = ServeFrame(handler, caller, device, bytes);
    // A sized configuration write is served only with fields the daemon promises to check:
    // width 1, 2 or 4, the register a multiple of it below 1000h, a value of that width,
    // domain 0.
    ParsedFrame frame;
    if (answer && answer->success &&
        ParseRequestFrame(bytes, frame, needed) == ParseStatus::Complete &&
        frame.header.code == kExtWritePciConfig) {
        const DriverRequest& r = frame.request;
        const uint32_t width = r.portWidth;
        const PciAddress at = PciAddress::FromExtendedConfigAddress(r.configAddress);
        if ((width != 1 && width != 2 && width != 4) || at.reg % width != 0 ||
            (r.configAddress & 0x70000000u) != 0 || (r.configAddress & 0x80000000u) == 0 ||
            (width < 4 && (r.configValue >> (8 * width)) != 0) || r.ebx != 0)
            std::abort();
    }
    if (answer) {
        uint8_t prefix[kAnswerPrefixSize];
        EncodeAnswerPrefix(*answer, prefix);
        if (answer->payload.size() > kMaxPayload) std::abort();
    }
    return 0;
}
