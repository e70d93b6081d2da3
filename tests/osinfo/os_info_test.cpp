// OS Info: the Windows version text on every branch, the Linux rows from injected uname and
// os-release facts, os-release parsing, and the report of a board's plain version record.
#include <gtest/gtest.h>

#include <string>

#include "platform/report_stream.h"
#include "tools/osinfo/os_info_tool.h"

namespace kvt {
namespace {

WindowsVersionInfo Nt(uint32_t major, uint32_t minor, uint32_t build, const char* csd,
                      uint32_t productType = 1, uint32_t suite = 0, uint32_t arch = kArchX86) {
    WindowsVersionInfo v;
    v.platformId = 2;
    v.majorVersion = major;
    v.minorVersion = minor;
    v.buildNumber = build;
    v.csdVersion = csd;
    v.extended = true;
    v.productType = productType;
    v.suiteMask = suite;
    v.architecture = arch;
    return v;
}

TEST(WindowsVersionText, NtProductsEditionsAndBuilds) {
    struct Case {
        WindowsVersionInfo info;
        const char* text;
    };
    WindowsVersionInfo r2 = Nt(5, 2, 3790, "", 3);
    r2.r2 = true;
    WindowsVersionInfo sp6a = Nt(4, 0, 1381, "service pack 6");
    sp6a.hotfixQ246009 = true;
    WindowsVersionInfo bigBuild = Nt(5, 1, 0x00012600, "");
    const Case cases[] = {
        {Nt(5, 1, 2600, "Service Pack 2"),
         "Microsoft Windows XP Professional Service Pack 2 (Build 2600)"},
        {Nt(5, 1, 2600, "", 1, kSuitePersonal), "Microsoft Windows XP Home Edition  (Build 2600)"},
        {Nt(6, 0, 6001, "Service Pack 1"),
         "Microsoft Windows Vista x86 Professional Service Pack 1 (Build 6001)"},
        {Nt(6, 0, 6001, "Service Pack 1", 1, 0, kArchX64),
         "Microsoft Windows Vista x64 Service Pack 1 (Build 6001)"},
        {Nt(6, 0, 6001, "", 3), "Windows Server \"Longhorn\" x86 Server 4.0  (Build 6001)"},
        {Nt(6, 1, 7600, ""), "Professional  (Build 7600)"},
        {Nt(7, 0, 1, "X"), "Professional X (Build 1)"},
        {r2, "Microsoft Windows Server 2003 \"R2\" Standard Edition  (Build 3790)"},
        {Nt(5, 2, 3790, "", 1, 0, kArchX64),
         "Microsoft Windows XP Professional x64 Edition  (Build 3790)"},
        {Nt(5, 2, 3790, "", 3, kSuiteDatacenter | kSuiteEnterprise, kArchItanium),
         "Microsoft Windows Server 2003, Datacenter Edition for Itanium-based Systems (Build "
         "3790)"},
        {Nt(5, 2, 3790, "", 3, kSuiteEnterprise, kArchItanium),
         "Microsoft Windows Server 2003, Enterprise Edition for Itanium-based Systems (Build "
         "3790)"},
        {Nt(5, 2, 3790, "", 3, 0, kArchItanium), "Microsoft Windows Server 2003,  (Build 3790)"},
        {Nt(5, 2, 3790, "", 2, kSuiteEnterprise, kArchX64),
         "Microsoft Windows Server 2003, Enterprise x64 Edition  (Build 3790)"},
        {Nt(5, 2, 3790, "", 3, 0, kArchX64),
         "Microsoft Windows Server 2003, Standard x64 Edition  (Build 3790)"},
        {Nt(5, 2, 3790, "", 3, kSuiteBlade),
         "Microsoft Windows Server 2003, Web Edition  (Build 3790)"},
        {Nt(5, 2, 3790, "", 3, kSuiteBlade | kSuiteEnterprise),
         "Microsoft Windows Server 2003, Enterprise Edition  (Build 3790)"},
        {Nt(5, 0, 2195, "", 3, kSuiteDatacenter),
         "Microsoft Windows 2000 Datacenter Server  (Build 2195)"},
        {Nt(5, 0, 2195, "", 2, kSuiteEnterprise),
         "Microsoft Windows 2000 Advanced Server  (Build 2195)"},
        {Nt(5, 0, 2195, "", 3), "Microsoft Windows 2000 Server  (Build 2195)"},
        {Nt(4, 0, 1381, "", 3, kSuiteEnterprise),
         "Microsoft Windows NT Server 4.0, Enterprise Edition  (Build 1381)"},
        {Nt(4, 0, 1381, ""), "Microsoft Windows NT Workstation 4.0  (Build 1381)"},
        {Nt(4, 0, 1381, "Service Pack 6"),
         "Microsoft Windows NT Workstation 4.0 Service Pack 6 (Build 1381)"},
        {sp6a, "Microsoft Windows NT Workstation 4.0 Service Pack 6a (Build 1381)"},
        {Nt(5, 1, 2600, "", 0), "Microsoft Windows XP  (Build 2600)"},
        {bigBuild, "Microsoft Windows XP Professional  (Build 9728)"},  // low 16 bits
    };
    for (const Case& c : cases) EXPECT_EQ(ComposeWindowsVersion(c.info), c.text);
}

TEST(WindowsVersionText, PlainRecordsAndTheOtherPlatforms) {
    WindowsVersionInfo v;
    v.platformId = 1;
    v.majorVersion = 4;
    const std::pair<uint32_t, const char*> consumer[] = {
        {0, "Microsoft Windows 95 "},
        {10, "Microsoft Windows 98 "},
        {90, "Microsoft Windows Millennium Edition"},
        {3, ""}};
    for (const auto& [minor, text] : consumer) {
        v.minorVersion = minor;
        for (const char* csd : {"", "A", " "}) {  // no second character to look at
            v.csdVersion = csd;
            EXPECT_EQ(ComposeWindowsVersion(v), text);
        }
    }
    v.minorVersion = 0;
    v.csdVersion = " C";
    EXPECT_EQ(ComposeWindowsVersion(v), "Microsoft Windows 95 OSR2 ");
    v.csdVersion = " B ";
    EXPECT_EQ(ComposeWindowsVersion(v), "Microsoft Windows 95 OSR2 ");
    v.minorVersion = 10;
    v.csdVersion = " A ";
    EXPECT_EQ(ComposeWindowsVersion(v), "Microsoft Windows 98 SE ");
    v.majorVersion = 5;
    EXPECT_EQ(ComposeWindowsVersion(v), "");
    v.platformId = 0;
    EXPECT_EQ(ComposeWindowsVersion(v), "Microsoft Win32s");
    v.platformId = 7;
    EXPECT_EQ(ComposeWindowsVersion(v), "");

    WindowsVersionInfo plain = Nt(4, 0, 1381, "Service Pack 3");
    plain.extended = false;
    EXPECT_EQ(ComposeWindowsVersion(plain), "Microsoft Windows NT 4.0 Service Pack 3 (Build 1381)");
    plain.registryProductType = "lanmannt";
    EXPECT_EQ(ComposeWindowsVersion(plain),
              "Microsoft Windows NT Server 4.0 Service Pack 3 (Build 1381)");
    plain.registryProductType = "SERVERNT";
    EXPECT_EQ(ComposeWindowsVersion(plain),
              "Microsoft Windows NT Advanced Server 4.0 Service Pack 3 (Build 1381)");
    plain.registryProductType = "WinNT";
    EXPECT_EQ(ComposeWindowsVersion(plain),
              "Microsoft Windows NT Workstation 4.0 Service Pack 3 (Build 1381)");
    EXPECT_EQ(WindowsOsRows(plain).size(), 6u);  // rows kept on the plain record
    EXPECT_EQ(WindowsOsRows(Nt(5, 1, 2600, "")).size(), 10u);
}

TEST(OsRelease, UnquotesAndSkipsWhatIsNotAnAssignment) {
    auto v = ParseOsRelease(
        "# comment\nNAME=\"Debian GNU/Linux\"\nID=debian\nVERSION_ID='12'\n"
        "PRETTY_NAME=\"A \\\"quoted\\\" \\$name\\\\\"\nBROKEN=\"unclosed\n  \nnot a line\n"
        "EMPTY=\n");
    EXPECT_EQ(v["NAME"], "Debian GNU/Linux");
    EXPECT_EQ(v["ID"], "debian");
    EXPECT_EQ(v["VERSION_ID"], "12");
    EXPECT_EQ(v["PRETTY_NAME"], "A \"quoted\" $name\\");
    EXPECT_EQ(v.count("BROKEN"), 0u);
    EXPECT_EQ(v["EMPTY"], "");
}

TEST(LinuxRows, ElevenRowsUnderTheirLabelsWithoutInventedValues) {
    LinuxSystemFacts f;
    f.sysname = "Linux";
    f.release = "6.8.0-45-generic";
    f.version = "#45-Ubuntu SMP";
    f.machine = "x86_64";
    f.kernel64 = true;
    f.osRelease = {{"PRETTY_NAME", "Ubuntu 24.04 LTS"}, {"ID", "ubuntu"}, {"VERSION_ID", "24.04"}};
    auto rows = LinuxOsRows(f, "lab7");
    std::vector<OsInfoRow> expected = {{"OS Version", "Ubuntu 24.04 LTS (Kernel 6.8.0-45-generic)"},
                                       {"Platform ID", "Linux"},
                                       {"Major Version", "6"},
                                       {"Minor Version", "8"},
                                       {"Build Number", "0"},
                                       {"Kernel Release", "6.8.0-45-generic"},
                                       {"Kernel Build", "#45-Ubuntu SMP"},
                                       {"Distribution", "ubuntu 24.04"},
                                       {"Architecture", "x86_64 (64-bit)"},
                                       {"Computer Name", "lab7"}};
    EXPECT_EQ(rows, expected);

    f.release = "5";
    f.machine = "i686";
    f.kernel64 = false;
    f.osRelease = {{"ID", "alpine"}};
    rows = LinuxOsRows(f, "");
    EXPECT_EQ(rows[0].second, "Linux (Kernel 5)");
    EXPECT_EQ(rows[2].second, "5");
    EXPECT_EQ(rows[3].second, "0");
    EXPECT_EQ(rows[4].second, "0");
    EXPECT_EQ(rows[7].second, "alpine");
    EXPECT_EQ(rows[8].second, "i686 (32-bit)");
    for (const auto& row : rows) EXPECT_EQ(row.second.find("Windows"), std::string::npos);
}

// A platform with a declared Windows 98 SE record, as a simulated board declares one.
class Win98Platform : public Platform {
  public:
    std::string ComputerName() override { return "BOARD"; }
    uint32_t ProcessorCount() override { return 1; }
    VersionRecord Version() override { return {4, 10, 2222, 1, " A "}; }
    CpuidRegisters Cpuid(uint32_t, uint32_t) override { return {}; }
    bool ReadTsc(uint64_t&) override { return false; }
    bool HasCpuid() override { return true; }
};

TEST(OsInfoTool, DeclaredRecordGivesSevenRowsAndTheReport) {
    Win98Platform platform;
    OsInfoTool tool(platform, [] { return LinuxSystemFacts{}; });
    tool.Open();
    StringReport r;
    tool.WriteReport(r.stream());
    EXPECT_EQ(r.str(),
              "========================= Operating System "
              "Information==========================\r\n\r\n"
              "               No. of Processors\t1\r\n"
              "                      OS Version\tMicrosoft Windows 98 SE \r\n"
              "                     Platform ID\t1\r\n"
              "                   Major Version\t4\r\n"
              "                   Minor Version\t10\r\n"
              "                    Build Number\t2222\r\n"
              "                     CSD Version\t A \r\n");
}

}  // namespace
}  // namespace kvt
