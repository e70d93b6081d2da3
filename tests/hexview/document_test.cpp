// The hex document and the Hex Viewer/Editor model on real files: marks, typing, finding
// (window overlaps, case folding, the first search from offset 0), copies, working copies
// and safe saving (failures leave the file as it was).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/temp_folder.h"
#include "support/cpu_fixtures.h"
#include "tools/hexview/hex_document.h"
#include "tools/hexview/hex_edit_tool.h"

namespace kvt {
namespace {

using test::TempFolder;

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

class DocumentTest : public ::testing::Test {
  protected:
    // Attaches a document to a data file holding `bytes`.
    void Attach(const std::string& bytes) {
        base_ = dir_.Path("Doc1");
        TempFolder::WriteFile(HexDocument::DataPath(base_), bytes);
        ASSERT_EQ(doc_.Attach(bytes.size(), 0, base_), 0);
    }
    std::string Data() { return TempFolder::ReadFile(HexDocument::DataPath(base_)); }

    TempFolder dir_;
    std::string base_;
    HexDocument doc_;
};

TEST_F(DocumentTest, AttachMakesAZeroMapAndReadsStopAtTheEnd) {
    Attach(std::string(20, 'x'));
    EXPECT_EQ(TempFolder::ReadFile(HexDocument::MapPath(base_)), std::string(3, '\0'));
    EXPECT_EQ(doc_.RowCount(), 2u);
    EXPECT_EQ(doc_.column, kColumnHigh);
    uint8_t buf[32];
    EXPECT_EQ(doc_.ReadData(buf, 16, 32), 4u);
    EXPECT_EQ(doc_.ReadData(buf, 20, 1), 0u);  // offset >= length gives nothing
    EXPECT_EQ(doc_.ReadData(buf, 25, 1), 0u);
    EXPECT_EQ(doc_.ReadMap(buf, 20, 8), 0u);
    EXPECT_EQ(doc_.ReadMap(buf, 6, 4), 2u);  // bytes 6..9 lie in map bytes 0 and 1
    // A detach keeps the files; the destructor of a document with a base name removes them.
    {
        HexDocument other;
        ASSERT_EQ(other.Attach(20, 0, base_), 0);
    }
    EXPECT_NE(access(HexDocument::DataPath(base_).c_str(), F_OK), 0);
    EXPECT_NE(access(HexDocument::MapPath(base_).c_str(), F_OK), 0);
}

TEST_F(DocumentTest, TypingReplacesOneNibbleMarksAndStepsRight) {
    Attach(std::string(16, '\x3C'));
    doc_.column = kColumnLow;
    EXPECT_TRUE(doc_.Type('A'));
    EXPECT_EQ(static_cast<uint8_t>(Data()[0]), 0x3A);
    EXPECT_EQ(doc_.position, 1u);
    EXPECT_EQ(doc_.column, kColumnHigh);
    EXPECT_TRUE(doc_.Type('a'));
    EXPECT_FALSE(doc_.Type('g'));
    EXPECT_EQ(static_cast<uint8_t>(Data()[1]), 0xAC);
    EXPECT_TRUE(doc_.IsModified(0) && doc_.IsModified(1) && !doc_.IsModified(2));
    EXPECT_EQ(TempFolder::ReadFile(HexDocument::MapPath(base_))[0], '\x03');
    // ASCII column at the last byte: written, the caret stays there.
    doc_.column = kColumnAscii;
    doc_.position = 15;
    EXPECT_TRUE(doc_.Type('Z'));
    EXPECT_EQ(Data()[15], 'Z');
    EXPECT_EQ(doc_.position, 15u);
    // Marks of a range go, others stay.
    ASSERT_TRUE(doc_.ClearMarks(1, 15));
    EXPECT_TRUE(doc_.IsModified(0));
    EXPECT_FALSE(doc_.IsModified(1) || doc_.IsModified(15));
}

TEST_F(DocumentTest, FindStartsAtZeroThenAfterTheCaretAndSelectsTheOccurrence) {
    Attach("ab@x`xAB" + std::string(100, '.') + "ab");
    doc_.visibleRows = 4;
    const auto ab = Bytes("ab");
    ASSERT_EQ(doc_.FindNext(ab, FindMode::Exact), FindResult::Found);
    EXPECT_EQ(doc_.position, 0u);  // an occurrence at offset 0 is found
    ASSERT_EQ(doc_.FindNext(ab, FindMode::IgnoreCase), FindResult::Found);
    EXPECT_EQ(doc_.position, 6u);
    EXPECT_EQ(doc_.selStart, 6);
    EXPECT_EQ(doc_.selEnd, 8);
    ASSERT_EQ(doc_.FindNext(ab, FindMode::Exact), FindResult::Found);
    EXPECT_EQ(doc_.position, 108u);
    // The last row is partial (row 6 of 7): the view stops at the last page.
    EXPECT_EQ(doc_.top, doc_.LastPageTop());
    EXPECT_EQ(doc_.top, 48u);
    // Nothing after the caret: not found, nothing moves.
    EXPECT_EQ(doc_.FindNext(ab, FindMode::Exact), FindResult::NotFound);
    EXPECT_EQ(doc_.position, 108u);
    // After a new attach, a caret the user moved is where the first search starts.
    ASSERT_EQ(doc_.Attach(doc_.length(), 0, base_), 0);
    doc_.position = 6;
    ASSERT_EQ(doc_.FindNext(Bytes("AB"), FindMode::Exact), FindResult::Found);
    EXPECT_EQ(doc_.position, 6u);
    ASSERT_EQ(doc_.FindNext(Bytes("ab"), FindMode::Exact), FindResult::Found);
    EXPECT_EQ(doc_.position, 108u);
    // Only letters fold: '@' and '`' differ by the same bit but are no case pair.
    uint64_t at = 0;
    EXPECT_EQ(
        FindInFile(doc_.dataFd(), doc_.length(), Bytes("@").data(), 1, FindMode::IgnoreCase, 3, at),
        FindResult::NotFound);
}

TEST_F(DocumentTest, AnOccurrenceAcrossTwoSearchWindowsIsFoundOnce) {
    // Needles around the ends of the first search windows (64 KiB growing to 4 MiB, each
    // overlapping the next by the pattern length less one) are found, each exactly once.
    Attach(std::string(kHexChunk + 0x40000, '\0'));
    const uint64_t ends[] = {0x10000, 0x10000 - 5 + 0x20000, kHexChunk};
    int windows = 0;
    for (uint64_t end : ends) {
        for (uint64_t p = end - 7; p <= end + 1; ++p) {
            std::string file(doc_.length(), '\0');
            file.replace(p, 6, "NEEDLE");
            ASSERT_EQ(pwrite(doc_.dataFd(), file.data(), file.size(), 0), ssize_t(file.size()));
            std::vector<uint64_t> found;
            uint64_t at = 0;
            for (uint64_t from = 0; FindInFile(doc_.dataFd(), doc_.length(), Bytes("needle").data(),
                                               6, FindMode::IgnoreCase, from, at,
                                               [&](uint64_t, uint64_t) {
                                                   return ++windows, true;
                                               }) == FindResult::Found;
                 from = at + 1) {
                found.push_back(at);
            }
            EXPECT_EQ(found, std::vector<uint64_t>{p}) << p;
        }
    }
    EXPECT_GT(windows, 0);
    // A cancel from the progress callback ends the search.
    uint64_t at = 0;
    EXPECT_EQ(FindInFile(doc_.dataFd(), doc_.length(), Bytes("zz").data(), 2, FindMode::Exact, 0,
                         at, [](uint64_t, uint64_t) { return false; }),
              FindResult::Cancelled);
}

TEST_F(DocumentTest, BackwardSearchFindsEachOccurrenceAcrossWindowsOnce) {
    // Windows go back from the end (64 KiB growing), each overlapping the one after it.
    const uint64_t length = kHexChunk + 0x40000;
    Attach(std::string(length, '\0'));
    const uint64_t low1 = length - 0x10000, low2 = low1 + 5 - 0x20000;
    for (uint64_t start : {low1, low2, uint64_t(0)}) {
        for (uint64_t p = start > 7 ? start - 7 : 0; p <= start + 1; ++p) {
            std::string file(length, '\0');
            file.replace(p, 6, "NEEDLE");
            ASSERT_EQ(pwrite(doc_.dataFd(), file.data(), file.size(), 0), ssize_t(file.size()));
            std::vector<uint64_t> found;
            uint64_t at = 0;
            for (uint64_t before = length;
                 FindBackWith(
                     [&](uint8_t*b, size_t n, uint64_t o) { return doc_.ReadData(b, o, n) == n; },
                     length, Bytes("needle").data(), 6, FindMode::IgnoreCase, before,
                     at) == FindResult::Found;
                 before = at) {
                found.push_back(at);
            }
            EXPECT_EQ(found, std::vector<uint64_t>{p}) << p;
        }
    }
}

TEST_F(DocumentTest, UndoAndRedoTakeTheByteItsMarkAndTheCaretBackAndForth) {
    Attach("abcd");
    doc_.position = 1;
    ASSERT_TRUE(doc_.Type('4'));
    ASSERT_TRUE(doc_.Type('1'));
    ASSERT_TRUE(doc_.Undo());  // the low nibble: the mark of the high one stays
    EXPECT_EQ(Data(), "aBcd");
    EXPECT_TRUE(doc_.IsModified(1));
    ASSERT_TRUE(doc_.Undo());
    EXPECT_EQ(Data(), "abcd");
    EXPECT_FALSE(doc_.IsModified(1));
    EXPECT_FALSE(doc_.modified());
    EXPECT_EQ(doc_.position, 1u);
    EXPECT_EQ(doc_.column, int(kColumnHigh));
    EXPECT_FALSE(doc_.Undo());
    ASSERT_TRUE(doc_.Redo());
    ASSERT_TRUE(doc_.Redo());
    EXPECT_EQ(Data(), "aAcd");
    EXPECT_TRUE(doc_.IsModified(1) && doc_.modified());
    EXPECT_EQ(doc_.position, 2u);
    // Clearing the marks (a save or write) ends the history.
    ASSERT_TRUE(doc_.ClearMap());
    EXPECT_FALSE(doc_.CanUndo());
}

TEST_F(DocumentTest, CopyTakesTheBytesBetweenTheMarksUpToFourMiB) {
    Attach("0123456789abcdef");
    std::string bytes;
    EXPECT_EQ(doc_.CopySelection(bytes), HexDocument::CopyResult::NoSelection);
    doc_.selStart = 10;  // made backwards
    doc_.selEnd = 4;
    ASSERT_EQ(doc_.CopySelection(bytes), HexDocument::CopyResult::Ok);
    EXPECT_EQ(bytes, "456789");
    doc_.Attach(0, 0, base_);
    TempFolder::WriteFile(HexDocument::DataPath(base_), std::string(kHexChunk + 1, 'q'));
    ASSERT_EQ(doc_.Attach(kHexChunk + 1, 0, base_), 0);
    doc_.selStart = 0;
    doc_.selEnd = static_cast<int64_t>(kHexChunk + 1);
    EXPECT_EQ(doc_.CopySelection(bytes), HexDocument::CopyResult::TooLarge);
}

// ---- Hex Viewer/Editor -------------------------------------------------------------------

class HexEditTest : public ::testing::Test {
  protected:
    std::string Open(const std::string& name, const std::string& bytes) {
        std::string path = dir_.Path(name);
        TempFolder::WriteFile(path, bytes);
        EXPECT_TRUE(tool_.Open(path));
        return path;
    }
    TempFolder dir_;
    test::RecordedMessages messages_;
    HexDocument doc_;
    HexEditTool tool_{messages_, doc_, dir_.Path("Hex1"), dir_.Path(".")};
};

TEST_F(HexEditTest, SaveChangesOnlyTheEditedByteKeepsTheModeAndClearsTheMarks) {
    std::string path = Open("ten.bin", "0123456789");
    chmod(path.c_str(), 0640);
    doc_.position = 5;
    ASSERT_TRUE(doc_.Type('4'));
    ASSERT_TRUE(doc_.Type('1'));
    EXPECT_EQ(TempFolder::ReadFile(path), "0123456789");  // only the working copy changed
    ASSERT_TRUE(tool_.Save());
    EXPECT_EQ(TempFolder::ReadFile(path), "01234A6789");
    EXPECT_FALSE(doc_.IsModified(5));
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Save As: the opened file stays, later Saves go to the new name.
    std::string other = dir_.Path("other.bin");
    ASSERT_TRUE(doc_.Type('4'));
    ASSERT_TRUE(tool_.SaveAs(other));
    EXPECT_EQ(TempFolder::ReadFile(path), "01234A6789");
    EXPECT_EQ(TempFolder::ReadFile(other), "01234AF789");
    ASSERT_TRUE(doc_.Type('2'));
    ASSERT_TRUE(tool_.Save());
    EXPECT_EQ(TempFolder::ReadFile(other), "01234AB789");
    // A link is followed: the link stays a link, its file gets the bytes.
    std::string link = dir_.Path("link.bin");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    ASSERT_TRUE(tool_.SaveAs(link));
    struct stat lst {};
    lstat(link.c_str(), &lst);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(TempFolder::ReadFile(path), "01234AB789");
    EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(HexEditTest, OpenRefusesWhatCannotBeEditedAndLeavesSaveDisabled) {
    std::string fifo = dir_.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir_.Path("missing"), fifo, dir_.Path("")}) {
        messages_.Clear();
        EXPECT_FALSE(tool_.Open(path)) << path;
        EXPECT_EQ(messages_.messages, std::vector<std::string>{"Error! Open File Error!"});
        EXPECT_FALSE(tool_.opened());
        EXPECT_FALSE(tool_.Save());  // nothing to write over the chosen file
    }
    // An empty file opens and saves as an empty file.
    std::string empty = Open("empty", "");
    ASSERT_TRUE(tool_.Save());
    EXPECT_EQ(TempFolder::ReadFile(empty), "");
    // The address column starts at 0.
    EXPECT_EQ(doc_.baseAddress(), 0u);
    // Report requests point to the Save button.
    messages_.Clear();
    StringReport report(false);
    tool_.WriteReport(report.stream());
    EXPECT_EQ(report.str(), "");
    EXPECT_EQ(messages_.messages,
              std::vector<std::string>{"Please use the SAVE button in HexEditView!"});
}

// A write limit stands in for a full disk.
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

TEST_F(HexEditTest, FailedCopiesAndSavesLeaveFilesAsTheyWereAndKeepTheMarks) {
    const std::string original(3 * 4096, 'o');
    std::string path = Open("big.bin", original);
    doc_.position = 4096 * 2;
    ASSERT_TRUE(doc_.Type('f'));
    {
        FileSizeLimit limit(4096);
        messages_.Clear();
        EXPECT_FALSE(tool_.Save());
        EXPECT_EQ(messages_.messages, std::vector<std::string>{"Error! Save File Error!"});
    }
    EXPECT_EQ(TempFolder::ReadFile(path), original);
    EXPECT_TRUE(doc_.IsModified(4096 * 2));
    // No temporary file is left beside the target.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path(""))) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Hex1.tmp", "Hex1map.tmp", "big.bin"}));
    // A folder that does not exist: the temporary file cannot be made.
    messages_.Clear();
    EXPECT_FALSE(tool_.SaveAs(dir_.Path("no/such/file")));
    EXPECT_EQ(messages_.messages, std::vector<std::string>{"Error! Open File Error!"});
    EXPECT_TRUE(doc_.IsModified(4096 * 2));
    // A cancelled save is a failed one without a message.
    messages_.Clear();
    EXPECT_FALSE(tool_.SaveAs(path, [](uint64_t, uint64_t) { return false; }));
    EXPECT_TRUE(messages_.messages.empty());
    EXPECT_EQ(TempFolder::ReadFile(path), original);
    // A short working copy is refused and removed; the control stays empty.
    {
        FileSizeLimit limit(4096);
        messages_.Clear();
        EXPECT_FALSE(tool_.Open(path));
    }
    EXPECT_EQ(messages_.messages, std::vector<std::string>{"Error! Copy File Error!"});
    EXPECT_FALSE(tool_.opened());
    EXPECT_FALSE(doc_.attached());
    EXPECT_NE(access(dir_.Path("Hex1.tmp").c_str(), F_OK), 0);
}

TEST(HexText, OddDigitCountsGetALeadingZero) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(HexTextToBytes("A1B", bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x0A, 0x1B}));
    EXPECT_FALSE(HexTextToBytes("", bytes));
    EXPECT_FALSE(HexTextToBytes("12 3", bytes));
}

}  // namespace
}  // namespace kvt

