// The hex document's bulk work on a large file in the page cache, each against a baseline in
// the same run:
//  - search (8-byte and 2-byte patterns, exact and case-insensitive) against glibc memmem
//    over the same bytes, read the same way (4 MiB windows);
//  - a plain read of the same windows, the floor of any search;
//  - a 2-byte patch of a 1 GiB sparse image saved in place against cp (and fsync) of it;
//  - a 64 MiB Memory Dump through a board daemon against the bare socket's 4 MiB rate.
// The file (KORVANTA_BENCH_SIZE bytes, default 2 GiB) is made in KORVANTA_BENCH_DIR (default
// $TMPDIR, else /tmp) and removed at the end. Peak RSS is reported as a counter.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hwaccess/session.h"
#include "platform/user_messages.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "tools/hexview/hex_document.h"
#include "tools/hexview/hex_edit_tool.h"
#include "tools/hexview/memory_dump_tool.h"

namespace {

using namespace kvt;

const char* kBoard = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";

std::string Folder() {
    if (const char* d = std::getenv("KORVANTA_BENCH_DIR")) return d;
    if (const char* d = std::getenv("TMPDIR")) return d;
    return "/tmp";
}

uint64_t Size() {
    if (const char* s = std::getenv("KORVANTA_BENCH_SIZE")) return std::strtoull(s, nullptr, 0);
    return 2ull << 30;
}

// Random bytes in which A5h is never followed by 5Ah or 7Ah, so the 2-byte pattern A5 5A is
// absent (in either case) although its first byte is as common as any.
struct BigFile {
    std::string dir;
    std::string path;
    uint64_t size = Size();
    BigFile() {
        std::string templ = Folder() + "/korvanta-hexbench-XXXXXX";
        dir = mkdtemp(templ.data()) ? templ : "";
        path = dir + "/big.bin";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<uint8_t> chunk(kHexChunk);
        uint64_t x = 88172645463325252ull;
        for (uint64_t done = 0; done < size; done += chunk.size()) {
            for (size_t i = 0; i < chunk.size(); i += 8) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                std::memcpy(&chunk[i], &x, 8);
            }
            for (size_t i = 1; i < chunk.size(); ++i) {
                if (chunk[i - 1] == 0xA5 && (chunk[i] | 0x20) == 0x7A) chunk[i] = 0x5B;
            }
            if (chunk[0] == 0x5A) chunk[0] = 0x5B;
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done));
            if (write(fd, chunk.data(), n) != ssize_t(n)) break;
        }
        close(fd);
    }
    ~BigFile() { std::filesystem::remove_all(dir); }
};

BigFile& File() {
    static BigFile file;
    return file;
}

void PeakRss(benchmark::State& state) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = double(usage.ru_maxrss) / 1024.0;
}

// 8 bytes starting with a common byte, absent from the file (checked once by the baseline).
const uint8_t kLong[8] = {0xA5, 0x13, 0x77, 0x02, 0xC4, 0x9E, 0x31, 0xF0};
const uint8_t kShort[2] = {0xA5, 0x5A};

void Search(benchmark::State& state, const uint8_t* pattern, size_t n, FindMode mode) {
    BigFile& file = File();
    int fd = open(file.path.c_str(), O_RDONLY);
    for (auto _ : state) {
        uint64_t at = 0;
        FindResult r = FindInFile(fd, file.size, pattern, n, mode, 0, at);
        benchmark::DoNotOptimize(r);
    }
    close(fd);
    state.SetBytesProcessed(int64_t(state.iterations() * file.size));
    PeakRss(state);
}

// glibc memmem over the same bytes, read in 4 MiB windows overlapping by n - 1.
void SearchMemmem(benchmark::State& state, const uint8_t* pattern, size_t n) {
    BigFile& file = File();
    int fd = open(file.path.c_str(), O_RDONLY);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kHexChunk]);
    for (auto _ : state) {
        bool found = false;
        for (uint64_t start = 0; start + n <= file.size && !found;) {
            size_t len = static_cast<size_t>(std::min<uint64_t>(kHexChunk, file.size - start));
            if (pread(fd, buffer.get(), len, off_t(start)) != ssize_t(len)) break;
            found = memmem(buffer.get(), len, pattern, n) != nullptr;
            if (start + len >= file.size) break;
            start += len - (n - 1);
        }
        if (found) state.SkipWithError("pattern present");
    }
    close(fd);
    state.SetBytesProcessed(int64_t(state.iterations() * file.size));
}

// The bytes alone: the same windows read, nothing searched.
void BM_ReadPlain(benchmark::State& state) {
    BigFile& file = File();
    int fd = open(file.path.c_str(), O_RDONLY);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kHexChunk]);
    for (auto _ : state) {
        for (uint64_t start = 0; start < file.size; start += kHexChunk) {
            size_t len = static_cast<size_t>(std::min<uint64_t>(kHexChunk, file.size - start));
            if (pread(fd, buffer.get(), len, off_t(start)) != ssize_t(len)) break;
            benchmark::DoNotOptimize(buffer[len - 1]);
        }
    }
    close(fd);
    state.SetBytesProcessed(int64_t(state.iterations() * file.size));
}

void BM_Search8Memmem(benchmark::State& s) {
    SearchMemmem(s, kLong, 8);
}
void BM_Search8Exact(benchmark::State& s) {
    Search(s, kLong, 8, FindMode::Exact);
}
void BM_Search8IgnoreCase(benchmark::State& s) {
    Search(s, kLong, 8, FindMode::IgnoreCase);
}
void BM_Search2Memmem(benchmark::State& s) {
    SearchMemmem(s, kShort, 2);
}
void BM_Search2Exact(benchmark::State& s) {
    Search(s, kShort, 2, FindMode::Exact);
}
void BM_Search2IgnoreCase(benchmark::State& s) {
    Search(s, kShort, 2, FindMode::IgnoreCase);
}

