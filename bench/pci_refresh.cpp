// The PCI device list and one function's register Refresh, as a user runs them: korvanta-cli
// `pci list` and `pci regs BB:DD.F` against a running daemon, on a board and (as root) on this
// machine. With KORVANTA_BASELINE_BUILD naming another build folder, the same commands of that
// build run against its own daemon in the same run, as the baseline.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* kBoard = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";

// Runs a program with its output thrown away; its exit status.
int Run(const std::vector<std::string>& args, const std::string& runtimeDir) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::string env = "KORVANTA_RUNTIME_DIR=" + runtimeDir;
    char* envp[] = {env.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One build's CLI against its own daemon in a private runtime folder.
struct Build {
    std::string dir, runtime;
    bool board = true;
    std::vector<std::string> Cli(std::vector<std::string> args) const {
        std::vector<std::string> all = {dir + "/korvanta-cli"};
        if (board) all.insert(all.end(), {"--board", kBoard});
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    void Stop() const { Run(Cli({"driver", "stop"}), runtime); }
};

void Command(benchmark::State& state, Build build, std::vector<std::string> args) {
    std::filesystem::create_directories(build.runtime);
    std::filesystem::permissions(build.runtime, std::filesystem::perms::owner_all);
    pid_t host = -1;
    if (!build.board) {
        if (geteuid() != 0) {
            state.SkipWithError("the host daemon needs root");
            return;
        }
        std::string driver = build.dir + "/korvanta-driver";
        std::vector<std::string> d = {driver, "--runtime-dir", build.runtime, "--read-only"};
        std::vector<char*> argv;
        for (std::string& a : d) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn(&host, driver.c_str(), nullptr, nullptr, argv.data(), environ);
        usleep(300 * 1000);
    }
    if (Run(build.Cli(args), build.runtime) != 0) state.SkipWithError("the command failed");
    for (auto _ : state) benchmark::DoNotOptimize(Run(build.Cli(args), build.runtime));
    if (host > 0) {
        kill(host, SIGTERM);
        waitpid(host, nullptr, 0);
    } else {
        build.Stop();
    }
}

void Register(const std::string& name, const std::string& dir, const std::string& function) {
    const std::string runtime = "/tmp/korvanta-bench-pci-" + std::to_string(getpid()) + "-" + name;
    Build board{dir, runtime + "-board", true};
    Build host{dir, runtime + "-host", false};
    benchmark::RegisterBenchmark(("board pci list/" + name).c_str(), Command, board,
                                 std::vector<std::string>{"pci", "list"});
    benchmark::RegisterBenchmark(("board pci regs 00:1f.3/" + name).c_str(), Command, board,
                                 std::vector<std::string>{"pci", "regs", "00:1f.3"});
    benchmark::RegisterBenchmark(("host pci list/" + name).c_str(), Command, host,
                                 std::vector<std::string>{"pci", "list"});
    benchmark::RegisterBenchmark(("host pci regs " + function + "/" + name).c_str(), Command, host,
                                 std::vector<std::string>{"pci", "regs", function});
}

}  // namespace

int main(int argc, char** argv) {
    // The host function: the last one sysfs lists.
    std::string function = "00:00.0";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/bus/pci/devices", ec))
        if (e.path().filename().string().rfind("0000:", 0) == 0)
            function = e.path().filename().string().substr(5);
    if (const char* baseline = std::getenv("KORVANTA_BASELINE_BUILD"))
        Register("baseline", baseline, function);
    Register("this", KORVANTA_BINARY_DIR, function);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
