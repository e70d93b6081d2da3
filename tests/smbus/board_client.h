// A simulated board served in-process: the daemon's request handler over the board's models,
// behind a real driver client, so SMBus code runs against the models without a socket.
#pragma once

#include <unistd.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "driver/board/board.h"
#include "driver/handler.h"
#include "hwaccess/driver_client.h"
#include "platform/user_messages.h"
#include "protocol/frame.h"

namespace kvt::test {

inline nlohmann::json ShippedProfile(const std::string& name) {
    std::ifstream in(std::string(KORVANTA_SOURCE_DIR) + "/boards/" + name + ".json");
    std::stringstream text;
    text << in.rdbuf();
    return nlohmann::json::parse(text.str());
}

class BoardClient : public DriverTransport {
  public:
    explicit BoardClient(const nlohmann::json& profile, bool readOnly = false) {
        std::string error;
        backend_ = driver::LoadBoardBackendFromText(profile.dump(), "test.json", &error);
        EXPECT_TRUE(backend_) << error;
        driver::HandlerOptions options;
        options.readOnly = readOnly;
        handler_ = std::make_unique<driver::RequestHandler>(*backend_, options);
        client_ = std::make_unique<DriverClient>(*this, [] {
            return VersionRecord{6, 1, 0, kPlatformLinux, ""};
        });
    }
    explicit BoardClient(const char* shipped, bool readOnly = false)
        : BoardClient(ShippedProfile(shipped), readOnly) {}

    DriverClient& client() { return *client_; }
    driver::board::Board& board() { return *static_cast<driver::board::Board*>(backend_.get()); }
    int requests = 0;

    TransportStatus Call(const TransportCall& call, DriverRequest& block) override {
        ++requests;
        FrameHeader header{kFrameMagic,
                           kFrameVersion,
                           uint16_t(call.consumerForm ? kFlagConsumerForm : 0),
                           call.code,
                           0,
                           uint32_t(call.payloadOut.size())};
        driver::Answer answer = handler_->Handle({getuid(), getgid(), getpid()}, call.device,
                                                 header, block, call.payloadOut);
        if (!answer.success) return TransportResult::RequestFailed;
        block = answer.block;
        if (call.payloadIn) *call.payloadIn = std::move(answer.payload);
        return TransportResult::Ok;
    }

  private:
    std::unique_ptr<driver::Backend> backend_;
    std::unique_ptr<driver::RequestHandler> handler_;
    std::unique_ptr<DriverClient> client_;
};

struct RecordedMessages : UserMessages {
    std::vector<std::string> texts, focus;
    void ShowMessage(std::string_view text) override { texts.emplace_back(text); }
    void SetFocus(std::string_view field) override { focus.emplace_back(field); }
};

// The bytes a profile gives a slave device, FFh where it gives none.
inline std::vector<uint8_t> ProfileBytes(const nlohmann::json& device) {
    std::vector<uint8_t> out(256, 0xFF);
    std::string text = device.value("bytes", "");
    size_t at = 0;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out[at++] = uint8_t(std::stoi(text.substr(i, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

}  // namespace kvt::test
