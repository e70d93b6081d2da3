// The description files: the lookups' rules, malformed files, the index against a
// line-by-line reader, and re-reading when a file changes.
#include "tools/pci/pci_desc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/format.h"
#include "support/pci_desc_reference.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;

class PciDescTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvt-pcidesc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Put(const char* name, const std::string& bytes) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
        // A new modification time for each write, so the index sees the change.
        struct timespec times[2] = {{0, UTIME_NOW}, {++stamp_, 0}};
        utimensat(AT_FDCWD, (dir_ + "/" + name).c_str(), times, 0);
    }
    std::string Path(const char* name) const { return dir_ + "/" + name; }

    std::string dir_;
    time_t stamp_ = 1000000;
};

TEST_F(PciDescTest, ClassLookupFirstMatchColumn15AndMissingFile) {
    PciDescriptions files(dir_);
    EXPECT_FALSE(files.LookupClassDescription(0x0C0500).found);  // no file: not found, no error
    Put(kPciClassFile,
        "# comment 0c0500 ffffff wrong\n"
        "ab\n"
        "0c0500 ffffff SMBus\n"
        "0c0000 ff0000 Serial bus controller\n"
        "010000 ff0000\n"
        "000000 000000 Anything\n"
        "0c0501 ffffff never: no line end");
    EXPECT_EQ(files.LookupClassDescription(0x0C0500).description, "SMBus");
    EXPECT_EQ(files.LookupClassDescription(0x0C0300).description, "Serial bus controller");
    ClassLookup shortLine = files.LookupClassDescription(0x010601);
    EXPECT_TRUE(shortLine.found);
    EXPECT_EQ(shortLine.description, "");  // a match without a description
    EXPECT_EQ(files.LookupClassDescription(0x123456).description, "Anything");  // mask 000000
    Put(kPciClassFile, "0c0500 ffffff SMBus\n");
    bool readError = false;
    ClassLookup none = files.LookupClassDescription(0x020000, &readError);
    EXPECT_TRUE(none.found);
    EXPECT_EQ(none.description, "");
    EXPECT_FALSE(readError);  // no match is no read error
}

TEST_F(PciDescTest, RegisterSectionsFollowTheFlagRule) {
    PciDescriptions files(dir_);
    EXPECT_FALSE(files.RegisterFileAvailable());
    Put(kRegisterDescriptionFile,
        "# comment\n"
        ";ID=29308086\n"
        "20 SMBus base\n"
        ";id=11112222\n"  // another device inside the open section closes nothing
        "40 Host configuration\n"
        ";IDEND\n"
        "44 outside any section\n"
        ";ID=99998888\n"
        "48 other device\n"
        ";IDEND\n"
        ";IDGLOBAL\n"
        "04 Command\n"
        "20 Global 20\n"
        "48 Global 48\n"
        "100 Extended\n");  // no ;IDEND: the section stays open
    EXPECT_TRUE(files.RegisterFileAvailable());
    EXPECT_EQ(files.LookupRegisterDescription(0x20, 0x29308086), "SMBus base");
    EXPECT_EQ(files.LookupRegisterDescription(0x40, 0x29308086), "Host configuration");
    EXPECT_EQ(files.LookupRegisterDescription(0x20, 0x12345678), "Global 20");
    EXPECT_EQ(files.LookupRegisterDescription(0x48, 0x12345678), "Global 48");
    EXPECT_EQ(files.LookupRegisterDescription(0x04, 0), "Command");
    EXPECT_EQ(files.LookupRegisterDescription(0x100, 0), " Extended");  // separator in column 4
    EXPECT_EQ(files.LookupRegisterDescription(0x44, 0x29308086), "PCI device specific");
    EXPECT_EQ(files.LookupRegisterDescription(0x40, 0x11112222), "Host configuration");
}

TEST_F(PciDescTest, NamesFromIdFile) {
    PciDescriptions files(dir_);
    EXPECT_EQ(files.LookupVendorName(0x8086), "");
    Put(kPciIdFile,
        "DID 1234 device before any vendor\n"
        "VID 10de NVIDIA Corporation\n"
        "DID 0052 CK804 SMBus\n"
        "vid=8086 Intel Corporation\n"
        "did 2930 82801I SMBus Controller\n"
        "DID 2930 second line of the same ID\n"
        "VID 1234 1234 Vendor named by its digits\n"
        "VID ffff\n"               // no name: takes part in no match
        "VID 1ffffffff Too big\n"  // over 32 bits
        "VID 5555 Last vendor");   // no line end: ignored
    EXPECT_EQ(files.LookupVendorName(0x8086), "Intel Corporation");
    EXPECT_EQ(files.LookupVendorName(0x1234), "1234 1234 Vendor named by its digits");
    EXPECT_EQ(files.LookupDeviceName(0x8086, 0x2930), "82801I SMBus Controller");
    EXPECT_EQ(files.LookupDeviceName(0x8086, 0x0052), "");  // only under another vendor
    EXPECT_EQ(files.LookupDeviceName(0x10DE, 0x0052), "CK804 SMBus");
    EXPECT_EQ(files.LookupVendorName(0xFFFF), "");
    EXPECT_EQ(files.LookupVendorName(0x5555), "");
}

