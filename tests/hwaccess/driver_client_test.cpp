// The driver client's request blocks and its results for success, a device that cannot be
// opened and a refused request, in both protocol forms.
#include "hwaccess/driver_client.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <deque>

#include "hwaccess/request_failure.h"

namespace kvt {
namespace {

// Records every request and answers with a scripted outcome; on Ok it applies `answer` to the
// block and hands over `payload`.
class RecordingTransport : public DriverTransport {
  public:
    struct Sent {
        std::string device;
        uint32_t code;
        bool consumer;
        alignas(8) DriverRequest block;
        std::vector<uint8_t> payloadOut;
    };
    TransportResult outcome = TransportResult::Ok;
    std::function<void(DriverRequest&)> answer = [](DriverRequest&) {};
    std::vector<uint8_t> payload;
    std::vector<Sent> sent;

    TransportStatus Call(const TransportCall& call, DriverRequest& block) override {
        sent.push_back({call.device,
                        call.code,
                        call.consumerForm,
                        block,
                        {call.payloadOut.begin(), call.payloadOut.end()}});
        if (outcome != TransportResult::Ok) return outcome;
        answer(block);
        if (call.payloadIn) *call.payloadIn = payload;
        return TransportResult::Ok;
    }
};

struct ClientFixture : ::testing::Test {
    RecordingTransport transport;
    int versionAsked = 0;
    DriverClient client{transport, [this] {
                            ++versionAsked;
                            return VersionRecord{6, 1, 0, kPlatformLinux, ""};
                        }};
    DriverClient consumer{transport, [] {
                              return VersionRecord{4, 10, 2222, kPlatformWindows, " A "};
                          }};
};

TEST(DriverRequestLayout, EveryFieldAtItsOffset) {
    EXPECT_EQ(sizeof(DriverRequest), 580u);
    EXPECT_EQ(offsetof(DriverRequest, eax), 0u);
    EXPECT_EQ(offsetof(DriverRequest, ebx), 4u);
    EXPECT_EQ(offsetof(DriverRequest, ecx), 8u);
    EXPECT_EQ(offsetof(DriverRequest, edx), 12u);
    EXPECT_EQ(offsetof(DriverRequest, edi), 16u);
    EXPECT_EQ(offsetof(DriverRequest, esi), 20u);
    EXPECT_EQ(offsetof(DriverRequest, port), 24u);
    EXPECT_EQ(offsetof(DriverRequest, portValue), 28u);
    EXPECT_EQ(offsetof(DriverRequest, portWidth), 32u);
    EXPECT_EQ(offsetof(DriverRequest, busList), 36u);
    EXPECT_EQ(offsetof(DriverRequest, devFnList), 292u);
    EXPECT_EQ(offsetof(DriverRequest, functionCount), 548u);
    EXPECT_EQ(offsetof(DriverRequest, configAddress), 552u);
    EXPECT_EQ(offsetof(DriverRequest, configValue), 556u);
    EXPECT_EQ(offsetof(DriverRequest, length), 560u);
    EXPECT_EQ(offsetof(DriverRequest, physicalAddress), 564u);
    EXPECT_EQ(offsetof(DriverRequest, bufferAddress), 572u);
    // Little-endian on the wire: the MSR number's low byte is byte 8.
    DriverRequest block{};
    block.ecx = 0x11223344;
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&block)[8], 0x44);
}

TEST(DriverRequestCodes, NtCodesAreControlCodesOfTheirFunctions) {
    const uint32_t codes[] = {kNtReadPhysicalMemory, kNtWritePhysicalMemory,
                              kNtListPciFunctions,   kNtReadMsr,
                              kNtWriteMsr,           kNtReadPort,
                              kNtWritePort,          kNtReadPciConfig,
                              kNtWritePciConfig};
    for (uint32_t i = 0; i < 9; ++i) EXPECT_EQ(codes[i], NtControlCode(0xB88 + i)) << i;
    EXPECT_EQ(SignExtend32(0xE0000000), 0xFFFFFFFFE0000000ull);
    EXPECT_EQ(SignExtend32(0x7FFFFFFF), 0x000000007FFFFFFFull);
}

