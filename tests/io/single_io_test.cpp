// Single I/O Access against a private board daemon: reads and writes through the real
// driver client, the input rules with their messages and focus moves, the history rows,
// the timer and the report bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "hwaccess/session.h"
#include "platform/report_stream.h"
#include "support/daemon.h"
#include "tools/io/single_io_tool.h"

namespace kvt {
namespace {

// Messages, focus moves and timer changes in the order they happen.
struct EventLog : UserMessages, TimerControl {
    std::vector<std::string> events;
    void ShowMessage(std::string_view text) override {
        events.push_back("msg:" + std::string(text));
    }
    void SetFocus(std::string_view field) override {
        events.push_back("focus:" + std::string(field));
    }
    void StartTimer(int ms) override { events.push_back("start:" + std::to_string(ms)); }
    void StopTimer() override { events.push_back("stop"); }
};

class SingleIoTest : public ::testing::Test {
  protected:
    void SetUp() override { StartDaemon(false); }

    void StartDaemon(bool readOnly) {
        daemon_ = std::make_unique<test::PrivateDaemon>();
        test::DaemonOptions options;
        options.board = test::BoardProfile("intel-desktop");
        options.readOnly = readOnly;
        std::string error;
        ASSERT_TRUE(daemon_->Start(options, &error)) << error;
        setenv("KORVANTA_RUNTIME_DIR", daemon_->runtimeDir().c_str(), 1);
        session_ = HardwareSession::Create(options.board, &error);
        ASSERT_TRUE(session_) << error;
        ASSERT_TRUE(session_->LoadDriver(&error)) << error;
        tool_ = std::make_unique<SingleIoTool>(session_->client(), log_, &log_);
    }

