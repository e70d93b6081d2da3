#include "support/cpu_fixtures.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "protocol/driver_request.h"

namespace kvt::test {

bool ScriptedProcessor::ReadTsc(uint64_t& value) {
    if (!hasTsc) return false;
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    long double ns = static_cast<long double>(ts.tv_sec) * 1e9L + ts.tv_nsec;
    value = static_cast<uint64_t>(tscHz == 0 ? ns : ns * tscHz / 1e9L);
    return true;
}

TransportStatus MsrSpaceTransport::Call(const TransportCall& call, DriverRequest& block) {
    Request r{call.code,
              block.ecx,
              CurrentProcessor(),
              block.edi,
              block.esi,
              call.consumerForm,
              (static_cast<uint64_t>(block.edx) << 32) | block.eax};
    requests.push_back(r);
    if (noDevice) return TransportResult::OpenFailed;
    bool read = call.code == kNtReadMsr || call.code == kConsumerReadMsr;
    bool write = call.code == kNtWriteMsr || call.code == kConsumerWriteMsr;
    if ((!read && !write) || refused.count(block.ecx)) return TransportResult::RequestFailed;
    auto key = std::make_pair(r.processor, block.ecx);
    if (read) {
        uint64_t v = values.count(key) ? values[key] : 0;
        block.eax = static_cast<uint32_t>(v);
        block.edx = static_cast<uint32_t>(v >> 32);
    } else {
        values[key] = r.value;
    }
    return TransportResult::Ok;
}

TempFolder::TempFolder() {
    char pattern[] = "/tmp/kvt-cpu-XXXXXX";
    const char* made = mkdtemp(pattern);
    dir_ = made ? made : "/tmp";
}

TempFolder::~TempFolder() {
    std::error_code ec;
    if (dir_ != "/tmp") std::filesystem::remove_all(dir_, ec);
}

void TempFolder::WriteFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string TempFolder::ReadFile(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

}  // namespace kvt::test