TEST(OsKind, ClassificationOrder) {
    EXPECT_EQ(ClassifyOsKind({5, 2, 0, 99, ""}), OsKindWin2003);  // before the platform
    EXPECT_EQ(ClassifyOsKind({5, 2, 0, kPlatformWindows, ""}), OsKindWin2003);
    EXPECT_EQ(ClassifyOsKind({5, 0, 0, kPlatformNt, ""}), OsKindWin2000);
    EXPECT_EQ(ClassifyOsKind({5, 1, 0, kPlatformNt, ""}), OsKindWinXp);
    EXPECT_EQ(ClassifyOsKind({4, 0, 0, kPlatformNt, ""}), OsKindOther);
    EXPECT_EQ(ClassifyOsKind({6, 0, 0, kPlatformNt, ""}), OsKindOther);
    EXPECT_EQ(ClassifyOsKind({4, 90, 0, kPlatformWindows, ""}), OsKindWinMe);
    EXPECT_EQ(ClassifyOsKind({4, 10, 0, kPlatformWindows, ""}), OsKindWin9x);
    EXPECT_EQ(ClassifyOsKind({6, 1, 0, kPlatformLinux, ""}), OsKindOther);
    EXPECT_TRUE(ConsumerWindows(OsKindWin9x));
    EXPECT_TRUE(ConsumerWindows(OsKindWinMe));
    EXPECT_FALSE(ConsumerWindows(OsKindWin2003));
    EXPECT_FALSE(ConsumerWindows(OsKindOther));
}

TEST_F(ClientFixture, PortRequestsFillTheirFieldsAndPassTheWidthUnchanged) {
    transport.answer = [](DriverRequest& b) { b.portValue = 0x1234ABFF; };
    uint32_t value = 0;
    EXPECT_EQ(client.ReadPort(0x80, value, 1), 1);
    EXPECT_EQ(value & 0xFF, 0xFFu);
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0].device, "Korvanta");
    EXPECT_EQ(transport.sent[0].code, kNtReadPort);
    EXPECT_FALSE(transport.sent[0].consumer);
    EXPECT_EQ(transport.sent[0].block.port, 0x80u);
    EXPECT_EQ(transport.sent[0].block.portWidth, 1u);

    EXPECT_EQ(client.WritePort(0xCF8, 0x80000000, 3), 1);  // width 3 goes to the driver
    EXPECT_EQ(transport.sent[1].code, kNtWritePort);
    EXPECT_EQ(transport.sent[1].block.portWidth, 3u);
    EXPECT_EQ(transport.sent[1].block.portValue, 0x80000000u);
}

TEST_F(ClientFixture, FailuresReturnZeroAndLeaveOutputsUnchanged) {
    for (TransportResult outcome : {TransportResult::OpenFailed, TransportResult::RequestFailed}) {
        transport.outcome = outcome;
        uint32_t value = 0x5A5A5A5A;
        EXPECT_EQ(client.ReadPort(0x80, value, 1), 0);
        EXPECT_EQ(client.WritePort(0x80, 1, 1), 0);
        EXPECT_EQ(client.ReadPciConfig(0x80000000, value), 0);
        EXPECT_EQ(client.WritePciConfig(0x80000000, 1), 0);
        EXPECT_EQ(value, 0x5A5A5A5Au);
        uint8_t bus[256], devFn[256];
        std::memset(bus, 0xEE, sizeof bus);
        std::memset(devFn, 0xEE, sizeof devFn);
        EXPECT_EQ(client.ListPciFunctions(bus, devFn), 0u);
        EXPECT_EQ(bus[0], 0xEE);
        EXPECT_EQ(devFn[0], 0xEE);
        uint8_t buffer[16];
        std::memset(buffer, 0xC3, sizeof buffer);
        EXPECT_EQ(client.ReadPhysicalMemory(0xF0000, buffer, sizeof buffer), 0);
        EXPECT_EQ(buffer[0], 0xC3);
        EXPECT_EQ(buffer[15], 0xC3);
        EXPECT_EQ(client.WritePhysicalMemory(0xF0000, buffer, sizeof buffer), 0);
        EXPECT_EQ(client.WriteMsrNt(0x10, 1, 2, 3, 4), 0);
        EXPECT_EQ(client.WriteMsrConsumer(0x10, 1, 2, 3, 4), 0);
    }
}

