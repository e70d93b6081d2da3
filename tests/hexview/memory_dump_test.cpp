// Memory Dump against a private board daemon: entry rules, chunked dumps, refused reads and
// writes, write-back of modified runs, search and the binary report.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "hwaccess/session.h"
#include "platform/report_stream.h"
#include "support/cpu_fixtures.h"
#include "support/daemon.h"
#include "tools/hexview/memory_dump_tool.h"

namespace kvt {
namespace {

using Strings = std::vector<std::string>;

class MemoryDumpTest : public ::testing::Test {
  protected:
    void SetUp() override { Start(false); }
    // faults: a board profile "faults" list, or empty.
    void Start(bool readOnly, const std::string& faults = "") {
        tool_.reset();
        session_.reset();
        daemon_ = std::make_unique<test::PrivateDaemon>();
        test::DaemonOptions options;
        options.board = test::BoardProfile("intel-desktop");
        if (!faults.empty()) {
            std::string profile = test::TempFolder::ReadFile(options.board);
            profile.insert(profile.find('{') + 1, "\"faults\": " + faults + ",");
            options.board = dir_.Path("faulty.json");
            test::TempFolder::WriteFile(options.board, profile);
        }
        options.readOnly = readOnly;
        std::string error;
        ASSERT_TRUE(daemon_->Start(options, &error)) << error;
        setenv("KORVANTA_RUNTIME_DIR", daemon_->runtimeDir().c_str(), 1);
        session_ = HardwareSession::Create(options.board, &error);
        ASSERT_TRUE(session_ && session_->LoadDriver(&error)) << error;
        tool_ = std::make_unique<MemoryDumpTool>(session_->client(), messages_, doc_,
                                                 dir_.Path("Memory1"));
    }
    bool Dump(const std::string& address, const std::string& size) {
        tool_->address = address;
        tool_->size = size;
        return tool_->Dump();
    }
    std::string Memory(uint32_t address, uint32_t n) {
        std::string bytes(n, '\0');
        EXPECT_TRUE(session_->client().ReadPhysicalMemory(address, bytes.data(), n));
        return bytes;
    }

