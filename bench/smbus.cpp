// A 256-byte Read range of the SMBus tool (256 byte-data transactions, each about ten port
// requests) on a board through the driver daemon, against the same transactions served
// in-process by the request handler over the same board's models.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "bench/in_process_transport.h"
#include "driver/board/board.h"
#include "driver/handler.h"
#include "hwaccess/driver_client.h"
#include "protocol/frame.h"
#include "tools/smbus/smbus_tool.h"

namespace {

using namespace kvt;

const char* kBoard = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";

VersionRecord Linux() {
    return {6, 1, 0, kPlatformLinux, ""};
}

struct Silent : UserMessages {
    int shown = 0;
    void ShowMessage(std::string_view) override { ++shown; }
    void SetFocus(std::string_view) override {}
};

// One Read range of 256 bytes from the SPD at 50h, as the window does it.
void ReadRange256(benchmark::State& state, DriverClient& client) {
    Silent messages;
    SmbusTool tool(client, messages);
    tool.Start();
    tool.readAddress = "50", tool.startOffset = "00", tool.length = "100";
    for (auto _ : state) tool.ReadRange();
    if (messages.shown || tool.rows().size() != 16) state.SkipWithError("the read failed");
    state.counters["bytes/s"] =
        benchmark::Counter(double(state.iterations() * 256), benchmark::Counter::kIsRate);
}

void BM_ReadRange256_Daemon(benchmark::State& state) {
    char pattern[] = "/tmp/kvt-bench-smbus-XXXXXX";
    std::string dir = mkdtemp(pattern) ? pattern : "";
    pid_t pid = fork();
    if (pid == 0) {
        execl(KORVANTA_DRIVER_BIN, KORVANTA_DRIVER_BIN, "--board", kBoard, "--runtime-dir",
              dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    SocketTransport transport(dir, true);
    DriverClient client(transport, Linux);
    bool ready = false;
    for (int i = 0; i < 500 && !ready; ++i) {
        std::string status;
        ready = client.DriverStatus(status).served();
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ready)
        ReadRange256(state, client);
    else
        state.SkipWithError("the board daemon did not answer");
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_ReadRange256_Daemon)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadRange256_InProcess(benchmark::State& state) {
    std::string error;
    auto board = driver::LoadBoardBackend(kBoard, &error);
    if (!board) {
        state.SkipWithError(error.c_str());
        return;
    }
    driver::RequestHandler handler(*board, driver::HandlerOptions{});
    InProcessTransport transport(handler);
    DriverClient client(transport, Linux);
    ReadRange256(state, client);
}
BENCHMARK(BM_ReadRange256_InProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

// A bus scan of one board's first controller, in-process: the scan as it is (a receive byte at
// 30h-37h and 50h-5Fh, byte data of command 0 elsewhere) against the baseline of byte data of
// command 0 at every address, over the same models in the same run.
void Scan(benchmark::State& state, const char* name, bool probe) {
    std::string error;
    auto board = driver::LoadBoardBackend(
        std::string(KORVANTA_SOURCE_DIR) + "/boards/" + name + ".json", &error);
    if (!board) {
        state.SkipWithError(error.c_str());
        return;
    }
    driver::RequestHandler handler(*board, driver::HandlerOptions{});
    InProcessTransport transport(handler);
    DriverClient client(transport, Linux);
    std::vector<SmbusController> found = DetectSmbusControllers(client);
    if (found.empty()) {
        state.SkipWithError("no controller");
        return;
    }
    SmbusPorts io(client);
    int answered = 0;
    for (auto _ : state) {
        answered = 0;
        for (uint8_t a = 0; a <= 0x7E; ++a) {
            uint8_t v = 0;
            int r = probe ? SmbusProbe(io, found[0].ioBase, a, found[0].vendorKind)
                          : SmbusReadByte(io, found[0].ioBase, a, 0, v, found[0].vendorKind);
            answered += r == kSmbusOk;
        }
    }
    state.counters["found"] = answered;
}

void BM_Scan(benchmark::State& state, const char* name) {
    Scan(state, name, true);
}
void BM_ScanByteDataBaseline(benchmark::State& state, const char* name) {
    Scan(state, name, false);
}

#define KVT_SCAN(board)                                                                      \
    BENCHMARK_CAPTURE(BM_Scan, board, #board)->Unit(benchmark::kMillisecond)->UseRealTime(); \
    BENCHMARK_CAPTURE(BM_ScanByteDataBaseline, board, #board)                                \
        ->Unit(benchmark::kMillisecond)                                                      \
        ->UseRealTime()
KVT_SCAN(intel - desktop);
KVT_SCAN(via);
KVT_SCAN(ati);
KVT_SCAN(nvidia - amd);
KVT_SCAN(ddr3 - desktop);
KVT_SCAN(ddr4 - desktop);
KVT_SCAN(ddr5 - desktop);

}  // namespace

BENCHMARK_MAIN();
