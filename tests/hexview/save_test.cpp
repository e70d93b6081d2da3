// Save in place: the opened file keeps its inode, links, owner, mode and holes; a path that
// names another file by Save time is refused; a save cut short is rolled back at the next
// Open, also when killed at random moments; Save As makes a whole new file or refuses.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/cpu_fixtures.h"
#include "tools/hexview/file_save.h"
#include "tools/hexview/hex_edit_tool.h"

namespace kvt {
namespace {

using test::TempFolder;

// Every save journal of this program goes to a folder of its own.
struct StateFolder {
    std::string path;
    StateFolder() {
        char pattern[] = "/tmp/kvt-state-XXXXXX";
        path = mkdtemp(pattern) ? pattern : "/tmp";
        setenv("XDG_STATE_HOME", path.c_str(), 1);
    }
    ~StateFolder() { std::filesystem::remove_all(path); }
} const stateFolder;

size_t JournalCount() {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e :
         std::filesystem::directory_iterator(stateFolder.path + "/korvanta/journal", ec)) {
        (void)e;
        ++n;
    }
    return n;
}

struct Editor {
    test::RecordedMessages messages;
    HexDocument doc;
    HexEditTool tool;
    explicit Editor(const std::string& base) : tool(messages, doc, base) {}
    void Put(uint64_t offset, const std::string& bytes) {
        ASSERT_TRUE(
            doc.WriteBytes(offset, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
};

struct stat Stat(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

TEST(SaveInPlace, KeepsInodeLinksOwnerModeAndHoles) {
    TempFolder dir;
    const std::string path = dir.Path("disk.img"), other = dir.Path("hard.img");
    {
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(ftruncate(fd, 64 << 20), 0);  // 64 MiB, data only at 0 and 32 MiB
        ASSERT_EQ(pwrite(fd, "boot", 4, 0), 4);
        ASSERT_EQ(pwrite(fd, "data", 4, 32 << 20), 4);
        close(fd);
    }
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    if (geteuid() == 0) ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);  // another user's
    const struct stat before = Stat(path);

    Editor e(dir.Path("Hex1"));
    ASSERT_TRUE(e.tool.Open(path));
    e.doc.position = 16 << 20;  // in a hole
    ASSERT_TRUE(e.doc.Type('4') && e.doc.Type('1') && e.doc.Type('4') && e.doc.Type('2'));
    e.Put(2, "OT");
    ASSERT_TRUE(e.tool.Save()) << testing::PrintToString(e.messages.messages);
    EXPECT_FALSE(e.doc.IsModified(2));
    EXPECT_FALSE(e.tool.unsaved());

    const struct stat after = Stat(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_size, 64 << 20);
    EXPECT_LE(after.st_blocks, before.st_blocks + 16);  // one more 4 KiB page at most (+ slack)
    std::string bytes = TempFolder::ReadFile(other);
    EXPECT_EQ(bytes.substr(0, 4), "boOT");
    EXPECT_EQ(bytes.substr(16 << 20, 3), std::string("\x41\x42\0", 3));
    EXPECT_EQ(bytes.substr(32 << 20, 4), "data");
    EXPECT_EQ(JournalCount(), 0u);
    // What is shown after the save is the file itself.
    char shown[4];
    ASSERT_EQ(e.doc.ReadData(shown, 0, 4), 4u);
    EXPECT_EQ(std::string(shown, 4), "boOT");
}

TEST(SaveInPlace, APathThatNamesAnotherFileBySaveTimeIsNotWritten) {
    TempFolder dir;
    const std::string path = dir.Path("config"), victim = dir.Path("passwd");
    TempFolder::WriteFile(path, "mine");
    TempFolder::WriteFile(victim, "root:x:0:0");
    Editor e(dir.Path("Hex1"));
    ASSERT_TRUE(e.tool.Open(path));
    e.Put(0, "XX");
    // Between Open and Save the file is moved away and a link to another file put in its place.
    ASSERT_EQ(rename(path.c_str(), dir.Path("moved").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    EXPECT_FALSE(e.tool.Save());
    EXPECT_EQ(e.messages.messages, std::vector<std::string>{HexEditTool::kReplacedMessage});
    EXPECT_EQ(TempFolder::ReadFile(victim), "root:x:0:0");
    EXPECT_EQ(TempFolder::ReadFile(dir.Path("moved")), "mine");
    EXPECT_TRUE(e.doc.IsModified(0));  // the edits stay for a Save As
    // Save As to a new name writes a new file and later Saves go there.
    ASSERT_TRUE(e.tool.SaveAs(dir.Path("copy")));
    EXPECT_EQ(TempFolder::ReadFile(dir.Path("copy")), "XXne");
    e.Put(3, "!");
    ASSERT_TRUE(e.tool.Save());
    EXPECT_EQ(TempFolder::ReadFile(dir.Path("copy")), "XXn!");
    EXPECT_EQ(TempFolder::ReadFile(dir.Path("moved")), "mine");
}

// Runs fn in a child process as user nobody (when root) and returns its exit status.
template <typename Fn>
int AsNobody(const std::string& dir, Fn fn) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0) {
            if (chown(dir.c_str(), 65534, 65534) != 0 || setgroups(0, nullptr) != 0 ||
                setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
                _exit(90);
            }
        }
        setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SaveInPlace, AWritableFileInAReadOnlyFolderSavesAndAReadOnlyTargetIsRefused) {
    TempFolder dir;
    const std::string folder = dir.Path("ro"), path = folder + "/file", locked = dir.Path("locked");
    int status = AsNobody(dir.Path(""), [&] {
        if (mkdir(folder.c_str(), 0700) != 0) return 91;
        TempFolder::WriteFile(path, "0123");
        TempFolder::WriteFile(locked, "keep");
        if (chmod(folder.c_str(), 0555) != 0 || chmod(locked.c_str(), 0444) != 0) return 92;
        Editor e(dir.Path("Hex1"));
        if (!e.tool.Open(path)) return 93;
        e.Put(1, "AB");
        if (!e.tool.Save()) return 94;
        // Save As onto a read-only file: the message, and the file stays.
        if (e.tool.SaveAs(locked)) return 95;
        if (e.messages.messages != std::vector<std::string>{"Error! Open File Error!"}) return 96;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(TempFolder::ReadFile(path), "0AB3");
    EXPECT_EQ(TempFolder::ReadFile(locked), "keep");
    chmod(folder.c_str(), 0755);
}

// A write limit stands in for a failing disk.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); }
    rlimit old{};
};

TEST(SaveInPlace, ASaveThatCouldNotFinishIsRolledBackAtTheNextOpen) {
    TempFolder dir;
    const std::string path = dir.Path("f.bin"), original(3 * 4096, 'o');
    TempFolder::WriteFile(path, original);
    {
        Editor e(dir.Path("Hex1"));
        ASSERT_TRUE(e.tool.Open(path));
        e.Put(10, "new");
        e.Put(2 * 4096, "new");  // past the limit: this write fails, and so does its rollback
        FileSizeLimit limit(4096);
        EXPECT_FALSE(e.tool.Save());
        EXPECT_EQ(e.messages.messages, std::vector<std::string>{"Error! Save File Error!"});
    }
    EXPECT_EQ(JournalCount(), 1u);
    // A torn journal is never applied: the file is refused until the journal is dealt with.
    std::string journal;
    for (const auto& entry :
         std::filesystem::directory_iterator(stateFolder.path + "/korvanta/journal")) {
        journal = entry.path();
    }
    const std::string whole = TempFolder::ReadFile(journal);
    TempFolder::WriteFile(journal, whole.substr(0, whole.size() - 1));
    Editor torn(dir.Path("Hex2"));
    EXPECT_FALSE(torn.tool.Open(path));
    ASSERT_EQ(torn.messages.messages.size(), 1u);
    EXPECT_EQ(torn.messages.messages[0].rfind(HexEditTool::kRollbackFailedMessage, 0), 0u);
    TempFolder::WriteFile(journal, whole);

    Editor again(dir.Path("Hex3"));
    ASSERT_TRUE(again.tool.Open(path));
    EXPECT_EQ(again.messages.messages, std::vector<std::string>{HexEditTool::kRolledBackMessage});
    EXPECT_EQ(TempFolder::ReadFile(path), original);
    EXPECT_EQ(JournalCount(), 0u);
}

// 20 saves of a 256 MiB file, each killed (SIGKILL) at a random moment: after the next Open
// the file holds either the bytes before that save or the bytes it wrote.
TEST(SaveInPlace, SavesKilledAtRandomMomentsLeaveTheOldOrTheNewFile) {
    TempFolder dir;
    const std::string path = dir.Path("big.bin");
    const uint64_t size = 256ull << 20, stride = 128 << 10, run = 4096;
    auto background = [](uint64_t offset) { return static_cast<char>('a' + offset / stride % 26); };
    {
        std::string chunk(stride, '\0');
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (uint64_t at = 0; at < size; at += stride) {
            chunk.assign(stride, background(at));
            ASSERT_EQ(pwrite(fd, chunk.data(), stride, off_t(at)), ssize_t(stride));
        }
        close(fd);
    }
    // Save k writes the value k into runs of 4 KiB every 128 KiB (8 MiB in 2048 runs).
    auto save = [&](char value) {
        Editor e(dir.Path("Hex1"));
        if (!e.tool.Open(path)) return 1;
        const std::string bytes(run, value);
        for (uint64_t at = 0; at < size; at += stride) e.Put(at + 100, bytes);
        return e.tool.Save() ? 0 : 2;
    };
    // Which value the runs hold after an Open; '?' when they disagree or the rest changed.
    auto state = [&]() {
        Editor e(dir.Path("Hex2"));
        if (!e.tool.Open(path)) return '!';
        std::string chunk(stride, '\0');
        char value = 0;
        for (uint64_t at = 0; at < size; at += stride) {
            if (e.doc.ReadData(chunk.data(), at, stride) != stride) return '!';
            if (value == 0) value = chunk[100];
            for (uint64_t i = 0; i < stride; ++i) {
                bool inRun = i >= 100 && i < 100 + run;
                if (chunk[i] != (inRun ? value : background(at))) return '?';
            }
        }
        return value;
    };
    auto start = std::chrono::steady_clock::now();
    pid_t first = fork();
    if (first == 0) _exit(save('A'));
    int status = 0;
    waitpid(first, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto full = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(state(), 'A');

    std::mt19937 random(24);
    char expectedOld = 'A';
    int killedMidway = 0;
    for (int k = 0; k < 20; ++k) {
        const char value = static_cast<char>('B' + k);
        pid_t pid = fork();
        if (pid == 0) _exit(save(value));
        std::uniform_int_distribution<int64_t> delay(
            0, std::chrono::duration_cast<std::chrono::microseconds>(full).count() * 5 / 4);
        usleep(static_cast<useconds_t>(delay(random)));
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        const bool rolled = JournalCount() > 0;
        const char now = state();
        EXPECT_TRUE(now == expectedOld || now == value) << "save " << k << " left " << now;
        if (rolled) ++killedMidway;
        expectedOld = now;
        EXPECT_EQ(JournalCount(), 0u);
    }
    // The moments are spread over the whole save, so some land while the journal stands.
    EXPECT_GT(killedMidway, 0);
}

}  // namespace
}  // namespace kvt
