// korvanta-cli's manners: its version, the manual page and completion made from its commands,
// and failure messages that say why, as `driver status` does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

using test::RunCli;

// The names listed under "Subcommands:" in a --help text.
std::vector<std::string> Subcommands(const std::string& help) {
    std::vector<std::string> names;
    std::istringstream in(help);
    bool listing = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "Subcommands:") {
            listing = true;
        } else if (listing && !line.empty()) {
            names.push_back(line.substr(line.find_first_not_of(' '), std::string::npos));
            names.back() = names.back().substr(0, names.back().find(' '));
        } else if (listing) {
            break;
        }
    }
    return names;
}

// The long options ("--width") a --help text names.
std::vector<std::string> LongOptions(const std::string& help) {
    std::vector<std::string> options;
    for (size_t at = help.find("  --"); at != std::string::npos; at = help.find("  --", at + 1)) {
        size_t end = help.find_first_of(" \n", at + 2);
        std::string option = help.substr(at + 2, end - at - 2);
        if (option != "--help") options.push_back(option);
    }
    return options;
}

std::string Roff(std::string text) {
    for (size_t at = text.find('-'); at != std::string::npos; at = text.find('-', at + 2)) {
        text.insert(at, "\\");
    }
    return text;
}

// Every command the program's help reaches, as "group command" (or "group" alone).
std::vector<std::string> AllCommands() {
    std::vector<std::string> commands;
    for (const std::string& group : Subcommands(RunCli("", {"--help"}).out)) {
        std::vector<std::string> subs = Subcommands(RunCli("", {group, "--help"}).out);
        if (subs.empty()) commands.push_back(group);
        for (const std::string& sub : subs) commands.push_back(group + " " + sub);
    }
    return commands;
}

TEST(CliManners, VersionAndGroupsThatSayWhatTheyAreFor) {
    test::ProcessResult version = RunCli("", {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "korvanta-cli " KORVANTA_TEST_VERSION "\n");
    test::ProcessResult help = RunCli("", {"--help"});
    std::vector<std::string> groups = Subcommands(help.out);
    ASSERT_GE(groups.size(), 8u) << help.out;
    for (const std::string& group : groups) {
        EXPECT_EQ(help.out.find(group + " commands"), std::string::npos) << group;
    }
}

TEST(CliManners, ManualPageNamesEveryCommandAndOption) {
    test::ProcessResult page = RunCli("", {"--manual-page"});
    ASSERT_EQ(page.status, 0);
    EXPECT_EQ(page.out.rfind(".TH KORVANTA\\-CLI 1", 0), 0u);
    std::vector<std::string> commands = AllCommands();
    ASSERT_GE(commands.size(), 30u);
    for (const std::string& command : commands) {
        if (command.find(' ') == std::string::npos) {
            EXPECT_NE(page.out.find(".B \"" + Roff(command) + "\""), std::string::npos) << command;
            continue;
        }
        std::string words = command;
        size_t space = words.find(' ');
        std::string group = words.substr(0, space), sub = words.substr(space + 1);
        size_t at = page.out.find(".B \"" + Roff(command) + "\"");
        ASSERT_NE(at, std::string::npos) << command;
        size_t next = page.out.find("\n.TP\n.B \"", at + 1);
        std::string entry = page.out.substr(at, next - at);
        for (const std::string& option : LongOptions(RunCli("", {group, sub, "--help"}).out)) {
            EXPECT_NE(entry.find(Roff(option)), std::string::npos) << command << " " << option;
        }
    }
}

// The completion script asks the program's help, so every command completes.
TEST(CliManners, BashCompletionOffersEveryCommand) {
    const std::string helpers = "/usr/share/bash-completion/bash_completion";
    if (access(helpers.c_str(), R_OK) != 0) GTEST_SKIP() << "bash-completion is not installed";
    auto complete = [&](const std::string& line) {
        std::string script = ". " + helpers +
                             "; . " KORVANTA_SOURCE_DIR
                             "/dist/bash-completion/korvanta-cli; "
                             "COMP_LINE='" +
                             line +
                             "'; COMP_POINT=${#COMP_LINE}; "
                             "read -ra COMP_WORDS <<<\"$COMP_LINE\"; "
                             "[[ $COMP_LINE == *' ' ]] && COMP_WORDS+=(''); "
                             "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _korvanta_cli; "
                             "printf '%s\\n' \"${COMPREPLY[@]}\"";
        return test::RunProcess({"/bin/bash", "-c", script},
                                {"PATH=" KORVANTA_BINARY_DIR ":/usr/bin:/bin"})
            .out;
    };
    std::string groups = complete("korvanta-cli ");
    std::vector<std::string> commands = AllCommands();
    for (const std::string& command : commands) {
        size_t space = command.find(' ');
        std::string group = command.substr(0, space);
        EXPECT_NE(groups.find(group + "\n"), std::string::npos) << group;
        if (space == std::string::npos) continue;
        std::string subs = complete("korvanta-cli --board intel-desktop " + group + " ");
        EXPECT_NE(subs.find(command.substr(space + 1) + "\n"), std::string::npos) << command;
    }
    EXPECT_NE(complete("korvanta-cli io read --w").find("--width"), std::string::npos);
}

// On this machine, through a private host daemon: a request of a kind the machine does not
// offer fails with the cause and the fix that `driver status` gives for that kind.
TEST(CliManners, HostFailuresNameTheCauseDriverStatusGives) {
    if (geteuid() != 0) GTEST_SKIP() << "the host daemon needs root";
    test::PrivateDaemon daemon;
    test::DaemonOptions options;
    options.readOnly = true;
    std::string error;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    std::string status = RunCli(daemon.runtimeDir(), {"driver", "status"}).out;
    auto detail = [&](const std::string& kind) {
        size_t at = status.find("\n" + kind + ": unavailable: ");
        if (at == std::string::npos) return std::string();
        at += kind.size() + 16;
        return status.substr(at, status.find('\n', at) - at);
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> requests = {
        {"ports", {"io", "read", "80"}},
        {"ports", {"cmos", "read", "0"}},
        {"physical memory", {"mem", "read", "F0000", "10"}},
        {"MSRs", {"msr", "read", "10"}},
    };
    int unavailable = 0;
    for (const auto& [kind, args] : requests) {
        std::string cause = detail(kind);
        if (cause.empty()) continue;  // this machine offers it
        ++unavailable;
        test::ProcessResult r = RunCli(daemon.runtimeDir(), args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("(" + cause + ")"), std::string::npos) << r.err << "\n" << status;
    }
    // A daemon that serves reads only says so when a write is refused.
    test::ProcessResult write = RunCli(daemon.runtimeDir(), {"pci", "write", "00:00.0", "0", "0"});
    EXPECT_EQ(write.status, 1);
    EXPECT_NE(write.err.find("reads only"), std::string::npos) << write.err;
    RecordProperty("unavailable_kinds", unavailable);
}

}  // namespace
}  // namespace kvt
