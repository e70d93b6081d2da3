// The access policy for group members: the file's rules, and a member's writes through the
// real daemon and korvanta-cli.
#include "driver/policy.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt::driver {
namespace {

namespace fs = std::filesystem;

Policy Parsed(const std::string& text) {
    Policy policy;
    std::string error;
    EXPECT_TRUE(policy.Parse(text, "P", &error)) << error;
    return policy;
}

TEST(PolicyTest, AMalformedLineIsNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {"allow port 0x80\nallow prot 0x81\n",
         "P line 2: unknown kind 'prot' (msr, port, pci, memory, smbus)"},
        {"permit port 80", "P line 1: 'permit' is neither 'allow' nor 'deny-read'"},
        {"\n\nallow port 90-80", "P line 3: bad port range '90-80'"},
        {"allow port 10000", "P line 1: bad port range '10000'"},
        {"allow msr 1A0 mask", "P line 1: 'mask' needs a 64-bit hexadecimal mask"},
        {"deny-read msr 1A0 mask 1", "P line 1: a mask belongs to allow rules only"},
        {"allow pci 00:20.0", "P line 1: bad PCI function '00:20.0' (BUS:DEVICE.FUNCTION)"},
        {"allow smbus 400", "P line 1: an SMBus rule needs the slave addresses (00-7F)"},
        {"allow memory 0-FFFFFFFF extra", "P line 1: unexpected 'extra'"},
        {"allow port 80 \x1b[2J", "P line 1: unexpected '\\x1B[2J'"},
    };
    for (const auto& [text, message] : cases) {
        Policy policy;
        std::string error;
        EXPECT_FALSE(policy.Parse(text, "P", &error)) << text;
        EXPECT_EQ(error, message);
        EXPECT_FALSE(policy.Restricts());
    }
}

TEST(PolicyTest, OnlyWhatARuleAllowsIsWrittenAndDeniedReadsAreRefused) {
    // Comments only: nothing is restricted.
    EXPECT_EQ(Parsed("# allow port 80\n\n").CheckPortWrite(0x81, 1, 0), "");

    Policy p = Parsed(
        "allow port 0x80-0x83   # POST codes\n"
        "allow msr 0x1A0 mask 0x4\n"
        "allow msr 0x10\n"
        "allow pci 00:1f.3 40-4F\n"
        "allow memory FED00000-FED003FF\n"
        "allow smbus 0x400 0x50-0x57\n"
        "deny-read port 0x70-0x71\n"
        "deny-read msr 0x3A\n");
    EXPECT_EQ(p.CheckPortWrite(0x80, 4, 0), "");
    EXPECT_EQ(p.CheckPortWrite(0x82, 4, 0),
              "refused by P: no allow rule covers writing port 0x0082 (width 4)");
    // A write mask: bits outside it must keep the value the MSR holds.
    uint64_t current = 0x850089;
    EXPECT_EQ(p.CheckMsrWrite(0x1A0, current | 0x4, &current), "");
    EXPECT_EQ(p.CheckMsrWrite(0x1A0, current | 0x400004, &current),
              "refused by P line 2 (allow msr 0x1A0 mask 0x4): only bits 0x0000000000000004 may "
              "change");
    EXPECT_NE(p.CheckMsrWrite(0x1A0, current, nullptr), "");  // unknown value: no telling
    EXPECT_EQ(p.CheckMsrWrite(0x10, ~uint64_t{0}, nullptr), "");
    EXPECT_NE(p.CheckMsrWrite(0x11, 0, nullptr), "");
    EXPECT_EQ(p.CheckPciWrite(0x8000FB4C), "");  // 00:1f.3 offset 4C
    EXPECT_NE(p.CheckPciWrite(0x8000FB50), "");
    EXPECT_NE(p.CheckPciWrite(0x8000FA4C), "");  // 00:1f.2
    EXPECT_EQ(p.CheckMemoryWrite(0xFED003FC, 4), "");
    EXPECT_NE(p.CheckMemoryWrite(0xFED003FE, 4), "");
    // The controller's registers, and as slave only the allowed ones (bits 7-1 of base + 4).
    EXPECT_EQ(p.CheckPortWrite(0x400, 1, 0x1E), "");
    EXPECT_EQ(p.CheckPortWrite(0x404, 1, 0x50 << 1 | 1), "");
    EXPECT_EQ(p.CheckPortWrite(0x404, 1, 0x69 << 1),
              "refused by P: no allow rule covers SMBus slave 0x69 of the controller at 0x0400");
    EXPECT_NE(p.CheckPortWrite(0x403, 2, (0x69 << 1) << 8), "");  // the address in byte 2
    EXPECT_NE(p.CheckPortWrite(0x410, 1, 0), "");
    // Through the kernel's adapter: the same slaves of the same controller only.
    EXPECT_EQ(p.CheckSmbusTransfer(0x400, 0x57), "");
    EXPECT_EQ(p.CheckSmbusTransfer(0x400, 0x69),
              "refused by P: no allow rule covers SMBus slave 0x69 of the controller at 0x0400");
    EXPECT_NE(p.CheckSmbusTransfer(0x500, 0x50), "");
    // Reads are allowed unless refused.
    EXPECT_EQ(p.CheckPortRead(0x72, 1), "");
    EXPECT_EQ(p.CheckPortRead(0x6E, 4), "refused by P line 7 (deny-read port 0x70-0x71)");
    EXPECT_EQ(p.CheckMsrRead(0x3A), "refused by P line 8 (deny-read msr 0x3A)");
    EXPECT_EQ(p.CheckMemoryRead(0, 0x400000), "");
}

