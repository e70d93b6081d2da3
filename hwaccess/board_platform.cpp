#include "hwaccess/board_platform.h"

#include <string>

namespace kvt {

namespace {

// A simulated board's own values, asked of its daemon. The board's description is read
// once, on first use, and kept: it does not change while the daemon runs.
class BoardPlatform : public Platform {
  public:
    explicit BoardPlatform(DriverClient& client) : client_(client) {}

    std::string ComputerName() override { return Facts().computer; }
    uint32_t ProcessorCount() override { return Facts().processors == 0 ? 1u : Facts().processors; }
    VersionRecord Version() override {
        const PlatformFacts& facts = Facts();
        if (!facts.hasVersion) return HostVersionRecord();
        VersionRecord v;
        v.majorVersion = facts.major;
        v.minorVersion = facts.minor;
        v.buildNumber = facts.build;
        v.platformId = facts.platform;
        v.csdVersion = facts.csd;
        return v;
    }
    CpuidRegisters Cpuid(uint32_t function, uint32_t subFunction) override {
        CpuidRegisters r;
        if (!client_.Cpuid(function, subFunction, r)) r = {};
        return r;
    }
    bool ReadTsc(uint64_t& value) override { return client_.ReadTsc(value).served(); }
    // Every board's processors have the instruction (a profile must give leaf 0).
    bool HasCpuid() override { return true; }

  protected:
    // Empty facts while the daemon does not answer; asked again next time.
    const PlatformFacts& Facts() {
        if (!loaded_) {
            loaded_ = client_.PlatformInfo(facts_).served();
            if (!loaded_) facts_ = {};
        }
        return facts_;
    }

    DriverClient& client_;
    bool loaded_ = false;
    PlatformFacts facts_;
};

class RemoteHostPlatform : public BoardPlatform {
  public:
    RemoteHostPlatform(DriverClient& client, std::string hostName)
        : BoardPlatform(client), client_(client), hostName_(std::move(hostName)) {}

    std::string ComputerName() override {
        const std::string& name = Facts().computer;
        return name.empty() ? hostName_ : name;
    }
    uint32_t ProcessorCount() override {
        if (Facts().processors != 0) return Facts().processors;
        const DriverCapabilities& caps = Capabilities();
        return caps.processors == 0 ? 1u : caps.processors;
    }
    CpuidRegisters Cpuid(uint32_t function, uint32_t subFunction) override {
        return Capabilities().cpuid ? BoardPlatform::Cpuid(function, subFunction)
                                    : CpuidRegisters{};
    }
    bool ReadTsc(uint64_t& value) override {
        return Capabilities().tsc && BoardPlatform::ReadTsc(value);
    }
    // Without the daemon's CPUID the tools show none, rather than this machine's.
    bool HasCpuid() override { return Capabilities().cpuid; }

  private:
    const DriverCapabilities& Capabilities() {
        if (!detected_) detected_ = client_.Detect(caps_).served();
        return caps_;
    }

    DriverClient& client_;
    std::string hostName_;
    bool detected_ = false;
    DriverCapabilities caps_;
};

}  // namespace

std::unique_ptr<Platform> MakeBoardPlatform(DriverClient& client) {
    return std::make_unique<BoardPlatform>(client);
}

std::unique_ptr<Platform> MakeRemoteHostPlatform(DriverClient& client, std::string hostName) {
    return std::make_unique<RemoteHostPlatform>(client, std::move(hostName));
}

}  // namespace kvt