int Run(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A 1 GiB sparse disk image: 1 MiB of data at the start of every 4 MiB (256 MiB allocated).
struct SparseImage {
    std::string path = File().dir + "/disk.img";
    static constexpr uint64_t kSize = 1ull << 30;
    SparseImage() {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<uint8_t> data(1 << 20, 0x5C);
        if (ftruncate(fd, off_t(kSize)) != 0) path.clear();
        for (uint64_t at = 0; at < kSize; at += 4 << 20) {
            if (pwrite(fd, data.data(), data.size(), off_t(at)) != ssize_t(data.size())) break;
        }
        fsync(fd);
        close(fd);
    }
};

SparseImage& Image() {
    static SparseImage image;
    return image;
}

// Baseline: cp of the image (holes kept) and an fsync of the copy.
void BM_PatchSparseCp(benchmark::State& state) {
    SparseImage& image = Image();
    std::string target = File().dir + "/cp.img";
    for (auto _ : state) {
        if (Run({"cp", image.path, target}) != 0) state.SkipWithError("cp failed");
        int fd = open(target.c_str(), O_WRONLY);
        fsync(fd);
        close(fd);
        state.PauseTiming();
        unlink(target.c_str());
        state.ResumeTiming();
    }
}

struct NoMessages : UserMessages {
    void ShowMessage(std::string_view) override {}
    void SetFocus(std::string_view) override {}
};

// A 2-byte patch as `hex patch` does it: Open, two bytes typed, Save in place (journal and
// file synced).
void BM_PatchSparseInPlace(benchmark::State& state) {
    SparseImage& image = Image();
    std::string journals = File().dir + "/state";
    setenv("XDG_STATE_HOME", journals.c_str(), 1);
    uint8_t value = 0;
    for (auto _ : state) {
        NoMessages messages;
        HexDocument document;
        HexEditTool tool(messages, document, File().dir + "/Hex1");
        if (!tool.Open(image.path)) state.SkipWithError("open failed");
        const uint8_t bytes[2] = {++value, 0xEE};
        document.WriteBytes(0x1234567, bytes, 2);  // in a hole
        if (!tool.Save()) state.SkipWithError("save failed");
    }
    struct stat st {};
    stat(image.path.c_str(), &st);
    state.counters["image_allocated_MiB"] = double(st.st_blocks) * 512 / (1 << 20);
    PeakRss(state);
}

// ---- Memory Dump through the daemon ----------------------------------------------------------

void BM_MemoryDump64MiB(benchmark::State& state) {
    std::string templ = Folder() + "/korvanta-dumpbench-XXXXXX";
    std::string dir = mkdtemp(templ.data()) ? templ : "";
    pid_t daemon = fork();
    if (daemon == 0) {
        execl(KORVANTA_DRIVER_BIN, KORVANTA_DRIVER_BIN, "--board", kBoard, "--runtime-dir",
              BoardRuntimeDirUnder(dir, kBoard).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setenv("KORVANTA_RUNTIME_DIR", dir.c_str(), 1);
    std::string error;
    std::unique_ptr<HardwareSession> session = HardwareSession::Create(kBoard, &error);
    bool ready = false;
    for (int i = 0; session && i < 200 && !ready; ++i) {
        ready = session->client().DriverStatus(error).served();
        if (!ready) usleep(20000);
    }
    if (ready) {
        NoMessages messages;
        HexDocument document;
        MemoryDumpTool tool(session->client(), messages, document, dir + "/Memory1");
        for (auto _ : state) {
            if (!tool.Preset(0x100000, 64u << 20)) state.SkipWithError("dump failed");
        }
    } else {
        state.SkipWithError("the board daemon did not answer");
    }
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    std::filesystem::remove_all(dir);
    state.SetBytesProcessed(int64_t(state.iterations() * (64u << 20)));
}

// A process that answers every connection with 4 MiB after reading the request prefix.
void BM_BareSocket4MiB(benchmark::State& state) {
    std::string templ = Folder() + "/korvanta-barebench-XXXXXX";
    std::string dir = mkdtemp(templ.data()) ? templ : "";
    std::string path = dir + "/bare";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 16);
    const size_t answerSize = kAnswerPrefixSize + kMaxTransfer;
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_IGN);
        std::vector<uint8_t> request(kRequestPrefixSize), answer(answerSize, 0x5A);
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) continue;
            // One kept connection, as the client's session: request after request.
            while (recv(fd, request.data(), request.size(), MSG_WAITALL) ==
                   ssize_t(request.size())) {
                if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) != ssize_t(answer.size()))
                    break;
            }
            close(fd);
        }
    }
    close(listener);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::vector<uint8_t> request(kRequestPrefixSize, 1), answer(answerSize);
    for (auto _ : state) {
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()) ||
            recv(fd, answer.data(), answer.size(), MSG_WAITALL) != ssize_t(answer.size())) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    close(fd);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir);
    state.SetBytesProcessed(int64_t(state.iterations() * kMaxTransfer));
}

BENCHMARK(BM_ReadPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search8Memmem)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search8Exact)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search8IgnoreCase)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search2Memmem)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search2Exact)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search2IgnoreCase)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PatchSparseCp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PatchSparseInPlace)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_BareSocket4MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemoryDump64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
