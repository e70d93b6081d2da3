// The request handler in-process against a simulated board: answer fields,
// write logging and the read-only mode.
#include "driver/handler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver/board/board.h"
#include "driver/wire.h"
#include "support/daemon.h"

namespace kvt::driver {
namespace {

constexpr uint32_t kAccessEdi = 0x3C5A17E2;
constexpr uint32_t kAccessEsi = 0xD0417B96;

DriverRequest Block() {
    DriverRequest block;
    std::memset(&block, 0, sizeof block);
    return block;
}

FrameHeader Header(uint32_t code, uint32_t payloadLength = 0, uint16_t flags = 0,
                   uint32_t processor = 0) {
    return FrameHeader{kFrameMagic, kFrameVersion, flags, code, processor, payloadLength};
}

class HandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        board_ = LoadBoardBackend(test::BoardProfile("intel-desktop"), &error);
        ASSERT_TRUE(board_) << error;
    }

    RequestHandler MakeHandler(bool readOnly) {
        HandlerOptions options;
        options.readOnly = readOnly;
        options.writeLogger = [this](const std::string& line) {
            log_.push_back(line);
            if (onLog_) onLog_(line);
            return !auditLost_;
        };
        return RequestHandler(*board_, options);
    }

    Answer Port(RequestHandler& handler, uint32_t code, uint32_t port, uint32_t value = 0) {
        DriverRequest block = Block();
        block.port = port;
        block.portWidth = 1;
        block.portValue = value;
        return handler.Handle(caller_, kNtDeviceName, Header(code), block, {});
    }

    uint8_t BoardPort(uint16_t port) {
        uint32_t value = 0;
        EXPECT_TRUE(board_->ReadPort(port, 1, value));
        return static_cast<uint8_t>(value);
    }

    std::unique_ptr<Backend> board_;
    Caller caller_{1234, 100, 4321};
    std::vector<std::string> log_;
    std::function<void(const std::string&)> onLog_;
    bool auditLost_ = false;  // the audit log accepts no line
};

TEST_F(HandlerTest, LogsEachWriteBeforeTheBoardSeesIt) {
    RequestHandler handler = MakeHandler(false);
    ASSERT_TRUE(Port(handler, kNtWritePort, 0x70, 0x22).success);
    ASSERT_TRUE(Port(handler, kNtWritePort, 0x71, 0x11).success);
    ASSERT_EQ(BoardPort(0x71), 0x11);

    // While the "writing" line is logged, the CMOS byte still holds its old
    // value.
    std::vector<uint8_t> seen;
    onLog_ = [&](const std::string&) { seen.push_back(BoardPort(0x71)); };
    log_.clear();
    ASSERT_TRUE(Port(handler, kNtWritePort, 0x71, 0xA5).success);
    ASSERT_EQ(log_.size(), 2u);
    EXPECT_EQ(log_[0],
              "uid=1234 pid=4321 WritePort port=0x0071 width=1 "
              "value=0x000000A5: writing");
    EXPECT_EQ(log_[1], "uid=1234 pid=4321 WritePort port=0x0071 width=1 value=0x000000A5: done");
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x11, 0xA5}));
    onLog_ = nullptr;

    // Every kind of write is logged with its target; reads are not.
    log_.clear();
    DriverRequest config = Block();
    config.configAddress = 0x80000004;
    uint32_t command = 0;
    ASSERT_TRUE(board_->ReadPciConfig(0x80000004, command));
    config.configValue = command;
    handler.Handle(caller_, kNtDeviceName, Header(kNtWritePciConfig), config, {});
    DriverRequest msr = Block();
    msr.ecx = 0x1A0;
    msr.edi = kAccessEdi;
    msr.esi = kAccessEsi;
    handler.Handle(caller_, kNtDeviceName, Header(kNtWriteMsr, 0, 0, 1), msr, {});
    DriverRequest memory = Block();
    memory.physicalAddress = 0x1000;
    memory.length = 4;
    uint8_t bytes[4] = {1, 2, 3, 4};
    handler.Handle(caller_, kNtDeviceName, Header(kNtWritePhysicalMemory, 4), memory, bytes);
    handler.Handle(caller_, kConsumerDeviceName, Header(kConsumerWriteMsr, 0, kFlagConsumerForm),
                   msr, {});
    Port(handler, kNtReadPort, 0x71);
    ASSERT_EQ(log_.size(), 8u);
    EXPECT_NE(log_[0].find("WritePciConfig address=0x80000004"), std::string::npos) << log_[0];
    EXPECT_NE(log_[2].find("WriteMsr processor=1 msr=0x000001A0"), std::string::npos) << log_[2];
    EXPECT_NE(log_[4].find("WritePhysicalMemory address=0x00001000 length=0x4"), std::string::npos)
        << log_[4];
    EXPECT_NE(log_[6].find("WriteMsr (consumer)"), std::string::npos) << log_[6];
}

