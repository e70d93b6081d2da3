// Group I/O and CMOS against a private board daemon: walk ends, check order with messages and
// focus, refused requests shown as "Failed", the NMI mask left clear, and report bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "hwaccess/session.h"
#include "platform/report_stream.h"
#include "support/daemon.h"
#include "tools/io/cmos_tool.h"
#include "tools/io/group_io_tool.h"

namespace kvt {
namespace {

struct Log : UserMessages {
    std::vector<std::string> events;
    void ShowMessage(std::string_view text) override {
        events.push_back("msg:" + std::string(text));
    }
    void SetFocus(std::string_view field) override {
        events.push_back("focus:" + std::string(field));
    }
};

class PortToolsTest : public ::testing::Test {
  protected:
    void SetUp() override { Start("intel-desktop", false); }
    void Start(const std::string& board, bool readOnly) {
        session_.reset();
        daemon_ = std::make_unique<test::PrivateDaemon>();
        test::DaemonOptions options;
        options.board = test::BoardProfile(board);
        options.readOnly = readOnly;
        std::string error;
        ASSERT_TRUE(daemon_->Start(options, &error)) << error;
        setenv("KORVANTA_RUNTIME_DIR", daemon_->runtimeDir().c_str(), 1);
        session_ = HardwareSession::Create(options.board, &error);
        ASSERT_TRUE(session_ && session_->LoadDriver(&error)) << error;
    }
    std::string Report(const auto& tool) {
        StringReport r;
        tool.WriteReport(r.stream());
        return r.str();
    }
    uint32_t Port70() {
        uint32_t v = 0;
        EXPECT_TRUE(session_->client().ReadPort(0x70, v, 1));
        return v & 0xFF;
    }
    std::unique_ptr<test::PrivateDaemon> daemon_;
    std::unique_ptr<HardwareSession> session_;
    Log log_;
};

std::vector<std::string> Addresses(const GroupIoTool& tool) {
    std::vector<std::string> out;
    for (const auto& r : tool.rows()) out.push_back(r.address);
    return out;
}

TEST_F(PortToolsTest, DirectWalkEndsAtTheLastPortNotAboveTheEndAndNeverPastFFFF) {
    GroupIoTool tool(session_->client(), log_);
    struct Case {
        const char *start, *end;
        uint32_t width;
        std::vector<std::string> rows;
    } cases[] = {
        {"3F8", "3FF", 4, {"03F8", "03FC"}},
        {"0", "2", 2, {"0000", "0002"}},
        {"FFFE", "FFFF", 2, {"FFFE"}},
        {"fffd", "ffff", 1, {"FFFD", "FFFE", "FFFF"}},
    };
    for (const Case& c : cases) {
        tool.start = c.start;
        tool.end = c.end;
        tool.width = c.width;
        tool.Read();
        EXPECT_EQ(Addresses(tool), c.rows) << c.start << "-" << c.end;
    }
    tool.start = "0";
    tool.end = "FFFF";
    tool.width = 1;
    tool.Read();
    ASSERT_EQ(tool.rows().size(), 65536u);
    EXPECT_EQ(tool.rows().back().address, "FFFF");
    EXPECT_EQ(tool.rows()[0x80].data.size(), 2u);
    // A double word at FFFEh runs past the port space: refused, never wrapped to port 0.
    tool.start = "FFFE";
    tool.width = 4;
    tool.Read();
    ASSERT_EQ(tool.rows().size(), 1u);
    EXPECT_EQ(tool.rows()[0].data, "Failed");
    EXPECT_EQ(tool.failedRequests(), 1u);
    EXPECT_TRUE(log_.events.empty());
}

TEST_F(PortToolsTest, ChecksRunInScreenOrderWithTheirMessagesAndFocus) {
    GroupIoTool tool(session_->client(), log_);
    tool.start = "10";
    tool.end = "0F";
    tool.Read();
    tool.start = "";
    tool.Read();
    tool.start = "G";
    tool.Read();
    tool.start = "1";
    tool.end = "12345";
    tool.Read();
    EXPECT_EQ(log_.events, (std::vector<std::string>{
                               "msg:Error! Start Port address is bigger than end port address!",
                               "focus:start", "msg:Error! Please provide port address!",
                               "focus:start", "msg:Error! Port address is invalid!", "focus:start",
                               "msg:Error! Port address is too long!", "focus:end"}));
    log_.events.clear();
    tool.SelectMode(GroupIoTool::Mode::Index);
    tool.indexPort = "70";
    tool.dataPort = "";
    tool.Read();
    tool.dataPort = "71";
    tool.startOffset = "x";
    tool.Read();
    tool.startOffset = "";
    tool.Read();
    tool.startOffset = "0";
    tool.endOffset = "100";
    tool.Read();
    tool.startOffset = "10";
    tool.endOffset = "F";
    tool.Read();
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{"msg:Error! Please provide port address!", "focus:dataPort",
                                        "msg:Error! offset is invalid!", "focus:startOffset",
                                        "msg:Error! Please provide offset!", "focus:startOffset",
                                        "msg:Error! Offset is too long!", "focus:endOffset",
                                        "msg:Error! Start offset is bigger than end offset!",
                                        "focus:startOffset"}));
    EXPECT_TRUE(tool.rows().empty());
}

