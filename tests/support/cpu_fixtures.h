// Pieces shared by the processor tool tests: a processor with scripted CPUID leaves, an
// MSR space answering the driver requests, and recorded user messages.
#pragma once

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "hwaccess/transport.h"
#include "platform/platform.h"
#include "platform/user_messages.h"

namespace kvt::test {

// CPUID leaves by function; absent functions answer zeros, as an unreported leaf does.
class ScriptedProcessor : public Platform {
  public:
    std::map<uint32_t, CpuidRegisters> leaves;
    uint32_t processors = 1;
    bool hasTsc = true;
    uint64_t tscHz = 0;  // 0: the TSC follows CLOCK_MONOTONIC_RAW at 1 GHz
    struct Call {
        uint32_t function, subFunction, processor;
    };
    std::vector<Call> calls;

    void SetVendor(const char twelve[13]) {
        CpuidRegisters& r = leaves[0];
        std::memcpy(&r.ebx, twelve, 4);
        std::memcpy(&r.edx, twelve + 4, 4);
        std::memcpy(&r.ecx, twelve + 8, 4);
    }
    std::string ComputerName() override { return "scripted"; }
    uint32_t ProcessorCount() override { return processors; }
    VersionRecord Version() override { return HostVersionRecord(); }
    CpuidRegisters Cpuid(uint32_t function, uint32_t subFunction) override {
        calls.push_back({function, subFunction, CurrentProcessor()});
        auto it = leaves.find(function);
        return it == leaves.end() ? CpuidRegisters{} : it->second;
    }
    bool ReadTsc(uint64_t& value) override;
    bool HasCpuid() override { return true; }
};

// MSRs of a few processors behind a DriverTransport: reads and writes of listed MSRs succeed,
// refused ones fail as the driver refuses them. Records the processor of every request.
class MsrSpaceTransport : public DriverTransport {
  public:
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> values;  // (processor, msr)
    std::set<uint32_t> refused;
    bool noDevice = false;
    struct Request {
        uint32_t code, msr, processor, edi, esi;
        bool consumer;
        uint64_t value;
    };
    std::vector<Request> requests;

    TransportStatus Call(const TransportCall& call, DriverRequest& block) override;
};

struct RecordedMessages : UserMessages {
    std::vector<std::string> messages;
    std::vector<std::string> focus;
    void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
    void SetFocus(std::string_view field) override { focus.emplace_back(field); }
    void Clear() {
        messages.clear();
        focus.clear();
    }
};

// A temporary folder removed with its files at the end of the test.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static void WriteFile(const std::string& path, const std::string& bytes);
    static std::string ReadFile(const std::string& path);

  private:
    std::string dir_;
};

}  // namespace kvt::test
