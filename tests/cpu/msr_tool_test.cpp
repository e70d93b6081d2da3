// The MSR tool's actions, messages, enable rules, values and report.
#include "tools/cpu/msr_tool.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/report_stream.h"
#include "support/cpu_fixtures.h"

namespace kvt {
namespace {

using test::RecordedMessages;
using test::TempFolder;

struct MsrToolFixture : ::testing::Test {
    test::ScriptedProcessor platform;
    test::MsrSpaceTransport transport;
    VersionRecord version{6, 1, 0, kPlatformLinux, ""};
    DriverClient client{transport, [this] { return version; }};
    RecordedMessages messages;
    MsrTool tool{platform, client, messages};

    void SetUp() override {
        platform.processors = 4;
        transport.values[{0, 0x10}] = 0x0000001234567890ull;
        transport.values[{2, 0x10}] = 0x00000022AABBCCDDull;
        transport.values[{0, 0x1B}] = 0x00000000FEE00900ull;
        transport.refused.insert(0xC0DE);
        tool.Open();
    }
};

TEST_F(MsrToolFixture, OpeningState) {
    EXPECT_EQ(tool.processors(), (std::vector<std::string>{"#0", "#1", "#2", "#3"}));
    EXPECT_TRUE(tool.processorListEnabled());
    EXPECT_FALSE(tool.removeEnabled());
    EXPECT_FALSE(tool.saveEnabled());
    EXPECT_EQ(tool.writeCaption(), "Write Access");
    EXPECT_EQ(tool.targetMsr(), 0u);

    test::ScriptedProcessor single;
    MsrTool one(single, client, messages);
    one.Open();
    EXPECT_EQ(one.processors(), std::vector<std::string>{"#0"});
    EXPECT_FALSE(one.processorListEnabled());
}

TEST_F(MsrToolFixture, AddReadsAllValuesOnTheSelectedProcessor) {
    uint32_t msr = 0;
    for (const char* good : {"1b", "0000001B", "1B", "FFFFFFFF"}) {
        EXPECT_TRUE(tool.ValidateAddDialog(good, msr)) << good;
    }
    EXPECT_TRUE(messages.messages.empty());
    for (const char* bad : {"", "0x1B", "123456789", "1G", " 1B"}) {
        EXPECT_FALSE(tool.ValidateAddDialog(bad, msr)) << bad;
    }
    EXPECT_EQ(messages.messages, std::vector<std::string>(5, "ERROR! Invalid MSR!"));
    EXPECT_EQ(messages.focus, std::vector<std::string>(5, MsrTool::kFieldAddMsr));
    messages.Clear();

    ASSERT_TRUE(tool.Add("10", "Time-stamp counter of this processor, long text"));
    EXPECT_EQ(tool.list().entries[0].description, "Time-stamp counter of this proc");  // 31
    EXPECT_TRUE(tool.saveEnabled());
    tool.SelectProcessor(2);
    ASSERT_TRUE(tool.Add("C0DE", "refused"));
    ASSERT_EQ(tool.rows().size(), 2u);
    // Every entry was read again, on processor 2.
    EXPECT_EQ(tool.rows()[0].msr, "00000010");
    EXPECT_EQ(tool.rows()[0].eax, "AABBCCDD");
    EXPECT_EQ(tool.rows()[0].edx, "00000022");
    EXPECT_EQ(tool.rows()[1].eax, "N/A");
    EXPECT_EQ(tool.rows()[1].edx, "N/A");
    EXPECT_TRUE(tool.rows()[1].failed);
    EXPECT_EQ(tool.rows()[1].failure, TransportFailure::Refused);
    EXPECT_FALSE(tool.rows()[0].failed);
    EXPECT_EQ(tool.list().entries[1].status, -1);
    EXPECT_EQ(tool.list().entries[0].status, 0);
    for (const auto& r : transport.requests) EXPECT_EQ(r.code, kNtReadMsr);
    EXPECT_EQ(transport.requests.back().processor, 2u);
    EXPECT_EQ(transport.requests.size(), 3u);  // 1 read for the first add, 2 for the second
    EXPECT_TRUE(messages.messages.empty());

    // Changing the processor alone reads nothing; Refresh reads there.
    tool.SelectProcessor(0);
    EXPECT_EQ(transport.requests.size(), 3u);
    tool.Refresh();
    EXPECT_EQ(tool.rows()[0].eax, "34567890");
    EXPECT_EQ(transport.requests.back().processor, 0u);
}

TEST_F(MsrToolFixture, ConsumerFamilyReadsAndWritesUnpinned) {
    version = {4, 90, 3000, kPlatformWindows, ""};
    tool.Add("1B", "APIC");
    ASSERT_FALSE(transport.requests.empty());
    EXPECT_TRUE(transport.requests.back().consumer);
    EXPECT_EQ(transport.requests.back().code, static_cast<uint32_t>(kConsumerReadMsr));
    tool.SelectRow(0);
    tool.ediText = "1";
    tool.esiText = "2";
    EXPECT_TRUE(tool.Write());
    EXPECT_EQ(transport.requests.back().code, static_cast<uint32_t>(kConsumerWriteMsr));
    EXPECT_EQ(transport.requests.back().edi, 1u);
    EXPECT_EQ(transport.requests.back().esi, 2u);
}

TEST_F(MsrToolFixture, SelectRemoveAndClearAll) {
    tool.Add("10", "TSC");
    tool.Add("1B", "APIC");
    tool.Add("C0DE", "refused");
    tool.Remove();
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Error! No items were selected!\n"});
    messages.Clear();

    tool.SelectRow(1);
    EXPECT_TRUE(tool.removeEnabled());
    EXPECT_EQ(tool.eaxText, "FEE00900");
    EXPECT_EQ(tool.edxText, "00000000");
    EXPECT_EQ(tool.targetMsr(), 0x1Bu);
    EXPECT_EQ(tool.writeCaption(), "Write Access MSR (ECX) = 0000001B");

    tool.Remove();
    ASSERT_EQ(tool.rows().size(), 2u);
    EXPECT_EQ(tool.rows()[1].description, "refused");  // later entries move up
    EXPECT_EQ(tool.list().count(), 2u);
    tool.SelectRow(0);
    tool.Remove();
    tool.SelectRow(0);
    tool.Remove();
    EXPECT_TRUE(tool.rows().empty());
    EXPECT_FALSE(tool.saveEnabled());
    EXPECT_TRUE(messages.messages.empty());

    tool.Add("10", "TSC");
    tool.SelectRow(0);
    tool.esiText = "5";
    tool.ClearAll();
    EXPECT_TRUE(tool.list().entries.empty());
    EXPECT_EQ(tool.eaxText + tool.edxText + tool.esiText + tool.ediText, "");
    EXPECT_FALSE(tool.saveEnabled());
    EXPECT_FALSE(tool.removeEnabled());
    EXPECT_EQ(tool.targetMsr(), 0u);
    EXPECT_EQ(tool.writeCaption(), "Write Access MSR (ECX) = 00000010");  // keeps its text
}

TEST_F(MsrToolFixture, WriteChecksFieldsInOrder) {
    struct Case {
        const char *eax, *edx, *edi, *esi, *message, *focus;
    };
    const Case cases[] = {
        {"1", "", "", "", "Error!  Input EDX error!", "EDX"},
        {"", "1", "", "", "Error!  Input EAX error!", "EAX"},
        {"", "", "", "", "Error!  Input EDX error!", "EDX"},  // only the first is reported
        {"1", "123456789", "", "", "Error!  Input EDX error!", "EDX"},
        {"0x1", "1", "", "", "Error!  Input EAX error!", "EAX"},
        {"1", "1", "g", "", "Error!  Input EDI error!", "EDI"},
        {"1", "1", "", "123456789", "Error!  Input ESI error!", "ESI"},
    };
    for (const Case& c : cases) {
        messages.Clear();
        tool.eaxText = c.eax;
        tool.edxText = c.edx;
        tool.ediText = c.edi;
        tool.esiText = c.esi;
        EXPECT_FALSE(tool.Write()) << c.message;
        EXPECT_EQ(messages.messages, std::vector<std::string>{c.message});
        EXPECT_EQ(messages.focus, std::vector<std::string>{c.focus});
    }
    EXPECT_TRUE(transport.requests.empty());

    // Before any row was selected the target is MSR 0; EDI and ESI may stay empty.
    messages.Clear();
    tool.SelectProcessor(3);
    tool.eaxText = "deadBEEF";
    tool.edxText = "1";
    tool.ediText = tool.esiText = "";
    EXPECT_TRUE(tool.Write());
    EXPECT_TRUE(messages.messages.empty());
    ASSERT_EQ(transport.requests.size(), 1u);
    const auto& w = transport.requests[0];
    EXPECT_EQ(w.code, kNtWriteMsr);
    EXPECT_EQ(w.msr, 0u);
    EXPECT_EQ(w.processor, 3u);
    EXPECT_EQ(w.value, 0x00000001DEADBEEFull);
    EXPECT_EQ(w.edi, kWriteMsrAccessWordEdi);
    EXPECT_EQ(w.esi, kWriteMsrAccessWordEsi);
    EXPECT_EQ((transport.values[{3, 0}]), 0x00000001DEADBEEFull);

    // A refused write and a missing driver both report the failure; no values are re-read.
    tool.Add("C0DE", "refused");
    tool.SelectRow(0);
    size_t before = transport.requests.size();
    EXPECT_FALSE(tool.Write());
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Error!  Write MSR failed"});
    EXPECT_EQ(transport.requests.size(), before + 1);
    transport.noDevice = true;
    messages.Clear();
    EXPECT_FALSE(tool.Write());
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Error!  Write MSR failed"});
}

TEST_F(MsrToolFixture, ListFilesThroughTheTool) {
    TempFolder dir;
    EXPECT_FALSE(tool.BeginSave());
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Error!  Nothing to save!"});
    messages.Clear();

    TempFolder::WriteFile(dir.Path("in.msr"), "#MSR\t\tDescription\n10h\tTSC\n1B\tAPIC\n");
    ASSERT_TRUE(tool.LoadFile(dir.Path("in.msr")));
    EXPECT_TRUE(tool.saveEnabled());
    ASSERT_EQ(tool.rows().size(), 2u);
    EXPECT_EQ(tool.rows()[1].eax, "FEE00900");
    ASSERT_TRUE(tool.BeginSave());
    ASSERT_TRUE(tool.SaveFile(dir.Path("out.msr")));
    EXPECT_EQ(TempFolder::ReadFile(dir.Path("out.msr")),
              "#MSR\t\tDescription\r\n10\t\tTSC\r\n1B\t\tAPIC");
    EXPECT_FALSE(tool.LoadFile(dir.Path("missing.msr")));
    EXPECT_EQ(tool.rows().size(), 2u);

    // A full list refuses Add before any dialog.
    std::string many;
    for (int i = 0; i < 1024; ++i) many += std::to_string(i) + " d\n";
    TempFolder::WriteFile(dir.Path("full.msr"), many);
    messages.Clear();
    ASSERT_TRUE(tool.LoadFile(dir.Path("full.msr")));
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_FALSE(tool.BeginAdd());
    EXPECT_FALSE(tool.Add("10", "x"));
    EXPECT_EQ(messages.messages,
              std::vector<std::string>(
                  2, "Error! Too many MSRs in file.  Only First 1024 MSRs will be loaded!"));
    EXPECT_EQ(tool.list().count(), 1024u);
}

TEST_F(MsrToolFixture, ReportText) {
    tool.Add("10", "TSC");
    tool.Add("C0DE", "refused");
    StringReport report;
    tool.WriteReport(report.stream());
    EXPECT_EQ(report.str(),
              "========================= MSR Information==========================\r\n\r\n"
              "   MSR (ECX)         EAX         EDX\tDescription\r\n"
              "    00000010    34567890    00000012\tTSC\r\n"
              "    0000C0DE         N/A         N/A\trefused\r\n");
}

}  // namespace
}  // namespace kvt
