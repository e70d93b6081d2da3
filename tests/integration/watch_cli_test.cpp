// korvanta-cli watch against board daemons: every kind samples what the one-shot read gives,
// --changes ends once a value changed, Ctrl+C and a closed output end it cleanly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

const std::string kStamp = R"(\d\d:\d\d:\d\d\.\d{3})";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A watch running beside the test: its output is read line by line as it comes.
class RunningCli {
  public:
    RunningCli(const std::string& runtimeDir, const std::vector<std::string>& args) {
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        errPath_ = runtimeDir + "/watch-stderr.txt";
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            setenv("KORVANTA_RUNTIME_DIR", runtimeDir.c_str(), 1);
            std::vector<char*> argv = {const_cast<char*>(KORVANTA_CLI_BIN)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
    }
    ~RunningCli() {
        CloseOutput();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    // The next whole line, or empty after 10 s or at the end of the output.
    std::string ReadLine() {
        for (;;) {
            size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{fd_, POLLIN, 0};
            char chunk[4096];
            if (poll(&p, 1, 10000) <= 0) return {};
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    void CloseOutput() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    void Signal(int signal) { kill(pid_, signal); }
    // The exit status, or -1 when it did not exit within 10 s (then it is killed).
    int Wait() {
        int status = 0;
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }
    std::string Stderr() const {
        std::ifstream in(errPath_);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string rest() const { return buffer_; }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
    std::string errPath_;
};

struct Board {
    test::PrivateDaemon daemon;
    std::string profile = test::BoardProfile("intel-desktop");
    Board() {
        test::DaemonOptions options;
        options.board = profile;
        std::string error;
        EXPECT_TRUE(daemon.Start(options, &error)) << error;
    }
    std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", profile});
        return args;
    }
    test::ProcessResult Cli(const std::vector<std::string>& args) {
        return test::RunCli(daemon.runtimeDir(), Args(args));
    }
};

// Every line is a time stamp and `value`; there are `count` of them.
void ExpectSamples(const test::ProcessResult& r, size_t count, const std::string& value) {
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    EXPECT_EQ(lines.size(), count) << r.out;
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + " " + value))) << line;
}

TEST(WatchCli, EveryKindSamplesWhatItsReadCommandReads) {
    Board board;
    ASSERT_EQ(board.Cli({"io", "write", "cf8", "80000010", "--width", "4"}).status, 0);
    ExpectSamples(
        board.Cli({"watch", "io", "cf8", "--width", "4", "--count", "3", "--interval", "20"}), 3,
        "80000010");
    ExpectSamples(board.Cli({"watch", "mem", "400", "8", "--count", "2", "--interval", "10"}), 2,
                  "F8 03 00 00 00 00 00 00");
    std::string cmos = Trimmed(board.Cli({"cmos", "read", "0e", "--bank", "72"}).out);
    ASSERT_EQ(cmos.size(), 2u);
    ExpectSamples(
        board.Cli({"watch", "cmos", "0e", "--bank", "72", "--count", "2", "--interval", "10"}), 2,
        cmos);
    std::string word = Trimmed(board.Cli({"smbus", "read", "0", "50", "2", "--word"}).out);
    ASSERT_EQ(word.size(), 4u);
    ExpectSamples(
        board.Cli({"watch", "smbus", "0", "50", "2", "--word", "--count", "2", "--interval", "10"}),
        2, word);

    // JSON lines: the time and the value in the same form.
    std::string id = Trimmed(board.Cli({"pci", "read", "00:00.0", "0"}).out);
    test::ProcessResult pci =
        board.Cli({"watch", "pci", "00:00.0", "0", "--json", "--count", "2", "--interval", "10"});
    ASSERT_EQ(pci.status, 0) << pci.err;
    ASSERT_EQ(Lines(pci.out).size(), 2u);
    for (const std::string& line : Lines(pci.out)) {
        nlohmann::json j = nlohmann::json::parse(line);
        EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(), std::regex(kStamp))) << line;
        EXPECT_EQ(j["value"], id);
    }
    // All processors: one value each; the time-stamp counter runs on between samples.
    test::ProcessResult msr = board.Cli(
        {"watch", "msr", "10", "--cpu", "all", "--json", "--count", "2", "--interval", "10"});
    ASSERT_EQ(msr.status, 0) << msr.err;
    std::vector<std::string> lines = Lines(msr.out);
    ASSERT_EQ(lines.size(), 2u);
    nlohmann::json first = nlohmann::json::parse(lines[0])["value"];
    nlohmann::json second = nlohmann::json::parse(lines[1])["value"];
    ASSERT_EQ(first.size(), 4u) << lines[0];
    ASSERT_EQ(second.size(), 4u) << lines[1];
    EXPECT_LT(std::stoull(first[0].get<std::string>(), nullptr, 16),
              std::stoull(second[0].get<std::string>(), nullptr, 16));
}

