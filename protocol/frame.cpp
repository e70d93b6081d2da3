#include "protocol/frame.h"

namespace kvt {

FrameError CheckRequestHeader(const FrameHeader& header) {
    if (header.magic != kFrameMagic) return FrameError::BadMagic;
    if (header.version != kFrameVersion) return FrameError::BadVersion;
    if ((header.flags & ~kFlagConsumerForm) != 0) return FrameError::BadFlags;
    if (header.payloadLength > kMaxPayload) return FrameError::PayloadTooLarge;
    return FrameError::None;
}

}  // namespace kvt