TEST_F(ClientFixture, MsrResultsDifferByKindOfFailure) {
    transport.answer = [](DriverRequest& b) {
        b.eax = 0x89ABCDEF;
        b.edx = 0x01234567;
    };
    EXPECT_EQ(client.ReadMsrNt(0x1B), 0x0123456789ABCDEFull);
    EXPECT_EQ(transport.sent.back().block.ecx, 0x1Bu);
    EXPECT_EQ(client.ReadMsrConsumer(0x1B), 0x0123456789ABCDEFull);
    EXPECT_EQ(transport.sent.back().device, "korvavxd.vxd");
    EXPECT_EQ(transport.sent.back().code, kConsumerReadMsr);
    EXPECT_TRUE(transport.sent.back().consumer);

    transport.outcome = TransportResult::OpenFailed;
    EXPECT_EQ(client.ReadMsrNt(0x1B), 0u);
    EXPECT_EQ(client.ReadMsrConsumer(0x1B), 0x00000000FFFFFFFFull);
    transport.outcome = TransportResult::RequestFailed;
    EXPECT_EQ(client.ReadMsrNt(0x1B), 0xFFFFFFFFFFFFFFFFull);
    // The consumer form does not look at the request's success: the block as it stands.
    EXPECT_EQ(client.ReadMsrConsumer(0x1B), 0u);
}

TEST_F(ClientFixture, WriteMsrSendsFixedAccessWordsOnlyInTheNtForm) {
    EXPECT_EQ(client.WriteMsrNt(0x1A0, 0xAAAA, 0xBBBB, 1, 2), 1);
    const DriverRequest& nt = transport.sent.back().block;
    EXPECT_EQ(transport.sent.back().code, kNtWriteMsr);
    EXPECT_EQ(nt.ecx, 0x1A0u);
    EXPECT_EQ(nt.eax, 0xAAAAu);
    EXPECT_EQ(nt.edx, 0xBBBBu);
    EXPECT_EQ(nt.edi, 0x3C5A17E2u);
    EXPECT_EQ(nt.esi, 0xD0417B96u);

    EXPECT_EQ(client.WriteMsrConsumer(0x1A0, 0xAAAA, 0xBBBB, 1, 2), 1);
    const RecordingTransport::Sent& consumer = transport.sent.back();
    EXPECT_EQ(consumer.code, kConsumerWriteMsr);
    EXPECT_EQ(consumer.device, "korvavxd.vxd");
    EXPECT_EQ(consumer.block.edi, 1u);
    EXPECT_EQ(consumer.block.esi, 2u);
}

TEST_F(ClientFixture, PhysicalMemoryRequestsSignExtendAndCarryTheBytes) {
    uint8_t buffer[8] = {};
    transport.payload = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(client.ReadPhysicalMemory(0xE0000000, buffer, 8), 1);
    const DriverRequest& read = transport.sent.back().block;
    EXPECT_EQ(transport.sent.back().code, kNtReadPhysicalMemory);
    EXPECT_EQ(uint64_t{read.physicalAddress}, 0xFFFFFFFFE0000000ull);
    EXPECT_EQ(read.length, 8u);
    EXPECT_EQ(uint64_t{read.bufferAddress}, reinterpret_cast<uintptr_t>(buffer));
    EXPECT_EQ(buffer[7], 8);

    // A short answer does not reach the caller's buffer.
    transport.payload = {9, 9, 9};
    EXPECT_EQ(client.ReadPhysicalMemory(0x1000, buffer, 8), 0);
    EXPECT_EQ(buffer[0], 1);

    const uint8_t bytes[3] = {0xDE, 0xAD, 0x01};
    EXPECT_EQ(client.WritePhysicalMemory(0x7FFFF000, bytes, 3), 1);
    EXPECT_EQ(transport.sent.back().code, kNtWritePhysicalMemory);
    EXPECT_EQ(uint64_t{transport.sent.back().block.physicalAddress}, 0x7FFFF000ull);
    EXPECT_EQ(transport.sent.back().payloadOut, std::vector<uint8_t>(bytes, bytes + 3));

    transport.payload = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(consumer.ReadPhysicalMemory(0x80000000, buffer, 8), 1);
    EXPECT_EQ(transport.sent.back().device, "korvavxd.vxd");
    EXPECT_EQ(transport.sent.back().code, kConsumerReadPhysicalMemory);
    EXPECT_EQ(uint64_t{transport.sent.back().block.physicalAddress}, 0xFFFFFFFF80000000ull);
    EXPECT_EQ(consumer.WritePhysicalMemory(0x1000, bytes, 3), 1);
    EXPECT_EQ(transport.sent.back().code, kConsumerWritePhysicalMemory);
    // The version record chose the form once for all these requests.
    EXPECT_EQ(versionAsked, 1);
}