TEST(WatchCli, ForBoundsTheTimeAndChangesSkipsRepeats) {
    Board board;
    // 0, 100 and 200 ms fall inside 0.25 s (a slot a busy machine overran is skipped).
    test::ProcessResult r =
        board.Cli({"watch", "pci", "00:00.0", "0", "--for", "0.25", "--interval", "100"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(Lines(r.out).size(), 2u) << r.out;
    EXPECT_LE(Lines(r.out).size(), 3u) << r.out;
    // A value that does not change is shown once.
    r = board.Cli(
        {"watch", "pci", "00:00.0", "0", "--changes", "--for", "0.2", "--interval", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
    // The counter changes at every sample.
    r = board.Cli(
        {"watch", "msr", "10", "--cpu", "1", "--changes", "--count", "3", "--interval", "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].substr(13), lines[2].substr(13));
}

TEST(WatchCli, ChangesWaitsUntilTheRegisterChanges) {
    Board board;
    ASSERT_EQ(board.Cli({"io", "write", "cf8", "80000010", "--width", "4"}).status, 0);
    RunningCli watch(board.daemon.runtimeDir(),
                     board.Args({"watch", "io", "cf8", "--width", "4", "--changes", "--count", "2",
                                 "--interval", "10"}));
    std::string line = watch.ReadLine();
    EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + " 80000010"))) << line;
    usleep(100000);  // ten samples of the same value: no line, and the watch goes on
    ASSERT_EQ(board.Cli({"io", "write", "cf8", "80000020", "--width", "4"}).status, 0);
    line = watch.ReadLine();
    EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + " 80000020"))) << line;
    EXPECT_EQ(watch.Wait(), 0) << watch.Stderr();
    EXPECT_EQ(watch.ReadLine(), "");
}

TEST(WatchCli, CtrlCAndAClosedOutputEndItCleanly) {
    Board board;
    {
        RunningCli watch(board.daemon.runtimeDir(),
                         board.Args({"watch", "msr", "10", "--interval", "10"}));
        EXPECT_FALSE(watch.ReadLine().empty());
        EXPECT_FALSE(watch.ReadLine().empty());
        watch.Signal(SIGINT);
        EXPECT_EQ(watch.Wait(), 0) << watch.Stderr();
        // Only whole lines were written.
        for (std::string line; !(line = watch.ReadLine()).empty();)
            EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + " [0-9A-F]{16}"))) << line;
        EXPECT_EQ(watch.rest(), "");
        EXPECT_EQ(watch.Stderr(), "");
    }
    {
        RunningCli watch(board.daemon.runtimeDir(),
                         board.Args({"watch", "io", "cf8", "--interval", "5"}));
        EXPECT_FALSE(watch.ReadLine().empty());
        watch.CloseOutput();  // as `| head -1` does
        EXPECT_EQ(watch.Wait(), 0);
        EXPECT_EQ(watch.Stderr(), "");
    }
}

TEST(WatchCli, FailedReadsAreLinesAndTheStatusSaysSo) {
    Board board;
    test::ProcessResult r =
        board.Cli({"watch", "msr", "12345", "--count", "2", "--interval", "10"});
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    for (const std::string& line : lines)
        EXPECT_TRUE(
            std::regex_match(line, std::regex(kStamp + " failed: the MSR read was refused")))
            << line;
    EXPECT_EQ(r.err, "korvanta-cli: 2 reads failed\n");
    r = board.Cli({"watch", "msr", "12345", "--json", "--count", "1"});
    EXPECT_EQ(nlohmann::json::parse(r.out)["error"], "the MSR read was refused");

    EXPECT_EQ(board.Cli({"watch", "io", "80", "--count", "1", "--for", "1"}).status, 1);
    EXPECT_EQ(board.Cli({"watch", "io", "80", "--interval", "0"}).status, 1);
    EXPECT_EQ(board.Cli({"watch", "msr", "10", "--cpu", "4", "--count", "1"}).status, 1);
    EXPECT_EQ(board.Cli({"watch", "mem", "0", "1001", "--count", "1"}).status, 1);
}

}  // namespace
}  // namespace kvt
