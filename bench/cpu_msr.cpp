// Reading all values of a 1024-entry MSR list on a simulated board:
//  - through the board's driver daemon, one pinned worker thread per entry (the tool's path);
//  - the same requests served in-process by the daemon's request handler, still one pinned
//    worker per entry (what the socket exchange costs);
//  - the daemon's and the in-process requests without worker threads (what the threads cost).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/in_process_transport.h"
#include "driver/board/board.h"
#include "driver/handler.h"
#include "hwaccess/transport.h"
#include "protocol/frame.h"
#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/msr_list.h"

namespace {

using namespace kvt;

const char* kBoard = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";
const uint32_t kMsrs[] = {0x10,  0x17,  0x1B,       0x8B,       0xFE,
                          0x198, 0x1A0, 0xC0000080, 0xC0000082, 0xC0000103};

MsrList FullList() {
    MsrList list;
    for (size_t i = 0; i < kMsrListCapacity; ++i) {
        list.entries.push_back({kMsrs[i % std::size(kMsrs)], "bench"});
    }
    return list;
}

VersionRecord Linux() {
    return {6, 1, 0, kPlatformLinux, ""};
}

// A board daemon of our own, in a private runtime folder.
class BoardDaemon {
  public:
    BoardDaemon() {
        char pattern[] = "/tmp/kvt-bench-msr-XXXXXX";
        dir_ = mkdtemp(pattern) ? pattern : "";
        pid_ = fork();
        if (pid_ == 0) {
            execl(KORVANTA_DRIVER_BIN, KORVANTA_DRIVER_BIN, "--board", kBoard, "--runtime-dir",
                  dir_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        transport_ = std::make_unique<SocketTransport>(dir_);
        client_ = std::make_unique<DriverClient>(*transport_, Linux);
        for (int i = 0; i < 500 && !ready_; ++i) {
            DriverRequest block{};
            block.ecx = 0x1B;
            ready_ = transport_->Call({"Korvanta", kNtReadMsr, false, {}, nullptr}, block) ==
                     TransportResult::Ok;
            if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~BoardDaemon() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    bool ready() const { return ready_; }
    DriverClient& client() { return *client_; }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::unique_ptr<SocketTransport> transport_;
    std::unique_ptr<DriverClient> client_;
};

void Report(benchmark::State& state, const MsrList& list) {
    size_t refused = 0;
    for (const MsrEntry& e : list.entries) refused += e.eax == 0xFFFFFFFF && e.edx == 0xFFFFFFFF;
    state.counters["reads/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * list.count()), benchmark::Counter::kIsRate);
    state.counters["refused"] = static_cast<double>(refused);
}

void BM_ReadAll1024_Daemon(benchmark::State& state) {
    BoardDaemon daemon;
    if (!daemon.ready()) {
        state.SkipWithError("the board daemon did not answer");
        return;
    }
    MsrList list = FullList();
    uint32_t processor = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) ReadAllMsrValues(list, processor, daemon.client());
    Report(state, list);
}
// Board processors 0 and 1 exist on this machine too, so the worker really moves there;
// processor 3 exists only on the board (the request carries it, no affinity is set).
BENCHMARK(BM_ReadAll1024_Daemon)
    ->Arg(0)
    ->Arg(1)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ReadAll1024_DaemonNoThreads(benchmark::State& state) {
    BoardDaemon daemon;
    if (!daemon.ready()) {
        state.SkipWithError("the board daemon did not answer");
        return;
    }
    MsrList list = FullList();
    for (auto _ : state) {
        for (MsrEntry& e : list.entries) {
            uint64_t v = ReadMsrUnpinned(daemon.client(), e.msr);
            e.eax = static_cast<uint32_t>(v);
            e.edx = static_cast<uint32_t>(v >> 32);
        }
    }
    Report(state, list);
}
BENCHMARK(BM_ReadAll1024_DaemonNoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

struct InProcess {
    std::unique_ptr<driver::Backend> board;
    std::unique_ptr<driver::RequestHandler> handler;
    std::unique_ptr<InProcessTransport> transport;
    std::unique_ptr<DriverClient> client;
    bool Load() {
        std::string error;
        board = driver::LoadBoardBackend(kBoard, &error);
        if (!board) return false;
        handler = std::make_unique<driver::RequestHandler>(*board, driver::HandlerOptions{});
        transport = std::make_unique<InProcessTransport>(*handler);
        client = std::make_unique<DriverClient>(*transport, Linux);
        return true;
    }
};

void BM_ReadAll1024_InProcessPinned(benchmark::State& state) {
    InProcess p;
    if (!p.Load()) {
        state.SkipWithError("board profile did not load");
        return;
    }
    MsrList list = FullList();
    uint32_t processor = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) ReadAllMsrValues(list, processor, *p.client);
    Report(state, list);
}
BENCHMARK(BM_ReadAll1024_InProcessPinned)
    ->Arg(0)
    ->Arg(1)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ReadAll1024_InProcessNoThreads(benchmark::State& state) {
    InProcess p;
    if (!p.Load()) {
        state.SkipWithError("board profile did not load");
        return;
    }
    MsrList list = FullList();
    PinCurrentThread(1);
    for (auto _ : state) {
        for (MsrEntry& e : list.entries) {
            uint64_t v = ReadMsrUnpinned(*p.client, e.msr);
            e.eax = static_cast<uint32_t>(v);
            e.edx = static_cast<uint32_t>(v >> 32);
        }
    }
    Report(state, list);
}
BENCHMARK(BM_ReadAll1024_InProcessNoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