TEST_F(ClientFixture, PciListTakesTheDriversOrderAndCount) {
    transport.answer = [](DriverRequest& b) {
        b.functionCount = 3;
        const uint8_t buses[] = {0, 2, 1};
        const uint8_t devFns[] = {0x00, 0xF9, 0x08};
        std::memcpy(b.busList, buses, 3);
        std::memcpy(b.devFnList, devFns, 3);
    };
    uint8_t bus[256] = {}, devFn[256] = {};
    ASSERT_EQ(client.ListPciFunctions(bus, devFn), 3u);
    EXPECT_EQ(bus[1], 2);
    EXPECT_EQ(devFn[1], 0xF9);
    EXPECT_EQ(bus[2], 1);
    // A count past the lists' 256 entries is held to 256.
    transport.answer = [](DriverRequest& b) { b.functionCount = 100000; };
    EXPECT_EQ(client.ListPciFunctions(bus, devFn), 256u);
}

TEST_F(ClientFixture, ConsumerFormReachesPortsAndConfigurationThroughPortInstructions) {
    transport.answer = [](DriverRequest& b) { b.portValue = 0x8086ABCD; };
    uint32_t value = 0;
    EXPECT_EQ(consumer.ReadPort(0x71, value, 3), 0);
    EXPECT_EQ(consumer.WritePort(0x70, 0x0A, 3), 0);
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_EQ(consumer.ReadPort(0x71, value, 1), 1);
    EXPECT_EQ(value, 0x8086ABCDu);
    EXPECT_EQ(consumer.WritePort(0x70, 0x0A, 1), 1);
    EXPECT_EQ(consumer.ReadPciConfig(0x80000800, value), 1);
    EXPECT_EQ(consumer.WritePciConfig(0x80000804, 7), 1);
    std::vector<std::string> log;
    for (const auto& sent : transport.sent) {
        EXPECT_EQ(sent.device, "Korvanta");
        log.push_back((sent.code == kExtDirectPortIn ? "in " : "out ") +
                      std::to_string(sent.block.port) + " " + std::to_string(sent.block.portValue) +
                      " " + std::to_string(sent.block.portWidth));
    }
    const std::vector<std::string> expected = {
        "in 113 0 1",  "out 112 10 1",          "out 3320 2147485696 4",
        "in 3324 0 4", "out 3320 2147485700 4", "out 3324 7 4"};
    EXPECT_EQ(log, expected);
    EXPECT_TRUE(consumer.TryReadPort(0x71, 1).served());
    uint8_t bus[256], devFn[256];
    EXPECT_EQ(consumer.ListPciFunctions(bus, devFn), 0u);  // a bus scan's business

    // A refused instruction reads all ones and is not served, whatever the form returns.
    transport.outcome = TransportResult::RequestFailed;
    EXPECT_EQ(consumer.ReadPort(0x71, value, 2), 1);
    EXPECT_EQ(value, 0xFFFFu);
    Reply<uint32_t> refused = consumer.TryReadPort(0x71, 2);
    EXPECT_FALSE(refused.served());
    EXPECT_EQ(refused.value, 0xFFFFu);
    EXPECT_EQ(refused.failure, TransportFailure::Refused);
    EXPECT_EQ(consumer.ReadPciConfig(0x80000800, value), 1);
    EXPECT_FALSE(consumer.TryReadPciConfig(0x80000800).served());
    EXPECT_FALSE(consumer.TryWritePciConfig(0x80000800, 1).served());
}

}  // namespace
}  // namespace kvt

