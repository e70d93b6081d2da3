// --remote targets: what is accepted, and the ssh command made from them.
#include <gtest/gtest.h>

#include <cstdlib>

#include "hwaccess/ssh_transport.h"

namespace kvt {
namespace {

TEST(RemoteTarget, ParsesUserHostAndPortAndKeepsTheirText) {
    struct Case {
        const char* text;
        const char* user;
        const char* host;
        int port;
    };
    for (const Case& c :
         {Case{"lab7", "", "lab7", 0}, Case{"me@lab7:2222", "me", "lab7", 2222},
          Case{"root@10.0.0.5", "root", "10.0.0.5", 0},
          Case{"[fe80::1]:65535", "", "fe80::1", 65535}, Case{"u_1@[::1]", "u_1", "::1", 0}}) {
        RemoteTarget t;
        std::string why;
        ASSERT_TRUE(ParseRemoteTarget(c.text, t, &why)) << c.text << ": " << why;
        EXPECT_EQ(t.user, c.user);
        EXPECT_EQ(t.host, c.host);
        EXPECT_EQ(t.port, c.port);
    }
    RemoteTarget t;
    ASSERT_TRUE(ParseRemoteTarget("me@[::1]:22", t, nullptr));
    EXPECT_EQ(t.Text(), "me@[::1]:22");
    for (const char* bad : {"", "-oProxyCommand=x", "h$(id)", "h`id`", "me@", "a@b@c", "h:", "h:-1",
                            "h:+22", "h:123456", "[::1", "[::1]x", "[h;x]", "h\n"}) {
        RemoteTarget untouched{"keep", "keep", 1};
        EXPECT_FALSE(ParseRemoteTarget(bad, untouched, nullptr)) << bad;
        EXPECT_EQ(untouched.host, "keep");
    }
    EXPECT_TRUE(IsRemoteBoardName("intel-desktop.json"));
    for (const char* bad : {"", "-x", ".hidden", "../x", "a/b", "a b", "x'y"})
        EXPECT_FALSE(IsRemoteBoardName(bad)) << bad;
}

TEST(RemoteTarget, TheSshCommandEndsOptionsBeforeTheHostAndQuotesTheRemoteWords) {
    unsetenv("KORVANTA_SSH");
    setenv("KORVANTA_REMOTE_CLI", "/opt/it's/korvanta-cli", 1);
    RemoteTarget t;
    ASSERT_TRUE(ParseRemoteTarget("me@lab7:2222", t, nullptr));
    std::vector<std::string> argv = SshCommand(t, "via", "Korvanta");
    unsetenv("KORVANTA_REMOTE_CLI");
    ASSERT_GE(argv.size(), 6u);
    EXPECT_EQ(argv.front(), "ssh");
    EXPECT_EQ(argv[argv.size() - 3], "--");
    EXPECT_EQ(argv[argv.size() - 2], "lab7");
    EXPECT_EQ(argv.back(),
              "'/opt/it'\\''s/korvanta-cli' --board 'via' driver stdio --device 'Korvanta'");
    auto has = [&](const std::string& a, const std::string& b) {
        for (size_t i = 0; i + 1 < argv.size(); ++i)
            if (argv[i] == a && argv[i + 1] == b) return true;
        return false;
    };
    EXPECT_TRUE(has("-l", "me"));
    EXPECT_TRUE(has("-p", "2222"));
    EXPECT_TRUE(has("-o", "BatchMode=yes"));
}

}  // namespace
}  // namespace kvt