// korvanta-cli as uid 65534 holding the group 'users': its exit status and what it printed.
test::ProcessResult MemberCli(const std::string& runtimeDir, gid_t group,
                              const std::vector<std::string>& args) {
    int err[2];
    test::ProcessResult result;
    if (pipe(err) != 0) return result;
    pid_t child = fork();
    if (child == 0) {
        dup2(err[1], STDERR_FILENO);
        close(err[0]);
        if (setgroups(1, &group) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        setenv("KORVANTA_RUNTIME_DIR", runtimeDir.c_str(), 1);
        std::vector<char*> argv = {const_cast<char*>(KORVANTA_CLI_BIN)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(KORVANTA_CLI_BIN, argv.data());
        _exit(98);
    }
    close(err[1]);
    char chunk[512];
    ssize_t n;
    while ((n = read(err[0], chunk, sizeof chunk)) > 0) result.err.append(chunk, n);
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(PolicyDaemonTest, AMemberWritesOnlyWhatThePolicyAllowsAndIsToldWhichRuleRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a member";
    group* users = getgrnam("users");
    if (users == nullptr) GTEST_SKIP() << "no group 'users' here";
    char name[] = "/tmp/korvanta-policy-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string dir = name, file = dir + "/policy", audit = dir + "/audit.log";
    std::ofstream(file) << "# the lab's rules\nallow port 0x80\n\ndeny-read port 0x70-0x71\n";

    test::DaemonOptions options;
    options.board = test::BoardProfile("intel-desktop");
    options.extraArgs = {"--group",      "users", "--policy",     file,
                         "--audit-file", audit,   "--system-log", dir + "/no-log"};
    test::PrivateDaemon daemon;
    std::string error;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    // Members reach the sockets; the daemon's own checks decide.
    for (const std::string& folder :
         {daemon.runtimeDir(), daemon.socketDir(), daemon.socketDir() + "/korvanta"})
        chmod(folder.c_str(), 0711);
    chmod(daemon.SocketPath().c_str(), 0666);
    const std::string runtime = daemon.socketDir();  // as a host daemon's runtime folder
    const gid_t member = users->gr_gid;

    EXPECT_EQ(MemberCli(runtime, member, {"io", "write", "80", "12"}).status, 0);
    test::ProcessResult refused = MemberCli(runtime, member, {"io", "write", "81", "12"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "korvanta-cli: the port write failed (refused by " + file +
                               ": no allow rule covers writing port 0x0081 (width 1))\n");
    refused = MemberCli(runtime, member, {"io", "read", "71"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("line 4 (deny-read port 0x70-0x71)"), std::string::npos)
        << refused.err;
    // Root is never restricted.
    EXPECT_EQ(test::RunCli(runtime, {"io", "write", "81", "12"}).status, 0);

    std::ifstream in(audit);
    std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(lines.find("WritePort port=0x0081 width=1 value=0x00000012: refused by " + file),
              std::string::npos)
        << lines;
    test::ProcessResult status = test::RunCli(runtime, {"driver", "status"});
    EXPECT_NE(status.out.find("policy: " + file + " (1 allow, 1 deny-read rules) for members"),
              std::string::npos)
        << status.out << status.err;
    daemon.Stop();

    // A malformed policy stops the start, naming the line.
    std::ofstream(file) << "allow port 0x80\nallow prot 0x81\n";
    EXPECT_FALSE(daemon.Start(options, &error));
    EXPECT_NE(error.find(file + " line 2: unknown kind 'prot'"), std::string::npos) << error;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kvt::driver