// Files written with CR LF line ends give the same texts as with LF alone.
TEST_F(PciDescTest, CrLfLineEndsAreOneLineEnd) {
    PciDescriptions files(dir_);
    Put(kPciIdFile, "VID 8086 Intel Corporation\r\nDID 2930 SMBus Controller\r\n");
    Put(kPciClassFile, "0C0500 FFFF00 SMBus\r\n");
    Put(kRegisterDescriptionFile, ";IDGLOBAL\r\n00 Vendor ID\r\n;IDEND\r\n");
    EXPECT_EQ(files.LookupVendorName(0x8086), "Intel Corporation");
    EXPECT_EQ(files.LookupDeviceName(0x8086, 0x2930), "SMBus Controller");
    EXPECT_EQ(files.LookupClassDescription(0x0C0500).description, "SMBus");
    EXPECT_EQ(files.LookupRegisterDescription(0, 0x29308086), "Vendor ID");
    EXPECT_EQ(test::ReferenceVendorName(Path(kPciIdFile), 0x8086), "Intel Corporation");
}

// A large name list is kept in the cache folder: a later process finds the same names in it,
// a changed list is not answered from the old cache, and a damaged cache file is made again.
TEST_F(PciDescTest, NamesCacheAnswersAsTheListDoes) {
    const std::string cacheHome = dir_ + "/cache";
    fs::create_directory(cacheHome);
    const char* oldHome = std::getenv("XDG_CACHE_HOME");
    const std::string saved = oldHome != nullptr ? oldHome : "";
    setenv("XDG_CACHE_HOME", cacheHome.c_str(), 1);
    std::string list = "VID 0001 first\nDID 0002 early\n";
    for (int v = 0x1000; v < 0x1800; ++v) {
        list += Format("VID %04x Vendor %d\nDID 0001 Device of %d\nDID 0001 again\n", v, v, v);
    }
    list += "VID 0001 second block\nDID 0003 not found\n";
    Put(kPciIdFile, list);
    auto check = [&](PciDescriptions& files) {
        for (uint32_t v : {0x0001u, 0x1000u, 0x17FFu, 0x1800u, 0x0u}) {
            EXPECT_EQ(files.LookupVendorName(v), test::ReferenceVendorName(Path(kPciIdFile), v));
            for (uint32_t d : {1u, 2u, 3u}) {
                EXPECT_EQ(files.LookupDeviceName(v, d),
                          test::ReferenceDeviceName(Path(kPciIdFile), v, d));
            }
        }
    };
    PciDescriptions files(dir_);
    check(files);  // parsed; the cache file is made
    std::vector<fs::path> made;
    for (const auto& entry : fs::directory_iterator(cacheHome + "/korvanta")) made.push_back(entry);
    ASSERT_EQ(made.size(), 1u);
    // Another path to the same list finds the cache: a name changed in the cache file (same
    // length) shows that the list was not parsed again.
    {
        std::fstream cache(made[0], std::ios::in | std::ios::out | std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(cache)), {});
        const size_t at = bytes.find("Vendor 4096");
        ASSERT_NE(at, std::string::npos);
        cache.seekp(static_cast<std::streamoff>(at));
        cache << "Cached 4096";
    }
    PciDescriptions again(dir_ + "/.");
    EXPECT_EQ(again.LookupVendorName(0x1000), "Cached 4096");
    EXPECT_EQ(again.LookupDeviceName(0x1000, 1), "Device of 4096");
    Put(kPciIdFile, list + "VID 1900 Added later\n");
    EXPECT_EQ(files.LookupVendorName(0x1900), "Added later");
    std::ofstream(made[0], std::ios::binary | std::ios::trunc) << "damaged";
    Put(kPciIdFile, list);
    check(files);
    EXPECT_GT(fs::file_size(made[0]), 1000u);
    if (oldHome != nullptr) {
        setenv("XDG_CACHE_HOME", saved.c_str(), 1);
    } else {
        unsetenv("XDG_CACHE_HOME");
    }
}

TEST_F(PciDescTest, IndexFollowsChangesOfTheFile) {
    PciDescriptions files(dir_);
    Put(kPciIdFile, "VID 8086 Old name\n");
    EXPECT_EQ(files.LookupVendorName(0x8086), "Old name");
    Put(kPciIdFile, "VID 8086 New, longer name\n");
    EXPECT_EQ(files.LookupVendorName(0x8086), "New, longer name");
    fs::remove(Path(kPciIdFile));
    EXPECT_EQ(files.LookupVendorName(0x8086), "");
}