TEST_F(PortToolsTest, IndexDumpAndReportNameThePortsTheRowsWereReadWith) {
    GroupIoTool tool(session_->client(), log_);
    tool.start = "80";
    tool.end = "80";
    tool.Read();
    ASSERT_EQ(tool.rows().size(), 1u);
    tool.SelectMode(GroupIoTool::Mode::Index);  // a mode change empties the list
    EXPECT_TRUE(tool.rows().empty());
    tool.indexPort = "72";
    tool.dataPort = "73";
    tool.startOffset = "0";
    tool.endOffset = "3";
    tool.width = 2;
    tool.Read();
    tool.indexPort = "70";  // edited after the dump
    // intel-desktop's second bank starts 5A A5 01 00; a word read of port 73h takes the unclaimed
    // port 74h (FFh) as its high byte.
    EXPECT_EQ(Report(tool),
              "========================= Group I/O Dump ==========================\r\n\r\n"
              "Group Index I/O:\r\n"
              "\tIndex Port Address = 72h\r\n"
              "\t Data Port Address = 73h\r\n"
              "\r\n"
              "            Offset (Hex)      Data (Hex)\r\n"
              "                      00            FF5A\r\n"
              "                      02            FF01\r\n");
}

TEST_F(PortToolsTest, PresetReadsTheRangeItselfAndStopsAtFFFF) {
    GroupIoTool tool(session_->client(), log_);
    tool.Preset(0xE000, 0x100);
    EXPECT_EQ(tool.end, "E0FF");
    EXPECT_EQ(tool.rows().size(), 0x100u);
    tool.Preset(0xFFF0, 0x100);
    EXPECT_EQ(tool.start, "FFF0");
    EXPECT_EQ(tool.end, "FFFF");
    EXPECT_EQ(tool.rows().size(), 16u);
    tool.Preset(0x3F8, 0);
    EXPECT_EQ(tool.end, "03F8");
    EXPECT_TRUE(log_.events.empty());
}

TEST_F(PortToolsTest, CmosDumpShowsBytesAndBitsAndLeavesNmiEnabled) {
    CmosTool tool(session_->client(), log_);
    tool.Dump();
    ASSERT_EQ(tool.rows().size(), 128u);
    EXPECT_EQ(tool.rows()[0].hex, "30");
    EXPECT_EQ(tool.rows()[0].bits, "00110000");
    EXPECT_EQ(tool.rows()[0x2F].hex, "C3");
    tool.size256 = true;  // applies at the next dump only
    EXPECT_EQ(tool.rows().size(), 128u);
    tool.SelectBank(1);
    ASSERT_EQ(tool.rows().size(), 256u);
    EXPECT_EQ(tool.rows()[0x81].hex, "A5");  // bit 7 of the index is ignored on 72h
    tool.SelectBank(0);
    EXPECT_EQ(tool.rows()[0xAF].hex, "C3");
    EXPECT_EQ(Port70() & 0x80, 0u);
    EXPECT_EQ(Port70(), 0x7Fu);

    tool.SelectRow(0xAF);
    EXPECT_EQ(tool.offset, "AF");
    EXPECT_EQ(tool.data, "C3");
    tool.offset = "BF";
    tool.data = "5a";
    tool.Write();  // 80h-FFh reach 00h-7Fh on 70h, NMI left enabled afterwards
    EXPECT_EQ(tool.rows()[0x3F].hex, "5A");
    EXPECT_EQ(tool.rows()[0x3F].bits, "01011010");
    EXPECT_EQ(Port70(), 0x7Fu);  // the dump's own last index, masked
    tool.size256 = false;
    tool.offset = "E";
    tool.data = "FF";
    tool.Write();
    EXPECT_EQ(Port70(), 0x7Fu);
    EXPECT_EQ(tool.rows()[0x0E].hex, "FF");
    EXPECT_TRUE(log_.events.empty());
}

TEST_F(PortToolsTest, CmosWriteChecksFieldsAndReportsRefusals) {
    CmosTool tool(session_->client(), log_);
    tool.offset = "100";
    tool.Write();
    tool.offset = "";
    tool.Write();
    tool.offset = "0E";
    tool.data = "1FF";
    tool.Write();
    tool.data = "0x";
    tool.Write();
    EXPECT_EQ(log_.events, (std::vector<std::string>{"msg:Input CMOS Offset Error!", "focus:offset",
                                                     "msg:Input CMOS Offset Error!", "focus:offset",
                                                     "msg:Input CMOS Value Error!", "focus:data",
                                                     "msg:Input CMOS Value Error!", "focus:data"}));
    EXPECT_TRUE(tool.rows().empty());  // no write, no dump

    Start("intel-desktop", true);  // a daemon that refuses writes
    CmosTool refused(session_->client(), log_);
    log_.events.clear();
    refused.offset = "E";
    refused.data = "1";
    refused.Write();
    EXPECT_EQ(log_.events, (std::vector<std::string>{"msg:Error! CMOS write failed!"}));
    ASSERT_EQ(refused.rows().size(), 128u);  // dumped again: every index write refused
    EXPECT_EQ(refused.rows()[5].hex, "Failed");
    EXPECT_EQ(refused.rows()[5].bits, "Failed");
    EXPECT_EQ(refused.failedRequests(), 128u);
    StringReport r;
    refused.WriteReport(r.stream());
    EXPECT_NE(r.str().find("              05          Failed          Failed\r\n"),
              std::string::npos);
}

TEST_F(PortToolsTest, CmosReportIsWrittenAlsoWhenEmpty) {
    CmosTool tool(session_->client(), log_);
    EXPECT_EQ(Report(tool),
              "========================= CMOS View Information==========================\r\n\r\n"
              "    Offset (Hex)      Data (Hex)   Data (Binary)\r\n");
    Start("via", false);
    CmosTool via(session_->client(), log_);
    via.SelectBank(2);
    EXPECT_EQ(via.rows()[0].hex, "5A");
    EXPECT_EQ(via.rows()[1].bits, "00000001");
}

}  // namespace
}  // namespace kvt