TEST_F(HandlerTest, WriteMsrNeedsBothAccessWords) {
    RequestHandler handler = MakeHandler(false);
    for (auto [edi, esi] : {std::pair{kAccessEdi, 0u}, std::pair{0u, kAccessEsi},
                            std::pair{kAccessEdi ^ 1, kAccessEsi}}) {
        DriverRequest msr = Block();
        msr.ecx = 0x199;
        msr.eax = 0x77;
        msr.edi = edi;
        msr.esi = esi;
        EXPECT_FALSE(handler.Handle(caller_, kNtDeviceName, Header(kNtWriteMsr), msr, {}).success)
            << std::hex << edi << " " << esi;
    }
    EXPECT_TRUE(log_.empty());
}

TEST_F(HandlerTest, WritesThatCannotBeAuditedAreRefused) {
    RequestHandler handler = MakeHandler(false);
    Port(handler, kNtWritePort, 0x70, 0x24);
    Port(handler, kNtWritePort, 0x71, 0x5A);
    auditLost_ = true;
    EXPECT_FALSE(Port(handler, kNtWritePort, 0x71, 0xA5).success);
    EXPECT_EQ(BoardPort(0x71), 0x5A);
    EXPECT_TRUE(Port(handler, kNtReadPort, 0x71).success);
}

TEST_F(HandlerTest, ReadOnlyRefusesWritesAndLogsTheRefusal) {
    RequestHandler writer = MakeHandler(false);
    Port(writer, kNtWritePort, 0x70, 0x23);
    Port(writer, kNtWritePort, 0x71, 0x3C);
    RequestHandler handler = MakeHandler(true);
    log_.clear();
    EXPECT_FALSE(Port(handler, kNtWritePort, 0x71, 0xC3).success);
    EXPECT_FALSE(Port(handler, kExtDirectPortOut, 0x71, 0xC3).success);
    EXPECT_EQ(BoardPort(0x71), 0x3C);
    ASSERT_EQ(log_.size(), 2u);
    EXPECT_EQ(log_[0],
              "uid=1234 pid=4321 WritePort port=0x0071 width=1 "
              "value=0x000000C3: refused "
              "(read-only)");
    EXPECT_TRUE(Port(handler, kNtReadPort, 0x71).success);
    EXPECT_TRUE(Port(handler, kExtDirectPortIn, 0x71).success);
}

