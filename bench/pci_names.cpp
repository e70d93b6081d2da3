// The PCI device list with names for a generated 256-function board, in one run:
//  - PciTool::Scan through the board daemon, names from the indexed description files, both
//    with the index kept (warm) and with the name files changed before every scan (cold);
//  - the same list with every name looked up by reading the files from the top (the
//    line-by-line reader of the tests);
//  - baseline: `lspci -nn -F` over a dump of the same 256 configuration spaces;
//  - whole processes: `korvanta-cli pci devices` against `lspci -nn -F`, and the all-devices
//    `korvanta-cli report pci` against `lspci -vvv -xxx -F`, over the same functions.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hwaccess/session.h"
#include "platform/format.h"
#include "protocol/endpoint.h"
#include "support/pci_desc_reference.h"
#include "tools/pci/pci_tool.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace kvt;

class Quiet : public UserMessages {
  public:
    void ShowMessage(std::string_view) override {}
    void SetFocus(std::string_view) override {}
};

// 256 functions with real vendor and device IDs from the name file, one device each on buses
// 0-7; every other one is PCI Express (a power management capability, then the PCI Express one).
std::string MakeBoard(const std::string& folder) {
    std::ifstream in(KORVANTA_SOURCE_DIR "/boards/intel-desktop.json");
    nlohmann::json board = nlohmann::json::parse(in);
    board["name"] = "bench-256";
    std::ifstream names(KORVANTA_BINARY_DIR "/PciId.txt");
    std::vector<std::pair<std::string, std::string>> ids;
    std::string vendor, line;
    while (std::getline(names, line) && ids.size() < 20000) {
        if (line.rfind("VID ", 0) == 0) vendor = line.substr(4, 4);
        if (line.rfind("DID ", 0) == 0) ids.emplace_back(vendor, line.substr(4, 4));
    }
    const char* classes[] = {"0x060000", "0x020000", "0x030000", "0x0C0330",
                             "0x010802", "0x040300", "0x0C0500", "0x060400"};
    nlohmann::json functions = nlohmann::json::array();
    for (int i = 0; i < 256; ++i) {
        const auto& id = ids[static_cast<size_t>(i) * (ids.size() / 256)];
        nlohmann::json f = {{"address", Format("%02X:%02X.0", i / 32, i % 32)},
                            {"vendor_id", "0x" + id.first},
                            {"device_id", "0x" + id.second},
                            {"class", classes[i % 8]}};
        if (i % 2 == 1) {
            f["express"] = true;
            f["capabilities"] = {{{"id", "0x01"}}, {{"id", "0x10"}, {"port_type", "endpoint"}}};
        }
        functions.push_back(f);
    }
    board["pci"]["functions"] = functions;
    board.erase("smbus");  // its controllers name functions this board replaces
    std::string path = folder + "/bench-256.json";
    std::ofstream(path) << board.dump();
    return path;
}

struct Fixture {
    std::string folder;
    std::string board;
    pid_t daemon = -1;
    std::unique_ptr<HardwareSession> session;
    std::string dump;  // the 256 configuration spaces as lspci -x writes them