    test::TempFolder dir_;
    test::RecordedMessages messages_;
    HexDocument doc_;
    std::unique_ptr<test::PrivateDaemon> daemon_;
    std::unique_ptr<HardwareSession> session_;
    std::unique_ptr<MemoryDumpTool> tool_;
};

TEST_F(MemoryDumpTest, EntryRulesRefuseBadFieldsAndRangesPastFourGiB) {
    struct Case {
        const char* address;
        const char* size;
        const char* message;
        const char* focus;
    } cases[] = {
        {"C 0000", "10", "Input Memory Address Error!", "address"},
        {"", "10", "Input Memory Address Error!", "address"},
        {"0C0000000", "10", "Input Memory Address Error!", "address"},  // nine digits
        {"C0000", "1x", "Input Memory Size Error!", "size"},
        {"FFFFFFFF", "2", "Input Memory Size Error!", "size"},
        {"80000000", "80000001", "Input Memory Size Error!", "size"},
    };
    for (const Case& c : cases) {
        messages_.Clear();
        EXPECT_FALSE(Dump(c.address, c.size)) << c.address << " " << c.size;
        EXPECT_EQ(messages_.messages, Strings{c.message});
        EXPECT_EQ(messages_.focus, Strings{c.focus});
    }
    EXPECT_FALSE(tool_->searchEnabled());
    // The last byte of the address space is in range.
    messages_.Clear();
    EXPECT_TRUE(Dump("FFFFFFFF", "1"));
    EXPECT_TRUE(messages_.messages.empty());
    EXPECT_EQ(tool_->dumpSize(), 1u);
}

TEST_F(MemoryDumpTest, DumpShowsTheBoardsBytesAcrossChunksAndSavesThemUnchanged) {
    ASSERT_TRUE(tool_->Preset(0xC0000, 0x10));
    EXPECT_EQ(tool_->address, "000C0000");
    EXPECT_EQ(tool_->size, "00000010");
    std::string shown(16, '\0');
    ASSERT_EQ(doc_.ReadData(shown.data(), 0, 16), 16u);
    EXPECT_EQ(shown.substr(0, 5), std::string("\x55\xAA\x80\xEB\x4B", 5));
    EXPECT_EQ(doc_.baseAddress(), 0xC0000u);
    EXPECT_TRUE(tool_->searchEnabled() && tool_->controlEnabled());

    // One full chunk and a one-byte rest, written at 100000h first so the bytes are known.
    std::string pattern(0x400001, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7 + i / 4099);
    ASSERT_TRUE(session_->client().WritePhysicalMemory(0x100000, pattern.data(), 0x400000));
    ASSERT_TRUE(session_->client().WritePhysicalMemory(0x500000, pattern.data() + 0x400000, 1));
    ASSERT_TRUE(Dump("100000", "400001"));
    StringReport report(false);
    ASSERT_TRUE(tool_->WriteReport(report.stream()));
    EXPECT_TRUE(report.str() == pattern);

    // Clear: nothing to save.
    tool_->Clear();
    messages_.Clear();
    EXPECT_FALSE(tool_->WriteReport(report.stream()));
    EXPECT_EQ(messages_.messages, Strings{"No Data To Save!"});
}

TEST_F(MemoryDumpTest, ARefusedReadKeepsTheBytesBeforeItAndNamesTheAddress) {
    // 9F000h-9FFFFh are mapped, A0000h (the legacy video window) is not.
    EXPECT_FALSE(Dump("9F000", "2000"));
    EXPECT_EQ(messages_.messages, Strings{"Error! Read physical memory failed at 000A0000!"});
    EXPECT_EQ(tool_->dumpSize(), 0x1000u);
    EXPECT_EQ(doc_.length(), 0x1000u);
    // Nothing readable: the tool stays cleared, the last good dump is not shown.
    messages_.Clear();
    EXPECT_FALSE(Dump("A0000", "10"));
    EXPECT_EQ(messages_.messages, Strings{"Error! Read physical memory failed at 000A0000!"});
    EXPECT_EQ(tool_->dumpSize(), 0u);
    EXPECT_FALSE(doc_.attached());
    EXPECT_FALSE(tool_->searchEnabled());
}

TEST_F(MemoryDumpTest, ARefusedChunkAmongSeveralIsReadAgainPageByPage) {
    // Chunks are asked for together: the third arrives after the second was refused, and
    // must neither land in the dump nor spoil the second chunk's pages read again.
    Start(false, R"([{"kind": "memory", "first": "0x502000", "last": "0x502FFF"}])");
    std::string before(0x402000, '\0'), after(0x400000, '\0');
    for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<char>(i * 13 + i / 4093);
    for (size_t i = 0; i < after.size(); ++i) after[i] = static_cast<char>(~(i * 5));
    ASSERT_TRUE(session_->client().WritePhysicalMemory(0x100000, before.data(), 0x400000));
    ASSERT_TRUE(session_->client().WritePhysicalMemory(0x500000, before.data() + 0x400000, 0x2000));
    ASSERT_TRUE(session_->client().WritePhysicalMemory(0x900000, after.data(), 0x400000));
    EXPECT_FALSE(Dump("100000", "C00000"));
    EXPECT_EQ(messages_.messages, Strings{"Error! Read physical memory failed at 00502000!"});
    EXPECT_EQ(tool_->dumpSize(), 0x402000u);
    EXPECT_EQ(doc_.length(), 0x402000u);
    StringReport report(false);
    ASSERT_TRUE(tool_->WriteReport(report.stream()));
    EXPECT_TRUE(report.str() == before);
    EXPECT_EQ(test::TempFolder::ReadFile(HexDocument::DataPath(tool_->baseName())).size(),
              0x402000u);

    // Only the chunk's request is refused (every second request there is): the page-wise
    // read gets it all and the dump goes on.
    Start(false, R"([{"kind": "memory", "first": "0x502000", "every": 2}])");
    ASSERT_TRUE(session_->client().WritePhysicalMemory(0x100000, before.data(), 0x400000));
    ASSERT_TRUE(session_->client().WritePhysicalMemory(0x900000, after.data(), 0x400000));
    messages_.Clear();
    EXPECT_TRUE(Dump("100000", "C00000"));
    EXPECT_TRUE(messages_.messages.empty());
    ASSERT_TRUE(tool_->WriteReport(report.stream()));
    EXPECT_TRUE(report.str().substr(0x402000) ==
                before.substr(0, 0x400000) + std::string(0x400000, '\0') + after);
}

TEST_F(MemoryDumpTest, WriteSendsModifiedRunsPerChunkAndClearsTheMarks) {
    ASSERT_TRUE(Dump("100000", "400010"));
    auto type = [&](uint64_t offset, const char* digits) {
        doc_.position = offset;
        doc_.column = kColumnHigh;
        for (const char* d = digits; *d; ++d) ASSERT_TRUE(doc_.Type(static_cast<uint8_t>(*d)));
    };
    type(0x10, "A1A2A3");
    type(0x20, "B4");
    type(0x3FFFFF, "C5D6");  // two runs: the chunk boundary lies between them
    ASSERT_TRUE(tool_->Write());
    EXPECT_EQ(Memory(0x100010, 4), std::string("\xA1\xA2\xA3\x00", 4));
    EXPECT_EQ(Memory(0x100020, 1), "\xB4");
    EXPECT_EQ(Memory(0x4FFFFF, 2), "\xC5\xD6");
    for (uint64_t at : {0x10ull, 0x20ull, 0x3FFFFFull, 0x400000ull})
        EXPECT_FALSE(doc_.IsModified(at));
    EXPECT_TRUE(messages_.messages.empty());

    // Search: HEX text with an odd digit count, then the next occurrence. The caret goes
    // back to the start first: the first search starts at the caret.
    doc_.position = 0;
    tool_->search.hexMode = true;
    tool_->search.text = "a2a3";
    EXPECT_EQ(tool_->Search(), FindResult::Found);
    EXPECT_EQ(doc_.position, 0x11u);
    EXPECT_EQ(tool_->Search(), FindResult::NotFound);
    EXPECT_EQ(messages_.messages, Strings{"String not found!"});
    tool_->search.text = "a2a";
    messages_.Clear();
    EXPECT_EQ(tool_->Search(), FindResult::NotFound);  // 0Ah 2Ah
    tool_->search.hexMode = false;
    tool_->search.text = "";
    EXPECT_EQ(tool_->Search(), FindResult::Failed);
    EXPECT_EQ(messages_.messages, (Strings{"String not found!", "Input data invalid!"}));
    EXPECT_EQ(tool_->search.history(), (Strings{"", "a2a", "a2a3"}));
}

TEST_F(MemoryDumpTest, ARefusedWriteIsReportedAndItsMarksStay) {
    Start(true);  // a read-only daemon refuses every write
    ASSERT_TRUE(Dump("100000", "40"));
    doc_.position = 0x30;
    ASSERT_TRUE(doc_.Type('7'));
    EXPECT_FALSE(tool_->Write());
    EXPECT_EQ(messages_.messages, Strings{"Error! Write physical memory failed at 00100030!"});
    EXPECT_TRUE(doc_.IsModified(0x30));
}

}  // namespace
}  // namespace kvt