TEST_F(HandlerTest, FillsTheAnswerFields) {
    RequestHandler handler = MakeHandler(false);

    // The PCI list: the board's functions in its order, nothing left over from
    // the request.
    DriverRequest list = Block();
    std::memset(list.busList, 0xEE, sizeof list.busList);
    std::memset(list.devFnList, 0xEE, sizeof list.devFnList);
    Answer listed = handler.Handle(caller_, kNtDeviceName, Header(kNtListPciFunctions), list, {});
    std::vector<std::pair<uint8_t, uint8_t>> functions;
    ASSERT_TRUE(board_->ListPciFunctions(functions));
    ASSERT_TRUE(listed.success);
    ASSERT_EQ(listed.block.functionCount, functions.size());
    for (size_t i = 0; i < functions.size(); ++i) {
        EXPECT_EQ(listed.block.busList[i], functions[i].first);
        EXPECT_EQ(listed.block.devFnList[i], functions[i].second);
    }
    for (size_t i = functions.size(); i < 256; ++i) EXPECT_EQ(listed.block.busList[i], 0);

    // An absent function reads all ones and succeeds.
    DriverRequest config = Block();
    config.configAddress = 0x80FFF800;
    Answer absent = handler.Handle(caller_, kNtDeviceName, Header(kNtReadPciConfig), config, {});
    EXPECT_TRUE(absent.success);
    EXPECT_EQ(absent.block.configValue, 0xFFFFFFFFu);

    // MSRs: eax/edx of the value; an MSR the board refuses is a refused request.
    DriverRequest msr = Block();
    msr.ecx = 0x10;
    Answer tsc = handler.Handle(caller_, kNtDeviceName, Header(kNtReadMsr), msr, {});
    uint64_t value = 0;
    if (board_->ReadMsr(0, 0x10, value)) {
        EXPECT_TRUE(tsc.success);
        EXPECT_TRUE(tsc.block.eax != 0 || tsc.block.edx != 0);
    }
    msr.ecx = 0xDEADBEEF;
    EXPECT_FALSE(handler.Handle(caller_, kNtDeviceName, Header(kNtReadMsr), msr, {}).success);

    // CPUID and platform information from the board's tables.
    DriverRequest cpuid = Block();
    Answer leaf0 = handler.Handle(caller_, kNtDeviceName, Header(kExtCpuid), cpuid, {});
    CpuidResult expected;
    ASSERT_TRUE(board_->Cpuid(0, 0, 0, expected));
    EXPECT_TRUE(leaf0.success);
    EXPECT_EQ(leaf0.block.ebx, expected.ebx);
    EXPECT_EQ(leaf0.block.edx, expected.edx);
    EXPECT_EQ(leaf0.block.ecx, expected.ecx);
    Answer info = handler.Handle(caller_, kNtDeviceName, Header(kExtPlatformInfo), Block(), {});
    EXPECT_TRUE(info.success);
    PlatformFacts facts;
    ASSERT_TRUE(DecodePlatformFacts(info.payload, facts));
    EXPECT_EQ(facts.processors, board_->ProcessorCount());

    // A memory read answers exactly its length.
    DriverRequest memory = Block();
    memory.physicalAddress = 0xF0000;
    memory.length = 0x10000;
    Answer read = handler.Handle(caller_, kNtDeviceName, Header(kNtReadPhysicalMemory), memory, {});
    EXPECT_TRUE(read.success);
    EXPECT_EQ(read.payload.size(), 0x10000u);

    // A payload that disagrees with the header is refused.
    uint8_t extra[4] = {};
    EXPECT_FALSE(
        handler.Handle(caller_, kNtDeviceName, Header(kNtReadPort, 8), Block(), extra).success);
}

TEST_F(HandlerTest, StatusNamesTheBackendAndStopEndsTheDaemon) {
    RequestHandler handler = MakeHandler(false);
    Answer status = handler.Handle(caller_, kNtDeviceName, Header(kExtStatus), Block(), {});
    ASSERT_TRUE(status.success);
    std::string text(status.payload.begin(), status.payload.end());
    EXPECT_EQ(text.rfind(board_->Name() + "\n", 0), 0u) << text;
    for (const std::string& line : board_->StatusLines())
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    EXPECT_FALSE(handler.stopRequested());
    // Only root or the daemon's own user may end it.
    EXPECT_FALSE(handler.Handle(caller_, kNtDeviceName, Header(kExtStop), Block(), {}).success);
    EXPECT_FALSE(handler.stopRequested());
    Caller self{geteuid(), getegid(), 1};
    EXPECT_TRUE(handler.Handle(self, kNtDeviceName, Header(kExtStop), Block(), {}).success);
    EXPECT_TRUE(handler.stopRequested());
}

TEST(FrameParserTest, SplitsFramesAsTheyArrive) {
    DriverRequest block = Block();
    block.port = 0x71;
    std::vector<uint8_t> payload = {9, 8, 7};
    std::vector<uint8_t> frame = test::MakeFrame(kNtWritePhysicalMemory, block, 0, 2, payload);
    ParsedFrame parsed;
    size_t needed = 0;
    for (size_t have = 0; have < frame.size(); ++have) {
        ASSERT_EQ(ParseRequestFrame(std::span(frame).first(have), parsed, needed),
                  ParseStatus::NeedMore);
        EXPECT_EQ(needed, have < sizeof(FrameHeader) ? kRequestPrefixSize : frame.size());
    }
    ASSERT_EQ(ParseRequestFrame(frame, parsed, needed), ParseStatus::Complete);
    EXPECT_EQ(parsed.header.processor, 2u);
    EXPECT_EQ(parsed.request.port, 0x71u);
    EXPECT_EQ(std::vector<uint8_t>(parsed.payload.begin(), parsed.payload.end()), payload);

    frame.push_back(0);  // one request per connection: nothing may follow
    EXPECT_EQ(ParseRequestFrame(frame, parsed, needed), ParseStatus::Malformed);
    frame.pop_back();
    FrameError error;
    frame[0] ^= 1;
    EXPECT_EQ(ParseRequestFrame(std::span(frame).first(20), parsed, needed, &error),
              ParseStatus::Malformed);
    EXPECT_EQ(error, FrameError::BadMagic);
}

}  // namespace
}  // namespace kvt::driver

