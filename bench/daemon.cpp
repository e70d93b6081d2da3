// Requests through the driver daemon against the bare cost of the socket exchange:
//  - one small request per connection through korvanta-driver (board backend), against a bare
//    Unix-socket server that takes 600 bytes and answers 600 bytes per connection, and against
//    the same request served in-process by the request handler;
//  - the same request over one kept connection, against a bare server answering on one kept
//    connection, and 64 requests sent back to back before their answers are read;
//  - 4 MiB physical-memory reads through the daemon, against a bare server answering 4 MiB.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "driver/board/board.h"
#include "driver/handler.h"
#include "driver/wire.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"

namespace {

using namespace kvt;
using namespace kvt::driver;

const char* kBoard = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";
constexpr uint32_t kMemoryBase = 0x00100000;  // RAM above 1 MiB on the board

sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return address;
}

int Connect(const std::string& path) {
    sockaddr_un address = Address(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = recv(fd, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// One exchange the way the driver client makes it: connect, send, receive, close.
bool Exchange(const std::string& path, const std::vector<uint8_t>& request,
              std::vector<uint8_t>& answer) {
    int fd = Connect(path);
    if (fd < 0) return false;
    bool ok =
        SendAll(fd, request.data(), request.size()) && ReceiveAll(fd, answer.data(), answer.size());
    close(fd);
    return ok;
}

std::vector<uint8_t> Frame(uint32_t code, const DriverRequest& block) {
    FrameHeader header{kFrameMagic, kFrameVersion, 0, code, 0, 0};
    std::vector<uint8_t> frame(kRequestPrefixSize);
    std::memcpy(frame.data(), &header, sizeof header);
    std::memcpy(frame.data() + sizeof header, &block, sizeof block);
    return frame;
}

DriverRequest ConfigRead() {
    DriverRequest block{};
    block.configAddress = 0x80000000;
    return block;
}

DriverRequest MemoryRead() {
    DriverRequest block{};
    block.length = kMaxTransfer;
    block.physicalAddress = kMemoryBase;
    return block;
}

std::string TempFolder() {
    char name[] = "/tmp/korvanta-bench-XXXXXX";
    return mkdtemp(name) ? name : "";
}

// A private board daemon for the whole run.
struct Daemon {
    std::string dir = TempFolder();
    pid_t pid = -1;
    Daemon() {
        pid = fork();
        if (pid == 0) {
            execl(KORVANTA_DRIVER_BIN, KORVANTA_DRIVER_BIN, "--board", kBoard, "--runtime-dir",
                  dir.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1000; ++i) {
            int fd = Connect(path());
            if (fd >= 0) {
                close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~Daemon() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir);
    }
    std::string path() const { return SocketPath(dir, kNtDeviceName); }
};

// The bare socket: a process that reads `requestSize` bytes and answers `answerSize` bytes
// on each connection, with nothing else in between.
struct BareServer {
    std::string dir = TempFolder();
    pid_t pid = -1;
    BareServer(size_t requestSize, size_t answerSize) {
        sockaddr_un address = Address(path());
        int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 128);
        pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_IGN);
            std::vector<uint8_t> request(requestSize), answer(answerSize, 0x5A);
            for (;;) {
                int fd = accept(listener, nullptr, nullptr);
                if (fd < 0) continue;
                if (ReceiveAll(fd, request.data(), request.size()))
                    SendAll(fd, answer.data(), answer.size());
                close(fd);
            }
        }
        close(listener);
    }
    ~BareServer() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir);
    }
    std::string path() const { return dir + "/bare"; }
};

// The bare kept connection: reads `requestSize` bytes and answers `answerSize` bytes, again
// and again on the same connection.
struct BareKeptServer {
    std::string dir = TempFolder();
    pid_t pid = -1;
    BareKeptServer(size_t requestSize, size_t answerSize) {
        sockaddr_un address = Address(path());
        int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 128);
        pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_IGN);
            std::vector<uint8_t> request(requestSize), answer(answerSize, 0x5A);
            for (;;) {
                int fd = accept(listener, nullptr, nullptr);
                if (fd < 0) continue;
                while (ReceiveAll(fd, request.data(), request.size()) &&
                       SendAll(fd, answer.data(), answer.size())) {
                }
                close(fd);
            }
        }
        close(listener);
    }
    ~BareKeptServer() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir);
    }
    std::string path() const { return dir + "/bare"; }
};

Daemon& SharedDaemon() {
    static Daemon daemon;
    return daemon;
}

void BM_RequestThroughDaemon(benchmark::State& state) {
    std::vector<uint8_t> request = Frame(kNtReadPciConfig, ConfigRead());
    std::vector<uint8_t> answer(kAnswerPrefixSize);
    std::string path = SharedDaemon().path();
    for (auto _ : state) {
        if (!Exchange(path, request, answer)) state.SkipWithError("exchange failed");
    }
    AnswerHeader header;
    std::memcpy(&header, answer.data(), sizeof header);
    if (header.success != 1) state.SkipWithError("request refused");
    state.SetItemsProcessed(state.iterations());
}

