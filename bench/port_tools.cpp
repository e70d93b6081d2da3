// The port tools through the driver daemon (intel-desktop board), per request, against the
// bare cost of one socket exchange of the same size (connect, 600 bytes each way, close):
//  - a 256-byte CMOS dump (512 requests);
//  - Group I/O 0000-FFFF Byte (65536 reads, sent in batches) and index 00-FF (256 index
//    writes, 256 reads);
//  - the baselines of the batched dump: one port read over the kept connection, and the same
//    65536 reads sent one at a time.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hwaccess/session.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "tools/io/cmos_tool.h"
#include "tools/io/group_io_tool.h"

namespace {

using namespace kvt;

const char* kBoard = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";

struct Quiet : UserMessages {
    void ShowMessage(std::string_view) override {}
    void SetFocus(std::string_view) override {}
};

std::string TempFolder() {
    char name[] = "/tmp/korvanta-bench-XXXXXX";
    return mkdtemp(name) ? name : "";
}

sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return address;
}

bool Io(int fd, uint8_t* data, size_t size, bool sending) {
    while (size > 0) {
        ssize_t n = sending ? send(fd, data, size, MSG_NOSIGNAL) : recv(fd, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A board daemon and a session on it for the whole run.
struct Board {
    std::string dir = TempFolder();
    pid_t pid = -1;
    std::unique_ptr<HardwareSession> session;
    Board() {
        pid = fork();
        if (pid == 0) {
            execl(KORVANTA_DRIVER_BIN, KORVANTA_DRIVER_BIN, "--board", kBoard, "--runtime-dir",
                  BoardRuntimeDirUnder(dir, kBoard).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        setenv("KORVANTA_RUNTIME_DIR", dir.c_str(), 1);
        std::string error;
        session = HardwareSession::Create(kBoard, &error);
        for (int i = 0; i < 1000 && session && !session->LoadDriver(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~Board() {
        session.reset();
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir);
    }
};

Board& SharedBoard() {
    static Board board;
    return board;
}

// The bare socket: one request prefix in, one answer prefix out, per connection.
void BM_BareExchange(benchmark::State& state) {
    std::string dir = TempFolder(), path = dir + "/bare";
    sockaddr_un address = Address(path);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 128);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<uint8_t> request(kRequestPrefixSize), answer(kAnswerPrefixSize, 0x5A);
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) continue;
            if (Io(fd, request.data(), request.size(), false))
                Io(fd, answer.data(), answer.size(), true);
            close(fd);
        }
    }
    close(listener);
    std::vector<uint8_t> request(kRequestPrefixSize, 1), answer(kAnswerPrefixSize);
    for (auto _ : state) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  Io(fd, request.data(), request.size(), true) &&
                  Io(fd, answer.data(), answer.size(), false);
        close(fd);
        if (!ok) state.SkipWithError("exchange failed");
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir);
    state.SetItemsProcessed(state.iterations());
}

void BM_CmosDump256(benchmark::State& state) {
    Quiet quiet;
    CmosTool tool(SharedBoard().session->client(), quiet);
    tool.size256 = true;
    for (auto _ : state) {
        tool.Dump();
        if (tool.failedRequests() != 0) state.SkipWithError("requests refused");
    }
    state.SetItemsProcessed(state.iterations() * 513);  // 512 + the NMI index write
}

void BM_GroupIoDirectFull(benchmark::State& state) {
    Quiet quiet;
    GroupIoTool tool(SharedBoard().session->client(), quiet);
    tool.start = "0";
    tool.end = "FFFF";
    for (auto _ : state) {
        tool.Read();
        if (tool.rows().size() != 65536) state.SkipWithError("short dump");
    }
    state.SetItemsProcessed(state.iterations() * 65536);
}

// One port read, a whole round trip over the kept connection.
void BM_KeptRoundTrip(benchmark::State& state) {
    DriverClient& client = SharedBoard().session->client();
    for (auto _ : state) {
        if (!client.TryReadPort(0x80, 1)) state.SkipWithError("request refused");
    }
    state.SetItemsProcessed(state.iterations());
}

// 0000-FFFF as it was read before the batches: one round trip per port.
void BM_GroupIoDirectFullOneByOne(benchmark::State& state) {
    DriverClient& client = SharedBoard().session->client();
    for (auto _ : state) {
        size_t served = 0;
        for (uint32_t port = 0; port <= 0xFFFF; ++port) {
            served += client.TryReadPort(static_cast<uint16_t>(port), 1).served();
        }
        if (served != 65536) state.SkipWithError("requests refused");
    }
    state.SetItemsProcessed(state.iterations() * 65536);
}

void BM_GroupIoIndexFull(benchmark::State& state) {
    Quiet quiet;
    GroupIoTool tool(SharedBoard().session->client(), quiet);
    tool.SelectMode(GroupIoTool::Mode::Index);
    tool.indexPort = "70";
    tool.dataPort = "71";
    tool.startOffset = "0";
    tool.endOffset = "FF";
    for (auto _ : state) {
        tool.Read();
        if (tool.failedRequests() != 0) state.SkipWithError("requests refused");
    }
    state.SetItemsProcessed(state.iterations() * 512);
}

BENCHMARK(BM_BareExchange)->UseRealTime();
BENCHMARK(BM_CmosDump256)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupIoDirectFull)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_KeptRoundTrip)->UseRealTime();
BENCHMARK(BM_GroupIoDirectFullOneByOne)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_GroupIoIndexFull)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