    std::unique_ptr<test::PrivateDaemon> daemon_;
    std::unique_ptr<HardwareSession> session_;
    EventLog log_;
    std::unique_ptr<SingleIoTool> tool_;
};

TEST_F(SingleIoTest, IndexReadOfCmosReturnsTheBoardsByteAndFillsTheRow) {
    // CMOS byte 2Fh of the board's first bank is C3h.
    tool_->indexPort = "70";
    tool_->dataPort = "71";
    tool_->offset = "2f";
    EXPECT_EQ(tool_->IndexRead(), 0);
    EXPECT_EQ(tool_->indexData, "C3");
    ASSERT_EQ(tool_->indexHistory().size(), 1u);
    const auto& row = tool_->indexHistory()[0];
    EXPECT_EQ(row.indexPort, "70");
    EXPECT_EQ(row.dataPort, "71");
    EXPECT_EQ(row.offset, "2f");  // as typed
    EXPECT_EQ(row.rw, "R");
    EXPECT_EQ(row.data, "C3");
    EXPECT_EQ(row.width, "Byte");
    EXPECT_TRUE(log_.events.empty());

    // The same byte directly: select it through port 70h, then read port 71h.
    tool_->port = "70";
    tool_->portData = "2E";
    tool_->DirectWrite();
    tool_->port = "71";
    EXPECT_EQ(tool_->DirectRead(), 0);
    EXPECT_EQ(tool_->portData, "02");
    ASSERT_EQ(tool_->directHistory().size(), 2u);
    EXPECT_EQ(tool_->directHistory()[0].data, "02");  // newest on top
    EXPECT_EQ(tool_->directHistory()[1].rw, "W");
    EXPECT_EQ(tool_->directHistory()[1].data, "2E");
}

TEST_F(SingleIoTest, DWordCaseDiffersBetweenDirectAndIndexReads) {
    // An unclaimed port reads all ones.
    tool_->directWidth = kWidthDWord;
    tool_->port = "300";
    EXPECT_EQ(tool_->DirectRead(), 0);
    EXPECT_EQ(tool_->portData, "ffffffff");
    EXPECT_EQ(tool_->directHistory()[0].width, "DWord");

    tool_->directWidth = kWidthWord;
    EXPECT_EQ(tool_->DirectRead(), 0);
    EXPECT_EQ(tool_->portData, "FFFF");

    tool_->indexWidth = kWidthDWord;
    tool_->indexPort = "300";
    tool_->dataPort = "304";
    tool_->offset = "0";
    EXPECT_EQ(tool_->IndexRead(), 0);
    EXPECT_EQ(tool_->indexData, "FFFFFFFF");
}

TEST_F(SingleIoTest, IndexWriteStoresTheByteAndReadsBack) {
    tool_->indexPort = "70";
    tool_->dataPort = "71";
    tool_->offset = "40";
    tool_->indexData = "5a";
    tool_->IndexWrite();
    EXPECT_TRUE(log_.events.empty());
    ASSERT_EQ(tool_->indexHistory().size(), 1u);
    EXPECT_EQ(tool_->indexHistory()[0].rw, "W");
    EXPECT_EQ(tool_->indexHistory()[0].data, "5a");  // as typed
    tool_->indexData.clear();
    EXPECT_EQ(tool_->IndexRead(), 0);
    EXPECT_EQ(tool_->indexData, "5A");
}

TEST_F(SingleIoTest, RefusedEntriesKeepTheRowBegunAndNameTheField) {
    // Index read: an empty data port leaves a row with only the index port.
    tool_->indexPort = "70";
    EXPECT_EQ(tool_->IndexRead(), 2);
    ASSERT_EQ(tool_->indexHistory().size(), 1u);
    EXPECT_EQ(tool_->indexHistory()[0].indexPort, "70");
    EXPECT_EQ(tool_->indexHistory()[0].dataPort, "");
    EXPECT_EQ(log_.events, std::vector<std::string>{"focus:dataPort"});

    // The codes of the offset field; a three-digit offset is fine for single access.
    tool_->dataPort = "71";
    tool_->offset = "x";
    EXPECT_EQ(tool_->IndexRead(), 4);
    tool_->offset = "";
    EXPECT_EQ(tool_->IndexRead(), 5);
    tool_->offset = "100";
    EXPECT_EQ(tool_->IndexRead(), 0);

    // An empty index port begins no row at all.
    const size_t rows = tool_->indexHistory().size();
    tool_->indexPort = "";
    log_.events.clear();
    tool_->IndexReadClicked();
    EXPECT_EQ(tool_->indexHistory().size(), rows);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"focus:indexPort",
                                                     "msg:Error! Please provide port address!"}));

    // Index write: width Byte with four data digits writes nothing but keeps the row.
    tool_->indexPort = "70";
    tool_->offset = "41";
    tool_->indexData = "1234";
    log_.events.clear();
    tool_->IndexWrite();
    EXPECT_EQ(log_.events,
              std::vector<std::string>{
                  "msg:Error! Input data length does not match selected access width!"});
    const auto& row = tool_->indexHistory()[0];
    EXPECT_EQ(row.indexPort, "70");
    EXPECT_EQ(row.dataPort, "71");
    EXPECT_EQ(row.offset, "41");
    EXPECT_EQ(row.rw, "");
    tool_->indexData.clear();
    EXPECT_EQ(tool_->IndexRead(), 0);
    EXPECT_EQ(tool_->indexData, "00");  // CMOS byte 41h kept its value

    // Index write data checks focus the data field.
    log_.events.clear();
    tool_->indexData = "12345678G";
    tool_->IndexWrite();
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{"msg:Error! Data is invalid!", "focus:indexData"}));
    log_.events.clear();
    tool_->indexData = "123456789";
    tool_->IndexWrite();
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{"msg:Error! Data is too long!", "focus:indexData"}));
}

TEST_F(SingleIoTest, DirectWriteChecksDataByWidthWithoutMovingFocus) {
    tool_->port = "";
    tool_->DirectWrite();
    tool_->port = "8g";
    tool_->DirectWrite();
    tool_->port = "80";
    tool_->portData = "";
    tool_->DirectWrite();
    tool_->portData = "1FF";  // Byte
    tool_->DirectWrite();
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{
                  "msg:Error! Please provide port address!", "msg:Error! Port address is invalid!",
                  "msg:Error! Please provide port data!", "msg:Error! Port data is too long!"}));
    EXPECT_TRUE(tool_->directHistory().empty());

    // Word data "1" is written as 0001h: at port 70h that selects CMOS byte 1 (low byte) and
    // stores 00h into it (high byte, port 71h).
    tool_->indexPort = "70";
    tool_->dataPort = "71";
    tool_->offset = "1";
    tool_->indexData = "77";
    tool_->IndexWrite();
    tool_->directWidth = kWidthWord;
    tool_->port = "70";
    tool_->portData = "1";
    tool_->DirectWrite();
    ASSERT_EQ(tool_->directHistory().size(), 1u);
    EXPECT_EQ(tool_->directHistory()[0].data, "1");
    EXPECT_EQ(tool_->directHistory()[0].width, "Word");
    EXPECT_EQ(tool_->IndexRead(), 0);
    EXPECT_EQ(tool_->indexData, "00");
}