void BM_RequestBareSocket(benchmark::State& state) {
    BareServer server(kRequestPrefixSize, kAnswerPrefixSize);
    std::vector<uint8_t> request(kRequestPrefixSize, 1), answer(kAnswerPrefixSize);
    for (auto _ : state) {
        if (!Exchange(server.path(), request, answer)) state.SkipWithError("exchange failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RequestBareKeptConnection(benchmark::State& state) {
    BareKeptServer server(kRequestPrefixSize, kAnswerPrefixSize);
    std::vector<uint8_t> request(kRequestPrefixSize, 1), answer(kAnswerPrefixSize);
    int fd = Connect(server.path());
    for (auto _ : state) {
        if (!SendAll(fd, request.data(), request.size()) ||
            !ReceiveAll(fd, answer.data(), answer.size()))
            state.SkipWithError("exchange failed");
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}

void BM_RequestKeptConnection(benchmark::State& state) {
    std::vector<uint8_t> request = Frame(kNtReadPciConfig, ConfigRead());
    std::vector<uint8_t> answer(kAnswerPrefixSize);
    int fd = Connect(SharedDaemon().path());
    for (auto _ : state) {
        if (!SendAll(fd, request.data(), request.size()) ||
            !ReceiveAll(fd, answer.data(), answer.size()))
            state.SkipWithError("exchange failed");
    }
    close(fd);
    AnswerHeader header;
    std::memcpy(&header, answer.data(), sizeof header);
    if (header.success != 1) state.SkipWithError("request refused");
    state.SetItemsProcessed(state.iterations());
}

// 64 configuration reads (the double words of one function) sent before any answer is read;
// the time is per request.
void BM_RequestKeptConnectionBackToBack(benchmark::State& state) {
    constexpr int kBatch = 64;
    std::vector<uint8_t> one = Frame(kNtReadPciConfig, ConfigRead()), batch;
    for (int i = 0; i < kBatch; ++i) batch.insert(batch.end(), one.begin(), one.end());
    std::vector<uint8_t> answers(kBatch * kAnswerPrefixSize);
    int fd = Connect(SharedDaemon().path());
    for (auto _ : state) {
        if (!SendAll(fd, batch.data(), batch.size()) ||
            !ReceiveAll(fd, answers.data(), answers.size()))
            state.SkipWithError("exchange failed");
    }
    close(fd);
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["per_request_us"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RequestInProcess(benchmark::State& state) {
    std::string error;
    std::unique_ptr<Backend> board = LoadBoardBackend(kBoard, &error);
    if (!board) {
        state.SkipWithError(error.c_str());
        return;
    }
    RequestHandler handler(*board, HandlerOptions{});
    std::vector<uint8_t> request = Frame(kNtReadPciConfig, ConfigRead());
    Caller caller{getuid(), getgid(), getpid()};
    uint8_t prefix[kAnswerPrefixSize];
    for (auto _ : state) {
        std::optional<Answer> answer = ServeFrame(handler, caller, kNtDeviceName, request);
        EncodeAnswerPrefix(*answer, prefix);
        benchmark::DoNotOptimize(prefix);
    }
    state.SetItemsProcessed(state.iterations());
}

// The handler and the board's memory copy alone: what the daemon adds beyond the socket.
void BM_Read4MiBInProcess(benchmark::State& state) {
    std::string error;
    std::unique_ptr<Backend> board = LoadBoardBackend(kBoard, &error);
    if (!board) {
        state.SkipWithError(error.c_str());
        return;
    }
    RequestHandler handler(*board, HandlerOptions{});
    std::vector<uint8_t> request = Frame(kNtReadPhysicalMemory, MemoryRead());
    Caller caller{getuid(), getgid(), getpid()};
    for (auto _ : state) {
        std::optional<Answer> answer = ServeFrame(handler, caller, kNtDeviceName, request);
        if (!answer || !answer->success) state.SkipWithError("memory read refused");
        benchmark::DoNotOptimize(answer->payload.data());
        handler.Recycle(std::move(answer->payload));
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kMaxTransfer});
}

void BM_Read4MiBThroughDaemon(benchmark::State& state) {
    std::vector<uint8_t> request = Frame(kNtReadPhysicalMemory, MemoryRead());
    std::vector<uint8_t> answer(kAnswerPrefixSize + kMaxTransfer);
    std::string path = SharedDaemon().path();
    for (auto _ : state) {
        if (!Exchange(path, request, answer)) state.SkipWithError("exchange failed");
    }
    AnswerHeader header;
    std::memcpy(&header, answer.data(), sizeof header);
    if (header.success != 1) state.SkipWithError("memory read refused");
    state.SetBytesProcessed(state.iterations() * int64_t{kMaxTransfer});
}

void BM_Read4MiBBareSocket(benchmark::State& state) {
    BareServer server(kRequestPrefixSize, kAnswerPrefixSize + kMaxTransfer);
    std::vector<uint8_t> request(kRequestPrefixSize, 1), answer(kAnswerPrefixSize + kMaxTransfer);
    for (auto _ : state) {
        if (!Exchange(server.path(), request, answer)) state.SkipWithError("exchange failed");
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kMaxTransfer});
}

BENCHMARK(BM_RequestBareSocket)->UseRealTime();
BENCHMARK(BM_RequestThroughDaemon)->UseRealTime();
BENCHMARK(BM_RequestBareKeptConnection)->UseRealTime();
BENCHMARK(BM_RequestKeptConnection)->UseRealTime();
BENCHMARK(BM_RequestKeptConnectionBackToBack)->UseRealTime();
BENCHMARK(BM_RequestInProcess);
BENCHMARK(BM_Read4MiBBareSocket)->UseRealTime();
BENCHMARK(BM_Read4MiBThroughDaemon)->UseRealTime();
BENCHMARK(BM_Read4MiBInProcess);

}  // namespace

BENCHMARK_MAIN();
