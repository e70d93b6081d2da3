#include "hwaccess/board_platform.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace kvt {

namespace {

// A simulated board's own values, asked of its daemon. The board's description is read
// once, on first use, and kept: it does not change while the daemon runs.
class BoardPlatform : public Platform {
  public:
    explicit BoardPlatform(DriverClient& client) : client_(client) {}

    std::string ComputerName() override { return Info("computer"); }
    uint32_t ProcessorCount() override {
        unsigned long n = std::strtoul(Info("processors").c_str(), nullptr, 10);
        return n == 0 ? 1u : static_cast<uint32_t>(n);
    }
    VersionRecord Version() override {
        std::string text = Info("version");
        if (text.empty()) return HostVersionRecord();
        VersionRecord v;
        unsigned major = 0, minor = 0, build = 0, platform = 0;
        std::sscanf(text.c_str(), "%u.%u.%u.%u", &major, &minor, &build, &platform);
        v.majorVersion = major;
        v.minorVersion = minor;
        v.buildNumber = build;
        v.platformId = platform;
        v.csdVersion = Info("csd");
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
    std::string Info(const std::string& key) {
        if (!loaded_) {
            std::string text;
            if (!client_.PlatformInfo(text)) return {};
            size_t start = 0;
            while (start < text.size()) {
                size_t end = text.find('\n', start);
                if (end == std::string::npos) end = text.size();
                std::string line = text.substr(start, end - start);
                size_t eq = line.find('=');
                if (eq != std::string::npos) info_[line.substr(0, eq)] = line.substr(eq + 1);
                start = end + 1;
            }
            loaded_ = true;
        }
        auto it = info_.find(key);
        return it == info_.end() ? std::string() : it->second;
    }

    DriverClient& client_;
    bool loaded_ = false;
    std::map<std::string, std::string> info_;
};

class RemoteHostPlatform : public BoardPlatform {
  public:
    RemoteHostPlatform(DriverClient& client, std::string hostName)
        : BoardPlatform(client), client_(client), hostName_(std::move(hostName)) {}

    std::string ComputerName() override {
        std::string name = Info("computer");
        return name.empty() ? hostName_ : name;
    }
    uint32_t ProcessorCount() override {
        if (!Info("processors").empty()) return BoardPlatform::ProcessorCount();
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