    Fixture() {
        char pattern[] = "/tmp/korvanta-bench-pci-XXXXXX";
        folder = mkdtemp(pattern);
        board = MakeBoard(folder);
        daemon = fork();
        if (daemon == 0) {
            execl(KORVANTA_DRIVER_BIN, KORVANTA_DRIVER_BIN, "--board", board.c_str(),
                  "--runtime-dir", BoardRuntimeDirUnder(folder, board).c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        setenv("KORVANTA_RUNTIME_DIR", folder.c_str(), 1);
        std::string error;
        session = HardwareSession::Create(board, &error);
        for (int i = 0; i < 1000 && !session->LoadDriver(&error); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // Copies of the name files whose modification time the cold scan changes.
        for (const char* file : {kPciIdFile, kPciClassFile, kRegisterDescriptionFile}) {
            fs::copy_file(fs::path(KORVANTA_BINARY_DIR) / file, fs::path(folder) / file);
        }
        std::vector<PciFunctionRecord> table;
        EnumeratePciFunctions(session->client(), table);
        for (const PciFunctionRecord& r : table) {
            dump += Format("%02x:%02x.%x Device\n", r.bus, r.device, r.function);
            for (uint32_t offset = 0; offset < 256; offset += 16) {
                dump += Format("%02x:", offset);
                for (uint32_t i = 0; i < 16; i += 4) {
                    uint32_t v = 0;
                    session->client().ReadPciConfig(r.address(offset + i).ConfigAddress(), v);
                    for (int b = 0; b < 4; ++b) dump += Format(" %02x", (v >> (8 * b)) & 0xFF);
                }
                dump += "\n";
            }
            dump += "\n";
        }
        std::ofstream(folder + "/dump.txt") << dump;
    }
    ~Fixture() {
        session.reset();
        kill(daemon, SIGTERM);
        waitpid(daemon, nullptr, 0);
        fs::remove_all(folder);
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void Touch(const std::string& path, time_t stamp) {
    struct timespec times[2] = {{0, UTIME_NOW}, {stamp, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void KorvantaScanWarm(benchmark::State& state) {
    Fixture& f = Shared();
    Quiet quiet;
    PciTool tool(f.session->client(), quiet, PciDescriptions(f.folder));
    for (auto _ : state) {
        tool.Scan();
        benchmark::DoNotOptimize(tool.deviceRows().data());
    }
    state.counters["rows"] = static_cast<double>(tool.listMap().size());
}

void KorvantaScanCold(benchmark::State& state) {
    Fixture& f = Shared();
    Quiet quiet;
    PciTool tool(f.session->client(), quiet, PciDescriptions(f.folder));
    time_t stamp = 1000;
    for (auto _ : state) {
        // The files changed: the first lookups parse them again.
        ++stamp;
        for (const char* file : {kPciIdFile, kPciClassFile, kRegisterDescriptionFile}) {
            Touch(f.folder + "/" + file, stamp);
        }
        tool.Scan();
        benchmark::DoNotOptimize(tool.deviceRows().data());
    }
}

// The same rows, each name read from the top of the files.
void RescanPerLookup(benchmark::State& state) {
    Fixture& f = Shared();
    const std::string ids = f.folder + "/" + kPciIdFile;
    const std::string classes = f.folder + "/" + kPciClassFile;
    for (auto _ : state) {
        std::vector<PciFunctionRecord> table;
        EnumeratePciFunctions(f.session->client(), table);
        std::vector<std::string> rows;
        for (const PciFunctionRecord& r : table) {
            std::string vendor = test::ReferenceVendorName(ids, r.vendorId);
            ClassLookup cls = test::ReferenceClassDescription(classes, r.classCode);
            rows.push_back(cls.description + vendor +
                           test::ReferenceDeviceName(ids, r.vendorId, r.deviceId));
        }
        benchmark::DoNotOptimize(rows.data());
    }
}

// Runs a program to its end with its output and warnings thrown away; false (and the benchmark
// skipped) when it cannot start or fails.
bool RunQuiet(benchmark::State& state, std::vector<std::string> args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    const bool started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) {
        state.SkipWithError((args[0] + " not found").c_str());
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        state.SkipWithError((args[0] + " failed").c_str());
        return false;
    }
    return true;
}

void LspciDump(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state)
        if (!RunQuiet(state, {"lspci", "-nn", "-F", f.folder + "/dump.txt"})) break;
}

// Whole processes of the command line against the running board daemon, with their lspci
// counterparts over the same configuration spaces as the baseline.
void CliPciDevices(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state)
        if (!RunQuiet(state, {KORVANTA_CLI_BIN, "--board", f.board, "pci", "devices"})) break;
}

void LspciVerbose(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state)
        if (!RunQuiet(state, {"lspci", "-vvv", "-xxx", "-F", f.folder + "/dump.txt"})) break;
}

void CliReportPci(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state)
        if (!RunQuiet(state, {KORVANTA_CLI_BIN, "--board", f.board, "report", "pci"})) break;
}

BENCHMARK(LspciDump)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(KorvantaScanWarm)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(KorvantaScanCold)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RescanPerLookup)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CliPciDevices)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LspciVerbose)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CliReportPci)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