namespace kvt {
namespace {

// The private folder: 0700 under $TMPDIR, removed with its files at exit and on SIGTERM.
TEST(PrivateTempFolder, IsPrivateAndGoesOnExitAndOnSigterm) {
    test::TempFolder parent;
    for (bool bySignal : {false, true}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", parent.Path("").c_str(), 1);
            std::string folder = PrivateTempFolder("/nonexistent/");
            TempFolder::WriteFile(folder + "Memory1.tmp", "x");
            struct stat st {};
            stat(folder.c_str(), &st);
            std::string report = folder + " " + std::to_string(st.st_mode & 0777) + "\n";
            if (write(fds[1], report.data(), report.size()) < 0) _exit(2);
            if (bySignal) raise(SIGTERM);
            exit(0);
        }
        close(fds[1]);
        char buffer[512] = {};
        ASSERT_GT(read(fds[0], buffer, sizeof buffer - 1), 0);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(bySignal, WIFSIGNALED(status));
        std::string folder, mode;
        std::istringstream(buffer) >> folder >> mode;
        EXPECT_EQ(folder.rfind(parent.Path("korvanta-"), 0), 0u) << folder;
        EXPECT_EQ(mode, std::to_string(0700));
        EXPECT_NE(access(folder.c_str(), F_OK), 0) << folder;
    }
}

// Folders that dead runs left are removed at the next start; a live run's folder, a link and
// another user's folder stay.
TEST(PrivateTempFolder, TheNextStartRemovesWhatDeadRunsLeft) {
    test::TempFolder parent, elsewhere;
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string deadName = "korvanta-" + std::to_string(dead) + "-";
    const std::string left = parent.Path(deadName + "aaaaaa"),
                      live = parent.Path("korvanta-" + std::to_string(getpid()) + "-bbbbbb");
    const std::string link = parent.Path(deadName + "cccccc"),
                      foreign = parent.Path(deadName + "dddddd");
    for (const std::string& dir : {left, live, foreign}) {
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        TempFolder::WriteFile(dir + "/Hex1.tmp", "copy");
    }
    TempFolder::WriteFile(elsewhere.Path("keep"), "x");
    ASSERT_EQ(symlink(elsewhere.Path("").c_str(), link.c_str()), 0);
    const bool root = geteuid() == 0;
    if (root) ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TMPDIR", parent.Path("").c_str(), 1);
        _exit(PrivateTempFolder("/nonexistent/").empty() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(access(left.c_str(), F_OK), 0);
    EXPECT_EQ(TempFolder::ReadFile(live + "/Hex1.tmp"), "copy");
    EXPECT_EQ(TempFolder::ReadFile(elsewhere.Path("keep")), "x");
    struct stat st {};
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
    if (root) EXPECT_EQ(TempFolder::ReadFile(foreign + "/Hex1.tmp"), "copy");
}

}  // namespace
}  // namespace kvt
