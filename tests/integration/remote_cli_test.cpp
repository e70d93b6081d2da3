// --remote end to end: korvanta-cli and the driver client through a real OpenSSH server on
// 127.0.0.1 (keys made for the test), whose `driver stdio` relays to a board daemon there.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "hwaccess/session.h"
#include "hwaccess/ssh_transport.h"
#include "support/daemon.h"
#include "support/process.h"
#include "support/sshd.h"

namespace kvt {
namespace {

using test::ProcessResult;

class RemoteCli : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string why;
        if (!test::SshServer::Available(&why)) {
            skipReason_ = new std::string(why);
            return;
        }
        server_ = new test::SshServer();
        if (!server_->Start(&why)) {
            failure_ = new std::string(why);
            return;
        }
        runtimeDir_ = new std::string(server_->folder() + "/runtime");
        mkdir(runtimeDir_->c_str(), 0700);
    }
    static void TearDownTestSuite() {
        if (runtimeDir_ != nullptr) Local({"--board", "intel-desktop", "driver", "stop"});
        delete server_;
        delete runtimeDir_;
        delete skipReason_;
        delete failure_;
        server_ = nullptr;
        runtimeDir_ = skipReason_ = failure_ = nullptr;
    }
    void SetUp() override {
        if (skipReason_ != nullptr) {
            // CI installs the server (scripts/deps.sh): there its absence is a failure.
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true") FAIL() << *skipReason_;
            GTEST_SKIP() << *skipReason_;
        }
        ASSERT_EQ(failure_, nullptr) << *failure_;
    }
    static std::vector<std::string> Environment() {
        return {server_->SshVariable(), server_->RemoteCliVariable(),
                "KORVANTA_RUNTIME_DIR=" + *runtimeDir_};
    }
    static ProcessResult Local(std::vector<std::string> args) {
        args.insert(args.begin(), KORVANTA_CLI_BIN);
        return test::RunProcess(args, {"KORVANTA_RUNTIME_DIR=" + *runtimeDir_});
    }
    static ProcessResult Remote(std::vector<std::string> args,
                                std::vector<std::string> env = Environment()) {
        args.insert(args.begin(), {KORVANTA_CLI_BIN, "--remote", server_->Target()});
        return test::RunProcess(args, env);
    }

    static test::SshServer* server_;
    static std::string* runtimeDir_;
    static std::string* skipReason_;
    static std::string* failure_;
};

test::SshServer* RemoteCli::server_ = nullptr;
std::string* RemoteCli::runtimeDir_ = nullptr;
std::string* RemoteCli::skipReason_ = nullptr;
std::string* RemoteCli::failure_ = nullptr;

TEST_F(RemoteCli, ReadsThroughTheTunnelEqualTheLocalOnes) {
    for (std::vector<std::string> command : {std::vector<std::string>{"pci", "list"},
                                             {"pci", "read", "00:00.0", "0"},
                                             {"io", "read", "CF8", "--width", "4"},
                                             {"report", "cpuid"}}) {
        command.insert(command.begin(), {"--board", "intel-desktop"});
        ProcessResult remote = Remote(command);
        ASSERT_EQ(remote.status, 0) << command[2] << ": " << remote.err;
        ProcessResult local = Local(command);
        ASSERT_EQ(local.status, 0) << local.err;
        EXPECT_EQ(remote.out, local.out) << command[2];
        EXPECT_FALSE(remote.out.empty());
    }
    // A write through the tunnel is seen by a local read of the same board.
    ASSERT_EQ(Remote({"--board", "intel-desktop", "cmos", "write", "40", "5A"}).status, 0);
    EXPECT_EQ(Local({"--board", "intel-desktop", "cmos", "read", "40"}).out, "5A\n");
}

