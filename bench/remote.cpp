// One board request's round trip through the ssh tunnel of --remote (ssh to an sshd of the
// benchmark's own on 127.0.0.1, `driver stdio` there, the board daemon) against the same
// request over the local board daemon's socket, in the same run:
//  - one port read per exchange;
//  - 64 port reads sent back to back before their answers are read (ReadPortBatch).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hwaccess/session.h"
#include "protocol/endpoint.h"
#include "support/process.h"
#include "support/sshd.h"

namespace {

using namespace kvt;

const char* kBoard = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";

std::unique_ptr<test::SshServer> g_server;
std::unique_ptr<HardwareSession> g_local;
std::unique_ptr<HardwareSession> g_remote;

void PortRead(benchmark::State& state, HardwareSession* session) {
    if (session == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    for (auto _ : state) {
        Reply<uint32_t> reply = session->client().TryReadPort(0x80, 1);
        if (!reply.served()) {
            state.SkipWithError(DescribeFailure(reply.failure));
            return;
        }
        benchmark::DoNotOptimize(reply.value);
    }
}

void PortReadBatch(benchmark::State& state, HardwareSession* session) {
    if (session == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    std::vector<DriverClient::PortRead> reads(64);
    for (size_t i = 0; i < reads.size(); ++i) reads[i].port = static_cast<uint16_t>(0x80 + i);
    for (auto _ : state) {
        if (!session->client().ReadPortBatch(reads)) {
            state.SkipWithError("batch not served");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(reads.size()));
}

void BM_PortRead_LocalSocket(benchmark::State& state) {
    PortRead(state, g_local.get());
}
void BM_PortRead_SshTunnel(benchmark::State& state) {
    PortRead(state, g_remote.get());
}
void BM_PortReadBatch64_LocalSocket(benchmark::State& state) {
    PortReadBatch(state, g_local.get());
}
void BM_PortReadBatch64_SshTunnel(benchmark::State& state) {
    PortReadBatch(state, g_remote.get());
}
BENCHMARK(BM_PortRead_LocalSocket)->UseRealTime();
BENCHMARK(BM_PortRead_SshTunnel)->UseRealTime();
BENCHMARK(BM_PortReadBatch64_LocalSocket)->UseRealTime();
BENCHMARK(BM_PortReadBatch64_SshTunnel)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string error;
    g_server = std::make_unique<test::SshServer>();
    if (!g_server->Start(&error)) {
        std::fprintf(stderr, "bench_remote: %s\n", error.c_str());
        return 1;
    }
    // Both sides' board daemons live in the server's private folder.
    const std::string runtime = g_server->folder() + "/runtime";
    mkdir(runtime.c_str(), 0700);
    setenv("KORVANTA_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KORVANTA_SSH", g_server->SshVariable().substr(sizeof "KORVANTA_SSH=" - 1).c_str(), 1);
    setenv("KORVANTA_REMOTE_CLI", KORVANTA_CLI_BIN, 1);

    // The local board daemon is started here: this program does not lie beside it.
    test::ProcessResult started =
        test::RunProcess({KORVANTA_DRIVER_BIN, "--detach", "--board", kBoard, "--runtime-dir",
                          BoardRuntimeDir(kBoard)});
    if (started.status != 0) {
        std::fprintf(stderr, "bench_remote: %s\n", started.err.c_str());
        return 1;
    }
    g_local = HardwareSession::Create(kBoard, &error);
    if (!g_local || !g_local->LoadDriver(&error)) {
        std::fprintf(stderr, "bench_remote: local board: %s\n", error.c_str());
        return 1;
    }
    g_remote = HardwareSession::CreateRemote(g_server->Target(), "intel-desktop", &error);
    if (!g_remote || !g_remote->LoadDriver(&error)) {
        std::fprintf(stderr, "bench_remote: remote board: %s\n", error.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    g_remote.reset();
    g_local->client().StopDriver();
    g_local.reset();
    // The remote side's board daemon (the build's profile) ends too.
    test::RunProcess({KORVANTA_CLI_BIN, "--board", "intel-desktop", "driver", "stop"});
    g_server.reset();
    return 0;
}
