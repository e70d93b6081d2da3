// The client's checks before it sends a byte: who serves the socket, and the folders on the way.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "hwaccess/transport.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;

std::string TempFolder() {
    char name[] = "/tmp/korvanta-trust-XXXXXX";
    return mkdtemp(name) ? name : "";
}

DriverRequest Block() {
    DriverRequest block;
    std::memset(&block, 0, sizeof block);
    return block;
}

TransportStatus AskStatus(const std::string& runtimeDir, bool board) {
    SocketTransport transport(runtimeDir, board);
    DriverRequest block = Block();
    std::vector<uint8_t> text;
    return transport.Call({"Korvanta", kExtStatus, false, {}, &text}, block);
}

// Another user serves a socket where the client looks for its daemon (its folders being fine):
// it answers every request with success. Returns how many bytes it received.
TEST(ClientTrustTest, AnImpostorServingTheSocketReceivesNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to serve a socket as another user";
    std::string base = TempFolder();
    std::string runtime = base + "/kb-impostor-00000000";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((runtime + "/korvanta").c_str(), 0700), 0);
    std::string path = SocketPath(runtime, "Korvanta");
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        // The peer credentials a client sees are those of the process that listens.
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            setgid(65534) != 0 || setuid(65534) != 0 || listen(fd, 8) != 0)
            _exit(3);
        uint32_t received = 0;
        for (int round = 0; round < 2; ++round) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0) break;
            int c = accept(fd, nullptr, nullptr);
            uint8_t answer[kAnswerPrefixSize] = {};
            AnswerHeader header{kAnswerMagic, kFrameVersion, 0, 1, 0, 0};
            std::memcpy(answer, &header, sizeof header);
            send(c, answer, sizeof answer, MSG_NOSIGNAL);
            pollfd q{c, POLLIN, 0};
            uint8_t bytes[4096];
            ssize_t n;
            while (poll(&q, 1, 300) > 0 && (n = recv(c, bytes, sizeof bytes, 0)) > 0)
                received += static_cast<uint32_t>(n);
            close(c);
        }
        ssize_t ignored = write(report[1], &received, sizeof received);
        (void)ignored;
        _exit(0);
    }
    close(report[1]);
    for (int i = 0; i < 200 && access(path.c_str(), F_OK) != 0; ++i) usleep(10000);

    TransportStatus asked = AskStatus(runtime, true);
    EXPECT_EQ(asked, TransportResult::RequestFailed);
    EXPECT_EQ(asked.failure, TransportFailure::UntrustedDaemon);
    EXPECT_NE(asked.detail.find("uid 65534"), std::string::npos) << asked.detail;
    // Nor is it the host daemon.
    asked = AskStatus(runtime, false);
    EXPECT_EQ(asked, TransportResult::RequestFailed);
    EXPECT_EQ(asked.failure, TransportFailure::UntrustedDaemon);

    uint32_t received = 99;
    ASSERT_EQ(read(report[0], &received, sizeof received), static_cast<ssize_t>(sizeof received));
    EXPECT_EQ(received, 0u) << "the impostor received request bytes";
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    fs::remove_all(base);
}

TEST(ClientTrustTest, FoldersOnTheWayMustBePrivateAndNoLinks) {
    std::string base = TempFolder();
    std::string runtime = base + "/kb-folders-00000000";
    // Missing folders of a board are made private before a daemon could be started there.
    TransportStatus asked = AskStatus(runtime, true);
    EXPECT_EQ(asked, TransportResult::OpenFailed);
    EXPECT_EQ(asked.failure, TransportFailure::NoDaemon);
    struct stat st;
    ASSERT_EQ(lstat((runtime + "/korvanta").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    auto expectUnsafe = [&](const char* what, const std::string& needle) {
        TransportStatus unsafe = AskStatus(runtime, true);
        EXPECT_EQ(unsafe, TransportResult::RequestFailed) << what;
        EXPECT_EQ(unsafe.failure, TransportFailure::UnsafeFolder) << what;
        EXPECT_NE(unsafe.detail.find(needle), std::string::npos) << what << ": " << unsafe.detail;
    };
    chmod(runtime.c_str(), 0755);
    expectUnsafe("open to others", runtime + " is not private");
    chmod(runtime.c_str(), 0700);

    fs::rename(runtime + "/korvanta", base + "/elsewhere");
    ASSERT_EQ(symlink((base + "/elsewhere").c_str(), (runtime + "/korvanta").c_str()), 0);
    expectUnsafe("a link", "symbolic link");
    unlink((runtime + "/korvanta").c_str());

    if (geteuid() == 0) {
        // A folder another user made first, as under a shared /tmp.
        ASSERT_EQ(mkdir((runtime + "/korvanta").c_str(), 0700), 0);
        ASSERT_EQ(chown((runtime + "/korvanta").c_str(), 65534, 65534), 0);
        expectUnsafe("another user's", "belongs to uid 65534");
    }
    fs::remove_all(base);
}

}  // namespace
}  // namespace kvt