TEST_F(RemoteCli, DriverStatusNamesTheRemoteHost) {
    ProcessResult status = Remote({"--board", "intel-desktop", "driver", "status"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out.rfind("remote: " + server_->Target() + " (through ssh)\n", 0), 0u)
        << status.out;
    EXPECT_NE(status.out.find("intel-desktop"), std::string::npos) << status.out;
    ProcessResult json = Remote({"--board", "intel-desktop", "driver", "status", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"remote\": \"" + server_->Target() + "\""), std::string::npos);
    EXPECT_NE(json.out.find("\"session\": \"Simulated board: intel-desktop on " +
                            server_->Target() + "\""),
              std::string::npos)
        << json.out;
}

// A remote host's CPUID and time-stamp counter come from its daemon. The target is this
// machine: its CPUID report through the tunnel is the local one (both on processor 0, whose
// APIC ID the report shows), and its counter advances.
TEST_F(RemoteCli, ARemoteHostAnswersCpuidAndTheTimeStampCounter) {
    if (geteuid() != 0) GTEST_SKIP() << "the host daemon needs root";
    test::PrivateDaemon host;
    test::DaemonOptions options;
    options.readOnly = true;
    options.runtimeDir = *runtimeDir_;
    std::string error;
    ASSERT_TRUE(host.Start(options, &error)) << error;
    ProcessResult status = Remote({"driver", "status", "--json"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("\"cpuid_per_processor\": true"), std::string::npos) << status.out;
    // Both programs inherit this thread's processor.
    cpu_set_t before, only;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    CPU_ZERO(&only);
    CPU_SET(0, &only);
    ASSERT_EQ(sched_setaffinity(0, sizeof only, &only), 0);
    ProcessResult remote = Remote({"report", "cpuid"});
    ProcessResult local = Local({"report", "cpuid"});
    sched_setaffinity(0, sizeof before, &before);
    ASSERT_EQ(remote.status, 0) << remote.err;
    ASSERT_EQ(local.status, 0) << local.err;
    EXPECT_NE(remote.out.find("Standard Function 0:"), std::string::npos) << remote.out;
    EXPECT_EQ(remote.out, local.out);

    setenv("KORVANTA_SSH", server_->SshVariable().substr(13).c_str(), 1);
    setenv("KORVANTA_REMOTE_CLI", KORVANTA_CLI_BIN, 1);
    setenv("KORVANTA_RUNTIME_DIR", runtimeDir_->c_str(), 1);
    auto session = HardwareSession::CreateRemote(server_->Target(), "", &error);
    ASSERT_NE(session, nullptr) << error;
    ASSERT_TRUE(session->LoadDriver(&error)) << error;
    EXPECT_TRUE(session->platform().HasCpuid());
    uint64_t first = 0, second = 0;
    ASSERT_TRUE(session->platform().ReadTsc(first));
    ASSERT_TRUE(session->platform().ReadTsc(second));
    EXPECT_GT(second, first);
    unsetenv("KORVANTA_SSH");
    unsetenv("KORVANTA_REMOTE_CLI");
}

TEST_F(RemoteCli, TheTargetSideTellsWhyItCannotServe) {
    ProcessResult failed = Remote({"--board", "no-such-board", "pci", "list"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("no board profile named 'no-such-board'"), std::string::npos)
        << failed.err;
    // An unknown host key stops ssh before anything is sent.
    const std::string knownHosts = server_->folder() + "/known_hosts";
    std::string known;
    {
        std::ifstream in(knownHosts);
        std::getline(in, known);
    }
    std::ofstream(knownHosts, std::ios::trunc).flush();
    ProcessResult unknown = Remote({"--board", "intel-desktop", "pci", "list"});
    std::ofstream(knownHosts, std::ios::trunc) << known << "\n";
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("Host key verification failed"), std::string::npos) << unknown.err;
}

TEST_F(RemoteCli, BadTargetsAreRefusedBeforeSshRuns) {
    // Were ssh run, the message would say it cannot be.
    std::vector<std::string> env = {"KORVANTA_SSH=/nonexistent/ssh"};
    for (const char* target : {"-oProxyCommand=touch", "host;id", "me@", "@host", "h:0", "h:65536",
                               "h:22x", "a b", "::1", "-l@host", "me@-host"}) {
        ProcessResult refused = test::RunProcess(
            {KORVANTA_CLI_BIN, std::string("--remote=") + target, "pci", "list"}, env);
        EXPECT_EQ(refused.status, 1) << target;
        EXPECT_NE(refused.err.find("--remote"), std::string::npos) << target << refused.err;
        EXPECT_EQ(refused.err.find("cannot run"), std::string::npos) << target << refused.err;
    }
    ProcessResult file = test::RunProcess(
        {KORVANTA_CLI_BIN, "--remote", "lab7", "--board", "/tmp/mine.json", "pci", "list"}, env);
    EXPECT_EQ(file.status, 1);
    EXPECT_NE(file.err.find("a profile on the target machine"), std::string::npos) << file.err;
}

// The driver client through the tunnel: a connection lost fails the request with its cause,
// and the next request starts ssh again.
TEST_F(RemoteCli, ALostConnectionFailsOneRequestAndTheNextReconnects) {
    setenv("KORVANTA_SSH", server_->SshVariable().substr(13).c_str(), 1);
    setenv("KORVANTA_REMOTE_CLI", KORVANTA_CLI_BIN, 1);
    setenv("KORVANTA_RUNTIME_DIR", runtimeDir_->c_str(), 1);
    std::string error;
    auto session = HardwareSession::CreateRemote(server_->Target(), "intel-desktop", &error);
    ASSERT_NE(session, nullptr) << error;
    ASSERT_TRUE(session->LoadDriver(&error)) << error;
    EXPECT_EQ(session->Describe(), "Simulated board: intel-desktop on " + server_->Target());
    Reply<uint32_t> first = session->client().TryReadPciConfig(0x80000000);
    ASSERT_TRUE(first.served()) << first.detail;
    EXPECT_EQ(session->platform().ProcessorCount(), 4u);

    auto& ssh = static_cast<SshTransport&>(session->transport());
    pid_t pid = ssh.ProcessOf(kNtDeviceName);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    Reply<uint32_t> lost = session->client().TryReadPciConfig(0x80000000);
    EXPECT_EQ(lost.failure, TransportFailure::ConnectionLost);
    EXPECT_EQ(lost.detail, "ssh ended by signal 9");

    Reply<uint32_t> again = session->client().TryReadPciConfig(0x80000000);
    ASSERT_TRUE(again.served()) << DescribeFailure(again.failure) << ": " << again.detail;
    EXPECT_EQ(again.value, first.value);
    EXPECT_NE(ssh.ProcessOf(kNtDeviceName), pid);
    unsetenv("KORVANTA_SSH");
    unsetenv("KORVANTA_REMOTE_CLI");
}

TEST_F(RemoteCli, AHungSshTimesOut) {
    const std::string hung = server_->folder() + "/hung-ssh";
    std::ofstream(hung) << "#!/bin/sh\nexec sleep 30\n";
    chmod(hung.c_str(), 0700);
    ProcessResult timed = Remote({"--board", "intel-desktop", "pci", "list"},
                                 {"KORVANTA_SSH=" + hung, "KORVANTA_TIME_LIMIT_MS=300"});
    EXPECT_EQ(timed.status, 1);
    EXPECT_NE(timed.err.find("did not answer within 300 ms"), std::string::npos) << timed.err;
}

}  // namespace
}  // namespace kvt