namespace kvt::driver {
namespace {

TEST_F(HandlerTest, KernelDriverRequestChecksTheFunctionAddress) {
    RequestHandler handler = MakeHandler(true);
    auto ask = [&](uint32_t address) {
        DriverRequest block = Block();
        block.configAddress = address;
        return handler.Handle(caller_, kNtDeviceName, Header(kExtKernelDriver), block, {});
    };
    Answer smbus = ask(0x8000FB00);  // 00:1F.3: no driver declared on the board
    EXPECT_TRUE(smbus.success);
    EXPECT_TRUE(smbus.payload.empty());
    EXPECT_FALSE(ask(0x0000FB00).success);  // not a configuration address
    EXPECT_FALSE(ask(0x8000FB20).success);  // a register, not a function
    EXPECT_FALSE(ask(0x807F0000).success);  // no function 7F:00.0
}

TEST_F(HandlerTest, KernelSmbusRequestChecksEveryFieldAndLogsWrites) {
    std::ifstream in(test::BoardProfile("intel-desktop"));
    nlohmann::json p = nlohmann::json::parse(in);
    p["smbus"][0]["kernel_driver"] = "i801_smbus";
    p["smbus"][0]["i2c_dev"] = true;
    std::string error;
    board_ = LoadBoardBackendFromText(p.dump(), "kernel.json", &error);
    ASSERT_TRUE(board_) << error;
    for (bool readOnly : {false, true}) {
        RequestHandler handler = MakeHandler(readOnly);
        auto ask = [&](auto change) {
            DriverRequest block = Block();
            block.configAddress = 0x8000FB00, block.port = 0x400;
            block.ecx = kSmbusOpReadByte, block.edx = 0x50, block.esi = 2;
            change(block);
            return handler.Handle(caller_, kNtDeviceName, Header(kExtSmbusKernel), block, {});
        };
        Answer read = ask([](DriverRequest&) {});
        ASSERT_TRUE(read.success);
        EXPECT_EQ(read.block.eax, 0u);
        EXPECT_EQ(read.block.portValue, 0x08u);  // the SPD's memory type
        EXPECT_FALSE(ask([](DriverRequest& b) { b.edx = 0x80; }).success);
        EXPECT_FALSE(ask([](DriverRequest& b) { b.ecx = 8; }).success);
        EXPECT_FALSE(ask([](DriverRequest& b) { b.esi = 0x100; }).success);
        EXPECT_FALSE(ask([](DriverRequest& b) { b.port = 0x10000; }).success);
        EXPECT_FALSE(ask([](DriverRequest& b) { b.configAddress = 0x8000FB20; }).success);
        EXPECT_FALSE(
            ask([](DriverRequest& b) { b.ecx = kSmbusOpWriteBlock, b.length = 33; }).success);
        EXPECT_FALSE(
            ask([](DriverRequest& b) { b.ecx = kSmbusOpWriteBlock, b.length = 0; }).success);
        log_.clear();
        Answer write = ask([](DriverRequest& b) { b.ecx = kSmbusOpWriteByte, b.edx = 0x57; });
        EXPECT_EQ(write.success, !readOnly);
        ASSERT_FALSE(log_.empty());
        EXPECT_NE(log_[0].find(readOnly ? "SmbusKernelWrite smbus function=00:1F.3 base=0x0400 "
                                          "slave=0x57 command=0x02: refused (read-only)"
                                        : "SmbusKernelWrite smbus function=00:1F.3 base=0x0400 "
                                          "slave=0x57 command=0x02: writing"),
                  std::string::npos)
            << log_[0];
        // Another base of the function has no adapter: the answer says why.
        Answer none = ask([](DriverRequest& b) { b.port = 0x500; });
        ASSERT_TRUE(none.success);
        EXPECT_EQ(none.block.eax, uint32_t(ENOENT));
        EXPECT_NE(std::string(none.payload.begin(), none.payload.end()).find("modprobe i2c-dev"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace kvt::driver
