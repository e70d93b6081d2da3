// MSR list files: the forms of entry lines, comments, the capacity, and saving.
#include "tools/cpu/msr_list.h"

#include <gtest/gtest.h>

#include <string>

#include "support/cpu_fixtures.h"

namespace kvt {
namespace {

using test::RecordedMessages;
using test::TempFolder;

MsrList Load(const std::string& text, RecordedMessages& messages) {
    TempFolder dir;
    std::string path = dir.Path("list.msr");
    TempFolder::WriteFile(path, text);
    MsrList list;
    EXPECT_TRUE(LoadMsrList(list, path, messages));
    return list;
}

TEST(MsrListFile, EntryLineForms) {
    RecordedMessages messages;
    MsrList list = Load(
        "#MSR\t\tDescription\n"
        "1Bh\tAPIC Base Address\n"
        "\n"
        "1B\tAPIC Base Address\n"
        " #10 indented\n"
        "C0000080h   EFER  \n"
        "174\t\tSYSENTER_CS\t\n"
        "10 lone-cr\rx\r\n"
        "10 1 x\n"
        "0x1B prefixed\n"
        "zz no digits\n"
        "277h",
        messages);
    EXPECT_TRUE(messages.messages.empty());
    ASSERT_EQ(list.count(), 10u);
    EXPECT_EQ(list.entries[0].msr, 0x1Bu);
    EXPECT_EQ(list.entries[0].description, "APIC Base Address");
    EXPECT_EQ(list.entries[1].msr, 0x1Bu);
    EXPECT_EQ(list.entries[1].description, "APIC Base Address");
    // A line starting with a blank is an entry, whatever its first visible character.
    EXPECT_EQ(list.entries[2].msr, 0u);
    EXPECT_EQ(list.entries[2].description, "indented");
    // Trailing blanks go, trailing tabs stay; CR LF reads as a line end, a lone CR stays.
    EXPECT_EQ(list.entries[3].msr, 0xC0000080u);
    EXPECT_EQ(list.entries[3].description, "EFER");
    EXPECT_EQ(list.entries[4].description, "SYSENTER_CS\t");
    EXPECT_EQ(list.entries[5].description, "lone-cr\rx");
    // The description starts at the second word, not where its text first occurs.
    EXPECT_EQ(list.entries[6].msr, 0x10u);
    EXPECT_EQ(list.entries[6].description, "1 x");
    EXPECT_EQ(list.entries[7].msr, 0x1Bu);
    EXPECT_EQ(list.entries[8].msr, 0u);
    EXPECT_EQ(list.entries[8].description, "no digits");
    EXPECT_EQ(list.entries[9].msr, 0x277u);  // last line without a line end
    EXPECT_EQ(list.entries[9].description, "");
}

TEST(MsrListFile, LongLinesAreCutNotSplit) {
    RecordedMessages messages;
    std::string longText(600, 'd');
    MsrList list = Load("10 " + longText + "\n1B APIC\n", messages);
    ASSERT_EQ(list.count(), 2u);
    EXPECT_EQ(list.entries[0].description, std::string(kMsrDescriptionMax, 'd'));
    EXPECT_EQ(list.entries[1].msr, 0x1Bu);
}

TEST(MsrListFile, CapacityOf1024) {
    std::string exact;
    for (int i = 0; i < 1024; ++i) exact += std::to_string(i) + "h MSR " + std::to_string(i) + "\n";
    RecordedMessages messages;
    MsrList list = Load(exact + "# a comment after the last entry\n\n", messages);
    EXPECT_EQ(list.count(), 1024u);
    EXPECT_TRUE(messages.messages.empty());  // nothing was left out

    list = Load(exact + "400h one too many\n401h two too many\n", messages);
    EXPECT_EQ(list.count(), 1024u);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0],
              "Error! Too many MSRs in file.  Only First 1024 MSRs will be loaded!");
    EXPECT_EQ(list.entries[1023].description, "MSR 1023");
}

TEST(MsrListFile, MissingFileLeavesTheList) {
    RecordedMessages messages;
    MsrList list;
    list.entries.push_back({0x10, "TSC"});
    EXPECT_FALSE(LoadMsrList(list, "/nonexistent/x.msr", messages));
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0], "ERROR!  /nonexistent/x.msr does not exist!");
    EXPECT_EQ(list.count(), 1u);
}

TEST(MsrListFile, SaveFormatAndRoundTrip) {
    TempFolder dir;
    RecordedMessages messages;
    MsrList list;
    EXPECT_FALSE(SaveMsrList(list, dir.Path("empty.msr"), messages));
    EXPECT_EQ(messages.messages.at(0), "Error!  Nothing to save!");
    EXPECT_TRUE(TempFolder::ReadFile(dir.Path("empty.msr")).empty());
    messages.Clear();

    list.entries.push_back({0x10, "TSC"});
    list.entries.push_back({0x1B, "APIC"});
    ASSERT_TRUE(SaveMsrList(list, dir.Path("two.msr"), messages));
    EXPECT_EQ(TempFolder::ReadFile(dir.Path("two.msr")),
              "#MSR\t\tDescription\r\n10\t\tTSC\r\n1B\t\tAPIC");

    EXPECT_FALSE(SaveMsrList(list, dir.Path("no/such/folder.msr"), messages));
    EXPECT_EQ(messages.messages.at(0), "Error! Open write file error!");
    messages.Clear();

    // Descriptions that contain the MSR word, tabs and carriage returns come back unchanged.
    MsrList many;
    many.entries.push_back({0x1B, "B"});
    many.entries.push_back({0xC0000080, "EFER\twith tab"});
    many.entries.push_back({0x10, "10 again"});
    many.entries.push_back({0x0, "zero"});
    ASSERT_TRUE(SaveMsrList(many, dir.Path("many.msr"), messages));
    MsrList back;
    ASSERT_TRUE(LoadMsrList(back, dir.Path("many.msr"), messages));
    ASSERT_EQ(back.count(), many.count());
    for (size_t i = 0; i < many.count(); ++i) {
        EXPECT_EQ(back.entries[i].msr, many.entries[i].msr) << i;
        EXPECT_EQ(back.entries[i].description, many.entries[i].description) << i;
    }
    EXPECT_TRUE(messages.messages.empty());
}

TEST(MsrListFile, ShippedListLoads) {
    RecordedMessages messages;
    MsrList list;
    ASSERT_TRUE(LoadMsrList(list, KORVANTA_SOURCE_DIR "/data/hwmsreg.msr", messages));
    EXPECT_TRUE(messages.messages.empty());
    ASSERT_GE(list.count(), 20u);
    bool tsc = false, apic = false, efer = false;
    for (const MsrEntry& e : list.entries) {
        tsc = tsc || (e.msr == 0x10 && e.description.rfind("TSC", 0) == 0);
        apic = apic || (e.msr == 0x1B && e.description.rfind("APIC_BASE", 0) == 0);
        efer = efer || (e.msr == 0xC0000080 && e.description.rfind("EFER", 0) == 0);
    }
    EXPECT_TRUE(tsc && apic && efer);
}

}  // namespace
}  // namespace kvt