TEST_F(SingleIoTest, FailedRequestsShowTheFailureMarkerInsteadOfAValue) {
    tool_->port = "71";
    tool_->portData = "keep";
    tool_->indexPort = "70";
    tool_->dataPort = "71";
    tool_->offset = "2f";
    tool_->indexData = "keep";
    ASSERT_TRUE(daemon_->Stop());  // the driver is gone: every request fails

    EXPECT_EQ(tool_->DirectRead(), 0);
    EXPECT_EQ(tool_->directHistory()[0].data, "Failed");
    EXPECT_EQ(tool_->directHistory()[0].rw, "R");
    EXPECT_EQ(tool_->portData, "keep");
    EXPECT_EQ(tool_->IndexRead(), 0);
    EXPECT_EQ(tool_->indexHistory()[0].data, "Failed");
    EXPECT_EQ(tool_->indexData, "keep");
    tool_->portData = "12";
    tool_->DirectWrite();
    EXPECT_EQ(tool_->directHistory()[0].rw, "W");
    EXPECT_EQ(tool_->directHistory()[0].data, "Failed");
    EXPECT_EQ(tool_->portData, "12");  // still there to try again
    EXPECT_TRUE(log_.events.empty());
}

TEST_F(SingleIoTest, ReadOnlyDriverRefusesTheIndexSelectOfARead) {
    StartDaemon(true);
    tool_->indexPort = "70";
    tool_->dataPort = "71";
    tool_->offset = "2f";
    EXPECT_EQ(tool_->IndexRead(), 0);
    EXPECT_EQ(tool_->indexHistory()[0].data, "Failed");
    EXPECT_EQ(tool_->indexData, "");
}

TEST_F(SingleIoTest, TimerReadsEachTickAndStopsBeforeAnInputMessage) {
    tool_->port = "71";
    tool_->ToggleTimer();
    EXPECT_TRUE(tool_->timerRunning());
    tool_->TimerTick();
    tool_->TimerTick();
    EXPECT_EQ(tool_->directHistory().size(), 2u);

    tool_->timerSource = SingleIoTool::TimerSource::IndexRead;
    tool_->indexPort = "70";
    tool_->dataPort = "71";
    tool_->offset = "2f";
    tool_->TimerTick();
    EXPECT_EQ(tool_->indexHistory().size(), 1u);
    tool_->ToggleTimer();
    EXPECT_FALSE(tool_->timerRunning());
    EXPECT_EQ(log_.events, (std::vector<std::string>{"start:1000", "stop"}));

    // An empty port at a tick: the timer stops first, then the message is shown once.
    log_.events.clear();
    tool_->timerSource = SingleIoTool::TimerSource::DirectRead;
    tool_->port = "";
    tool_->ToggleTimer();
    tool_->TimerTick();
    EXPECT_FALSE(tool_->timerRunning());
    EXPECT_EQ(log_.events, (std::vector<std::string>{"start:1000", "focus:port", "stop",
                                                     "msg:Error! Please provide port address!"}));
}

TEST_F(SingleIoTest, ReportBytes) {
    {
        StringReport report;
        tool_->WriteReport(report.stream());
        EXPECT_EQ(report.str(),
                  "========================= Single I/O Dump ==========================\r\n\r\n"
                  "Direct I/O:\r\n"
                  "      Port (Hex)      Read/Write      Data (Hex)           Width\r\n"
                  "\r\n"
                  "Index I/O:\r\n"
                  "      Index Port       Data Port          Offset      Read/Write"
                  "      Data (Hex)           Width\r\n");
    }
    tool_->port = "71";
    tool_->DirectRead();  // 71h reads the byte at CMOS index 0 after start: 30h
    tool_->indexPort = "70";
    tool_->dataPort = "71";
    tool_->offset = "2f";
    tool_->IndexRead();
    tool_->dataPort = "";
    tool_->IndexRead();  // refused: a row with the index port only
    StringReport report;
    tool_->WriteReport(report.stream());
    EXPECT_EQ(report.str(),
              "========================= Single I/O Dump ==========================\r\n\r\n"
              "Direct I/O:\r\n"
              "      Port (Hex)      Read/Write      Data (Hex)           Width\r\n"
              "              71               R              30            Byte\r\n"
              "\r\n"
              "Index I/O:\r\n"
              "      Index Port       Data Port          Offset      Read/Write"
              "      Data (Hex)           Width\r\n"
              "              70                                                "
              "                                \r\n"
              "              70              71              2f               R"
              "              C3            Byte\r\n");
}

}  // namespace
}  // namespace kvt
