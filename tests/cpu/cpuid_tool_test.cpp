// The CPUID tool: rows per range, processor choice, the selected row's text, clock and report.
#include "tools/cpu/cpuid_tool.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/report_stream.h"
#include "support/cpu_fixtures.h"
#include "tools/cpu/cpuid_decode.h"

namespace kvt {
namespace {

struct CpuidToolFixture : ::testing::Test {
    test::ScriptedProcessor platform;
    test::MsrSpaceTransport transport;
    VersionRecord version{6, 1, 0, kPlatformLinux, ""};
    DriverClient client{transport, [this] { return version; }};
    test::RecordedMessages messages;

    void Intel(uint32_t highestStandard, uint32_t highestExtended) {
        platform.SetVendor("GenuineIntel");
        platform.leaves[0].eax = highestStandard;
        platform.leaves[1] = {0x000906EA, 0x00100800, 0x7FFAFBBF, 0xBFEBFBFF};
        platform.leaves[0x80000000].eax = highestExtended;
    }
};

TEST_F(CpuidToolFixture, RowsOfAnIntelProcessor) {
    Intel(5, 0x80000008);
    CpuidTool tool(platform, client, messages);
    tool.Open(false);
    const auto& rows = tool.rows();
    ASSERT_EQ(rows.size(), 6u + 9u);
    EXPECT_EQ(rows[0].id, "Standard Function 0");
    EXPECT_EQ(rows[0].description, "Vendor Name");
    EXPECT_EQ(rows[0].value, "GenuineIntel");
    EXPECT_EQ(rows[1].description, "Processor Signature & Feature Flags");
    EXPECT_EQ(rows[2].description, "Cache and TLB Descriptors");
    EXPECT_EQ(rows[3].description, "Reserved");
    EXPECT_EQ(rows[4].description, "");
    EXPECT_EQ(rows[5].id, "Standard Function 5");
    EXPECT_EQ(rows[6].id, "Ex-Function 0x80000000");
    EXPECT_EQ(rows[6].description, "Maximum Extended Function");
    EXPECT_EQ(rows[6].value, "0x80000008");
    EXPECT_EQ(rows[14].id, "Ex-Function 0x80000008");
    EXPECT_EQ(rows[14].description, "Physical Address and Linear Address Size");
    EXPECT_EQ(rows[14].value, "");
    EXPECT_EQ(CpuidFunctionDescription(0x80000009), "Reserved");
    EXPECT_EQ(CpuidFunctionDescription(0x80000018), "Reserved");
    EXPECT_EQ(CpuidFunctionDescription(0x80000019), "");
    EXPECT_EQ(CpuidFunctionDescription(0x80000004), "Processor Name String");
    // Collected on processor 0 through the pinned worker; no text until a row is selected.
    for (const auto& c : platform.calls) EXPECT_EQ(c.processor, 0u);
    EXPECT_EQ(tool.registerText(), "");
    EXPECT_EQ(tool.processors(), std::vector<std::string>{"#0"});
    EXPECT_FALSE(tool.processorListEnabled());
}

TEST_F(CpuidToolFixture, TransmetaRowsAndUnrecognisedVendors) {
    platform.SetVendor("GenuineTMx86");
    platform.leaves[0].eax = 1;
    platform.leaves[0x80000000].eax = 0x80000006;
    platform.leaves[0x80860000].eax = 0x80860007;
    CpuidTool tool(platform, client, messages);
    tool.Open(false);
    const auto& rows = tool.rows();
    ASSERT_EQ(rows.size(), 2u + 7u + 8u);
    EXPECT_EQ(rows[0].value, "GenuineTMx86");
    EXPECT_EQ(rows[9].id, "TransMeta Function -2138701824");
    EXPECT_EQ(rows[9].description,
              "Maximum supported Transmeta function and Transmeta vendor ID string");
    EXPECT_EQ(rows[11].description, "Transmeta CMS informationn");
    EXPECT_EQ(rows[15].description, "Transmeta information string");
    EXPECT_EQ(rows[16].id, "TransMeta Function -2138701817");
    EXPECT_EQ(rows[16].description, "Current Transmeta processor information");
    EXPECT_EQ(rows[16].value, "");
    tool.SelectRow(16);
    EXPECT_EQ(tool.registerText(), DecodeCpuidFunction(tool.record(), 0x80860007));

    test::ScriptedProcessor via;
    via.leaves[0] = {1, 0x00414956, 0, 0};  // "VIA\0" in EBX
    via.leaves[0x80000000].eax = 0x80000001;
    CpuidTool viaTool(via, client, messages);
    viaTool.Open(false);
    ASSERT_EQ(viaTool.rows().size(), 4u);
    EXPECT_EQ(viaTool.rows()[0].value, "VIA");
    viaTool.SelectRow(2);
    EXPECT_EQ(viaTool.registerText(), "");
}

TEST_F(CpuidToolFixture, SelectingRowsAndProcessors) {
    Intel(3, 0x80000004);
    platform.processors = 3;
    CpuidTool tool(platform, client, messages);
    tool.Open(false);
    EXPECT_EQ(tool.processors(), (std::vector<std::string>{"#0", "#1", "#2"}));
    EXPECT_TRUE(tool.processorListEnabled());
    tool.SelectRow(1);
    EXPECT_EQ(tool.selectedRow(), 1);
    EXPECT_EQ(tool.registerText(), DecodeCpuidFunction(tool.record(), 1));
    tool.SelectRow(5);  // Ex-Function 0x80000001
    EXPECT_EQ(tool.registerText(), DecodeCpuidFunction(tool.record(), 0x80000001));

    // Processor 2 reports fewer functions: everything is collected again, there.
    platform.calls.clear();
    platform.leaves[0].eax = 1;
    tool.SelectProcessor(2, false);
    EXPECT_EQ(tool.selectedProcessor(), 2);
    ASSERT_FALSE(platform.calls.empty());
    for (const auto& c : platform.calls) EXPECT_EQ(c.processor, 2u);
    EXPECT_EQ(tool.rows().size(), 2u + 5u);
    EXPECT_EQ(tool.selectedRow(), -1);
}

TEST_F(CpuidToolFixture, ReportText) {
    Intel(1, 0x80000001);
    CpuidTool tool(platform, client, messages);
    tool.Open(false);
    StringReport report;
    tool.WriteReport(report.stream());
    auto crlf = [](std::string s) {
        std::string out;
        for (char c : s) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out;
    };
    std::string expected =
        "========================= CPUID Information==========================\r\n\r\n";
    const char* ids[] = {"             Standard Function 0\tVendor Name",
                         "             Standard Function 1\tProcessor Signature & Feature Flags",
                         "          Ex-Function 0x80000000\tMaximum Extended Function",
                         "          Ex-Function 0x80000001\tProcessor Info. and Ex-Feature Flags"};
    const uint32_t functions[] = {0, 1, 0x80000000, 0x80000001};
    for (int i = 0; i < 4; ++i) {
        expected += std::string(ids[i]) + "\r\n";
        expected += crlf(DecodeCpuidFunction(tool.record(), functions[i])) + "\r\n";
    }
    EXPECT_EQ(report.str(), expected);
}

TEST(ProcessorClock, MeasuresAgainstTheMonotonicClock) {
    test::ScriptedProcessor platform;
    platform.tscHz = 2993123456ull;
    ClockMeasurement m = MeasureProcessorClock(platform);
    ASSERT_TRUE(m.ok);
    EXPECT_NEAR(m.hz / platform.tscHz, 1.0, 0.01);
    EXPECT_EQ(FormatProcessorClock(2993123456.0), "2993.12  Mhz");
    EXPECT_EQ(FormatProcessorClock(800000000.0), "800.00   Mhz");

    platform.hasTsc = false;
    EXPECT_FALSE(MeasureProcessorClock(platform).ok);
    test::MsrSpaceTransport transport;
    DriverClient client{transport, [] { return VersionRecord{6, 1, 0, kPlatformLinux, ""}; }};
    test::RecordedMessages messages;
    platform.leaves[0] = {0, 0x756E6547, 0x6C65746E, 0x49656E69};
    CpuidTool tool(platform, client, messages);
    tool.Open(true);
    EXPECT_FALSE(tool.clockVisible());
    EXPECT_EQ(tool.rows().size(), 1u);  // the rest of the tool works
}

}  // namespace
}  // namespace kvt