TEST_F(PciDescTest, ReadErrorIsReportedButNoMatchIsNot) {
    // A folder in place of the file opens but cannot be read.
    fs::create_directory(Path(kPciClassFile));
    PciDescriptions files(dir_);
    bool readError = false;
    EXPECT_TRUE(files.LookupClassDescription(0x0C0500, &readError).found);
    EXPECT_TRUE(readError);
}

// Malformed bytes: over-long lines, NULs, binary junk, missing fields. The index must give what
// the line-by-line reader gives, and the rest of an over-long line is never a line of its own.
TEST_F(PciDescTest, MalformedFilesMatchTheLineByLineReader) {
    std::string longTail(300, 'x');
    std::string text = "VID 8086 " + std::string(260, 'A') + "\nDID 2930 " + longTail +
                       std::string("\nVID 10de N\0VIDIA\n", 18) + "VID" + "\n" + "VID 10b9\n" +
                       "; stray\n0c0500 ffffff SMBus " + longTail + "VID 1106 hidden\n";
    text += std::string("\x01\x02\xff\xfe VID 9999 junk\n", 17);
    text += ";ID=zz\n20 entry\n;IDEND\n;IDGLOBAL\n" + std::string(270, '2') + "0 tail\n20 G\n";
    for (const char* name : {kPciIdFile, kPciClassFile, kRegisterDescriptionFile}) {
        Put(name, text);
    }
    PciDescriptions files(dir_);
    EXPECT_EQ(files.LookupVendorName(0x8086).size(), kDescriptionLineLimit - 9);
    EXPECT_EQ(files.LookupVendorName(0x10DE), "N");
    EXPECT_EQ(files.LookupVendorName(0x1106), "");  // inside an over-long line
    EXPECT_EQ(files.LookupRegisterDescription(0x20, 0), "G");
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        uint32_t a = i < 20 ? 0x20 : random() & 0xFFFF, b = random() & 0xFFFF;
        SCOPED_TRACE(i);
        EXPECT_EQ(files.LookupVendorName(a), test::ReferenceVendorName(Path(kPciIdFile), a));
        EXPECT_EQ(files.LookupDeviceName(0x8086, b),
                  test::ReferenceDeviceName(Path(kPciIdFile), 0x8086, b));
        EXPECT_EQ(files.LookupClassDescription(a << 8).description,
                  test::ReferenceClassDescription(Path(kPciClassFile), a << 8).description);
        EXPECT_EQ(files.LookupRegisterDescription(a & 0xFC, b),
                  test::ReferenceRegisterDescription(Path(kRegisterDescriptionFile), a & 0xFC, b));
    }
}

// The generated files beside the programs: several megabytes of random lines parse quickly
// and give the reader's answers; the shipped files give known names.
TEST_F(PciDescTest, LargeRandomFileAndShippedFiles) {
    std::mt19937 random(11);
    std::string big;
    const char* prefixes[] = {"VID ", "DID ", ";ID=", ";IDEND", ";IDGLOBAL", "", "#"};
    while (big.size() < 4 * 1024 * 1024) {
        big += prefixes[random() % 7];
        size_t length = random() % 400;
        for (size_t i = 0; i < length; ++i) {
            char c = static_cast<char>(random() % 5 == 0 ? "0123456789abcdef "[random() % 17]
                                                         : random() % 256);
            big.push_back(c);
        }
        big.push_back('\n');
    }
    Put(kPciIdFile, big);
    PciDescriptions files(dir_);
    auto start = std::chrono::steady_clock::now();
    for (uint32_t id = 0; id < 64; ++id) {
        EXPECT_EQ(files.LookupVendorName(id), test::ReferenceVendorName(Path(kPciIdFile), id));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

    PciDescriptions shipped(KORVANTA_BINARY_DIR);
    EXPECT_EQ(shipped.LookupVendorName(0x8086), "Intel Corporation");
    EXPECT_EQ(shipped.LookupDeviceName(0x8086, 0x2930), "82801I (ICH9 Family) SMBus Controller");
    EXPECT_EQ(shipped.LookupClassDescription(0x0C0500).description, "SMBus");
    EXPECT_EQ(shipped.LookupClassDescription(0x060401).description,
              "PCI bridge (Subtractive decode)");
    EXPECT_EQ(shipped.LookupRegisterDescription(0x20, 0x29308086).substr(0, 14), "SMBus I/O Base");
    for (uint32_t offset = 0; offset < 0x40; offset += 4) {
        EXPECT_NE(shipped.LookupRegisterDescription(offset, 0), kDeviceSpecificDescription);
    }
}

}  // namespace
}  // namespace kvt
