#include "hwaccess/board_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kvt {

namespace {

// A simulated board's own values, asked of its daemon. The board's description is read
// once, on first use, and kept: it does not change while the daemon runs.
class BoardPlatform : public Platform {
  public:
    explicit BoardPlatform(DriverTransport& transport) : transport_(transport) {}

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
        DriverRequest block = Zero();
        block.eax = function;
        block.ecx = subFunction;
        CpuidRegisters r;
        if (Call(kExtCpuid, block)) r = {block.eax, block.ebx, block.ecx, block.edx};
        return r;
    }
    bool ReadTsc(uint64_t& value) override {
        DriverRequest block = Zero();
        if (!Call(kExtReadTsc, block)) return false;
        value = (static_cast<uint64_t>(block.edx) << 32) | block.eax;
        return true;
    }

  private:
    static DriverRequest Zero() {
        DriverRequest block;
        std::memset(&block, 0, sizeof block);
        return block;
    }
    bool Call(uint32_t code, DriverRequest& block, std::vector<uint8_t>* payload = nullptr) {
        return transport_.Call({kNtDeviceName, code, false, {}, payload}, block) ==
               TransportResult::Ok;
    }
    std::string Info(const std::string& key) {
        if (!loaded_) {
            DriverRequest block = Zero();
            std::vector<uint8_t> payload;
            if (!Call(kExtPlatformInfo, block, &payload)) return {};
            std::string text(payload.begin(), payload.end());
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

    DriverTransport& transport_;
    bool loaded_ = false;
    std::map<std::string, std::string> info_;
};

}  // namespace

std::unique_ptr<Platform> MakeBoardPlatform(DriverTransport& transport) {
    return std::make_unique<BoardPlatform>(transport);
}

}  // namespace kvt
