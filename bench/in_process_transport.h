// The request handler called directly, with the header the socket transport would send: the
// baseline that leaves out the socket and the daemon's event loop.
#pragma once

#include <unistd.h>

#include <utility>

#include "driver/handler.h"
#include "hwaccess/transport.h"
#include "protocol/frame.h"

namespace kvt {

class InProcessTransport : public DriverTransport {
  public:
    explicit InProcessTransport(driver::RequestHandler& handler) : handler_(handler) {}
    TransportStatus Call(const TransportCall& call, DriverRequest& block) override {
        FrameHeader header{kFrameMagic,
                           kFrameVersion,
                           static_cast<uint16_t>(call.consumerForm ? kFlagConsumerForm : 0),
                           call.code,
                           CurrentProcessor(),
                           static_cast<uint32_t>(call.payloadOut.size())};
        driver::Caller caller{getuid(), getgid(), getpid()};
        driver::Answer answer =
            handler_.Handle(caller, call.device, header, block, call.payloadOut);
        if (!answer.success) return TransportResult::RequestFailed;
        block = answer.block;
        if (call.payloadIn) *call.payloadIn = std::move(answer.payload);
        return TransportResult::Ok;
    }

  private:
    driver::RequestHandler& handler_;
};

}  // namespace kvt