namespace kvt {
namespace {

// Answers each port read with the port's number times 3, and refuses port 81h.
class PortTransport : public RecordingTransport {
  public:
    TransportStatus Call(const TransportCall& call, DriverRequest& block) override {
        RecordingTransport::Call(call, block);
        if (block.port == 0x81) return TransportResult::RequestFailed;
        block.portValue = block.port * 3u;
        return TransportResult::Ok;
    }
};

TEST(PortReadBatch, EachReadGetsItsOwnResultInOrderInEitherForm) {
    PortTransport transport;
    DriverClient nt(transport, [] { return VersionRecord{6, 1, 0, kPlatformLinux, ""}; });
    DriverClient consumer(transport, [] {
        return VersionRecord{4, 10, 2222, kPlatformWindows, " A "};
    });
    for (DriverClient* client : {&nt, &consumer}) {
        transport.sent.clear();
        std::vector<DriverClient::PortRead> reads = {{0x80, 1}, {0x81, 2, 0xAB}, {0x82, 4}};
        RequestStatus batch = client->ReadPortBatch(reads);
        ASSERT_EQ(transport.sent.size(), 3u);
        const uint32_t code = client == &nt ? uint32_t{kNtReadPort} : uint32_t{kExtDirectPortIn};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(transport.sent[i].code, code);
            EXPECT_EQ(transport.sent[i].block.port, reads[i].port);
            EXPECT_EQ(transport.sent[i].block.portWidth, reads[i].width);
        }
        EXPECT_TRUE(reads[0].served);
        EXPECT_EQ(reads[0].value, 0x180u);
        EXPECT_FALSE(reads[1].served);
        EXPECT_EQ(reads[1].value, 0xABu);  // no value invented for a refused read
        EXPECT_EQ(reads[1].failure, TransportFailure::Refused);
        EXPECT_EQ(reads[2].value, 0x186u);
        EXPECT_FALSE(batch.served());
        EXPECT_EQ(batch.failure, TransportFailure::Refused);
    }
}

TEST(ExchangeRunner, CancelledRequestsAreNotSentAndSaySo) {
    PortTransport transport;
    DriverClient client(transport, [] { return VersionRecord{6, 1, 0, kPlatformLinux, ""}; });
    int ran = 0;
    bool cancel = false;
    client.SetExchangeRunner([&](const std::function<void()>& exchange) {
        if (cancel) return false;
        ++ran;
        exchange();
        return true;
    });
    uint32_t value = 0;
    Reply<uint32_t> read = client.TryReadPort(0x80, 1);
    EXPECT_TRUE(read.served());
    EXPECT_EQ(read.value, 0x180u);
    cancel = true;
    value = 7;
    EXPECT_EQ(client.ReadPort(0x80, value, 1), 0);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(client.TryReadPort(0x80, 1).failure, TransportFailure::Cancelled);
    std::vector<DriverClient::PortRead> reads = {{0x80, 1}, {0x82, 1}};
    client.ReadPortBatch(reads);
    EXPECT_FALSE(reads[0].served || reads[1].served);
    EXPECT_EQ(reads[1].failure, TransportFailure::Cancelled);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(transport.sent.size(), 1u);
}

TEST(RequestFailure, ARefusalOfMissingAccessGivesTheBackendsReason) {
    DriverCapabilities caps;
    caps.ports.available = true;
    caps.msr.detail = "unavailable: /dev/cpu/0/msr missing: load the msr module (modprobe msr)";
    EXPECT_EQ(DescribeRequestFailure(TransportFailure::Refused, AccessKind::Msr, &caps),
              "MSRs: unavailable: /dev/cpu/0/msr missing: load the msr module (modprobe msr)");
    EXPECT_EQ(DescribeRequestFailure(TransportFailure::Refused, AccessKind::Ports, &caps)
                  .rfind("the daemon refused the request", 0),
              0u);
    EXPECT_EQ(DescribeRequestFailure(TransportFailure::TimedOut, AccessKind::Msr, &caps),
              DescribeFailure(TransportFailure::TimedOut));
    const std::vector<std::string> missing = UnavailableAccess(caps);
    ASSERT_EQ(missing.size(), 4u);  // all but the ports
    EXPECT_EQ(missing[0], "PCI configuration: unavailable");
    EXPECT_EQ(missing[3].rfind("MSRs: unavailable: /dev/cpu/0/msr", 0), 0u);
}

}  // namespace
}  // namespace kvt
