// The PCI tool against private board daemons: enumeration and kinds, both read paths and the
// base entry, the device list and its "N/A" row, Find, both write paths, the base address
// registers and the reports.
#include "tools/pci/pci_tool.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hwaccess/session.h"
#include "platform/report_stream.h"
#include "support/daemon.h"

namespace kvt {
namespace {

struct Recorder : UserMessages, PciToolHost {
    std::vector<std::string> events;
    void ShowMessage(std::string_view text) override {
        events.push_back("msg:" + std::string(text));
    }
    void SetFocus(std::string_view field) override {
        events.push_back("focus:" + std::string(field));
    }
    void OpenGroupIoAt(uint32_t port, uint32_t count) override {
        events.push_back("io:" + std::to_string(port) + "," + std::to_string(count));
    }
    void OpenMemoryDumpAt(uint32_t address, uint32_t size) override {
        events.push_back("mem:" + std::to_string(address) + "," + std::to_string(size));
    }
};

// The desktop board plus functions the shipped boards lack: a CardBus bridge (header type 2),
// a capability list that loops, 64-bit BARs above and below 4 GiB, and a device ID 0000h.
std::string WriteTestBoard(const std::string& folder) {
    std::ifstream in(test::BoardProfile("intel-desktop"));
    nlohmann::json board = nlohmann::json::parse(in);
    board["name"] = "pci-test";
    auto& functions = board["pci"]["functions"];
    functions.push_back({{"address", "03:00.0"},
                         {"vendor_id", "0x1180"},
                         {"device_id", "0x0476"},
                         {"class", "0x060700"},
                         {"bytes", {{"0x0E", "02"}, {"0x10", "00 10 00 fa 01 20 00 00"}}}});
    functions.push_back({{"address", "03:01.0"},
                         {"vendor_id", "0x1234"},
                         {"device_id", "0x0000"},
                         {"class", "0x028000"},
                         {"capabilities", {{{"id", "0x01"}, {"offset", "0x40"}}}},
                         {"bytes", {{"0x41", "40"}}}});
    functions.push_back(
        {{"address", "03:02.0"},
         {"vendor_id", "0x1234"},
         {"device_id", "0x5678"},
         {"class", "0x048000"},
         {"bytes", {{"0x10", "0c 00 00 e0 01 00 00 00 04 00 00 f8 00 00 00 00 01 e0 00 00"}}}});
    std::string path = folder + "/pci-test.json";
    std::ofstream(path) << board.dump(1);
    return path;
}

class PciToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvt-pcitool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        Start(WriteTestBoard(folder_));
    }
    void TearDown() override {
        tool_.reset();
        session_.reset();
        daemon_.reset();
        std::filesystem::remove_all(folder_);
    }
    void Start(const std::string& board) {
        tool_.reset();
        session_.reset();
        daemon_ = std::make_unique<test::PrivateDaemon>();
        test::DaemonOptions options;
        options.board = board;
        std::string error;
        ASSERT_TRUE(daemon_->Start(options, &error)) << error;
        setenv("KORVANTA_RUNTIME_DIR", daemon_->runtimeDir().c_str(), 1);
        session_ = HardwareSession::Create(options.board, &error);
        ASSERT_TRUE(session_) << error;
        ASSERT_TRUE(session_->LoadDriver(&error)) << error;
        tool_ = std::make_unique<PciTool>(session_->client(), log_,
                                          PciDescriptions(KORVANTA_BINARY_DIR), &log_);
    }
    const PciFunctionRecord& Record(int row) {
        return tool_->table()[tool_->listMap()[static_cast<size_t>(row)]];
    }
    void Choose(uint32_t b, uint32_t d, uint32_t f) {
        int row = tool_->RowOf(b, d, f);
        ASSERT_GE(row, 0);
        tool_->SelectDeviceRow(row);
    }
    uint32_t ReadConfig(uint32_t b, uint32_t d, uint32_t f, uint32_t reg) {
        uint32_t value = 0;
        EXPECT_TRUE(
            session_->client().ReadPciConfig(PciAddress(b, d, f, reg).ConfigAddress(), value));
        return value;
    }

    std::string folder_;
    std::unique_ptr<test::PrivateDaemon> daemon_;
    std::unique_ptr<HardwareSession> session_;
    Recorder log_;
    std::unique_ptr<PciTool> tool_;
};

TEST_F(PciToolTest, ScanListsEveryFunctionWithItsKindAndShowsTheFirst) {
    tool_->Scan();
    EXPECT_TRUE(log_.events.empty());
    ASSERT_EQ(tool_->table().size(), 22u);
    EXPECT_EQ(tool_->deviceRows().back(), "N/A");
    EXPECT_EQ(tool_->deviceRows()[0],
              "Host bridge (VendorID=8086 (Intel Corporation), DeviceID=29C0, Bus 0, Device 0, "
              "Function 0)");
    EXPECT_EQ(Record(0).kind, kPciKind);  // no PCI Express capability
    EXPECT_EQ(tool_->configAddress(), "80000000");
    EXPECT_EQ(tool_->registerRows().size(), 64u);
    EXPECT_EQ(tool_->registerListLabel(),
              "Register List (82G33/G31/P35/P31 Express DRAM Controller)");
    // The daemon's window: 4096 bytes from E0000000h + bus 2.
    Choose(2, 0, 0);
    EXPECT_EQ(tool_->shownKind(), kPciExpressKind);
    EXPECT_EQ(tool_->configAddress(), "E0200000");
    EXPECT_EQ(tool_->registerRows().size(), 1024u);
    EXPECT_EQ(tool_->table()[tool_->RowOf(3, 1, 0)].kind, kPciKind);  // the loop ends
    Choose(0, 0x1F, 3);
    EXPECT_EQ(tool_->configAddress(), "8000FB00");
    ASSERT_EQ(tool_->registerRows().size(), 64u);
    EXPECT_EQ(tool_->registerRows()[8].offset, "020");
    EXPECT_EQ(tool_->registerRows()[8].value, "00000401");
    EXPECT_EQ(tool_->registerRows()[8].description.substr(0, 14), "SMBus I/O Base");
    EXPECT_EQ(tool_->bus, 0);
    EXPECT_EQ(tool_->device, 0x1F);
    EXPECT_EQ(tool_->function, 3);

    // Only PCI functions: both PCI Express functions of bus 0 leave the list.
    tool_->filter = PciTool::kFilterPci;
    tool_->FilterChanged();
    EXPECT_EQ(tool_->deviceListLabel(), "PCI Devices");
    for (size_t row = 0; row < tool_->listMap().size(); ++row) {
        EXPECT_EQ(Record(static_cast<int>(row)).kind, kPciKind);
    }
    EXPECT_LT(tool_->listMap().size(), tool_->table().size());
}

TEST_F(PciToolTest, BaseEntriesAndTheProbe) {
    tool_->Scan();
    uint32_t probed = 0;
    EXPECT_TRUE(
        FindMmConfigBase(session_->client(), tool_->table()[tool_->RowOf(2, 0, 0)], &probed));
    EXPECT_EQ(probed, 0xE0000000u);

    Choose(2, 0, 0);
    EXPECT_EQ(tool_->configAddress(), "E0200000");
    tool_->baseText = "e0000000";
    tool_->SelectDeviceRow(tool_->RowOf(2, 0, 0));
    EXPECT_EQ(tool_->configAddress(), "E0200000");
    EXPECT_EQ(tool_->registerRows()[0].value, "816810EC");

    // A base where nothing is mapped: the address is shown, no value is invented.
    tool_->baseText = "F0000000";
    tool_->SelectDeviceRow(tool_->RowOf(2, 0, 0));
    EXPECT_EQ(tool_->configAddress(), "F0200000");
    EXPECT_TRUE(tool_->registerRows().empty());
    EXPECT_FALSE(tool_->hasWriteTarget());

    for (const char* bad : {"auto", "", "100000000", "FFFFFFFFF"}) {
        SCOPED_TRACE(bad);
        log_.events.clear();
        tool_->baseText = bad;
        tool_->SelectDeviceRow(tool_->RowOf(2, 0, 0));
        EXPECT_EQ(log_.events,
                  (std::vector<std::string>{
                      "msg:Input PCI Express memory mapped base address error!", "focus:base"}));
        EXPECT_TRUE(tool_->registerRows().empty());
        EXPECT_EQ(tool_->configAddress(), "");
    }
    // The window of the last function would pass 4 GiB: nothing is read.
    PciFunctionRecord last{0xFF, 0x1F, 7, 0, 0, 0, kPciExpressKind};
    uint8_t buffer[kPciExpressSpaceSize];
    PciRegisterRead read = ReadFunctionRegisters(session_->client(), last, "F0001000", buffer);
    EXPECT_EQ(read.status, PciRegisterRead::Status::NoWindow);
    EXPECT_EQ(read.startAddress, 0x100000000ull);
}

// No window and no probe match: the first 256 bytes by configuration requests, with a word
// that the extended space is out of reach; writes then go by configuration request too.
TEST_F(PciToolTest, BoardWithoutWindowReadsTheFirst256BytesByConfigurationRequests) {
    Start(test::BoardProfile("nvidia-amd"));
    tool_->Scan();
    int row = tool_->RowOf(5, 0, 0);
    ASSERT_GE(row, 0);
    EXPECT_EQ(Record(row).kind, kPciExpressKind);
    log_.events.clear();
    tool_->SelectDeviceRow(row);
    EXPECT_EQ(log_.events,
              std::vector<std::string>{"msg:" + std::string(kPciExtendedSpaceMessage)});
    EXPECT_EQ(tool_->shownReadStatus(), PciRegisterRead::Status::ConfigOnly);
    EXPECT_EQ(tool_->configAddress(), "80050000");
    ASSERT_EQ(tool_->registerRows().size(), 64u);
    EXPECT_EQ(tool_->registerRows()[0].dword, ReadConfig(5, 0, 0, 0));
    EXPECT_EQ(tool_->shownKind(), kPciKind);
    // The all-devices report holds its 64 rows too.
    std::vector<PciTool::DeviceDump> devices = tool_->CollectAllDevices();
    const PciTool::DeviceDump& dump = devices[tool_->listMap()[static_cast<size_t>(row)]];
    EXPECT_EQ(dump.status, PciRegisterRead::Status::ConfigOnly);
    EXPECT_EQ(dump.dwords.size(), 64u);
}

// A board without PCI Express functions never reads through the base field, so the report
// does not check it.
TEST_F(PciToolTest, ReportWithoutExpressFunctionsIgnoresTheBaseField) {
    Start(test::BoardProfile("transmeta"));
    tool_->Scan();
    ASSERT_TRUE(tool_->enumerated());
    tool_->baseText = "auto";
    log_.events.clear();
    std::vector<PciTool::DeviceDump> devices = tool_->CollectAllDevices();
    EXPECT_EQ(log_.events, std::vector<std::string>{});
    ASSERT_FALSE(devices.empty());
    EXPECT_EQ(devices[0].dwords.size(), 64u);
}

TEST_F(PciToolTest, NotApplicableRowAndSelectors) {
    tool_->Scan();
    const int na = static_cast<int>(tool_->listMap().size());
    tool_->SelectDeviceRow(na);
    EXPECT_EQ(tool_->selectedDeviceRow(), na - 1);
    EXPECT_EQ(tool_->bus, 3);
    // Selectors that name no listed function: all ones are shown and "N/A" is chosen.
    tool_->bus = 9;
    tool_->device = 0;
    tool_->function = 0;
    tool_->SelectorsChanged();
    EXPECT_EQ(tool_->selectedDeviceRow(), na);
    ASSERT_EQ(tool_->registerRows().size(), 64u);
    EXPECT_EQ(tool_->registerRows()[0].value, "FFFFFFFF");

    // With no device listed, "N/A" alone shows nothing.
    tool_->filter = PciTool::kFilterExpress;
    Start(test::BoardProfile("transmeta"));
    tool_->filter = PciTool::kFilterExpress;
    tool_->Scan();
    EXPECT_EQ(log_.events.back(), "msg:Error!  No corresponding device found!");
    EXPECT_FALSE(tool_->enumerated());
    ASSERT_EQ(tool_->deviceRows(), std::vector<std::string>{"N/A"});
    tool_->SelectDeviceRow(0);
    EXPECT_TRUE(tool_->registerRows().empty());
    EXPECT_EQ(tool_->configAddress(), "");
}

TEST_F(PciToolTest, FindWalksMatchesInOrderThenStartsAgain) {
    log_.events.clear();
    tool_->idText = "80g6";
    tool_->FindNext();
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{"msg:Input Device ID or Vendor ID Error!", "focus:id"}));
    EXPECT_FALSE(tool_->enumerated());
    log_.events.clear();

    auto walk = [this](const std::string& id) {
        tool_->idText = id;
        std::vector<int> rows;
        for (int i = 0; i < 40; ++i) {
            tool_->FindNext();
            if (!log_.events.empty()) break;
            rows.push_back(tool_->findPosition());
        }
        return rows;
    };
    std::vector<int> intel = walk("8086");  // scans first
    EXPECT_EQ(log_.events,
              std::vector<std::string>{"msg:Unable to find matching PCI or PCI Express device!"});
    ASSERT_EQ(intel.size(), 17u);  // not the device with ID 0000h
    EXPECT_EQ(intel.front(), 0);
    EXPECT_EQ(tool_->selectedDeviceRow(), intel.back());
    log_.events.clear();
    EXPECT_EQ(walk("8086"), intel);  // from the top again
    log_.events.clear();
    EXPECT_EQ(walk("29308086"), intel);  // either half may equal either ID
    log_.events.clear();
    std::vector<int> zero = walk("00008168");  // the upper half counts: device ID 0000h
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(zero[1], tool_->RowOf(3, 1, 0));
}

TEST_F(PciToolTest, WriteTakesThePathOfTheShownKind) {
    // Before any read there is no target: nothing is sent.
    tool_->valueText = "12";
    tool_->Write();
    EXPECT_TRUE(log_.events.empty());

    tool_->Scan();
    Choose(0, 0x1F, 3);
    tool_->SelectRegister(16);  // 40h: host configuration
    EXPECT_EQ(tool_->configAddress(), "8000FB40");
    EXPECT_EQ(tool_->registerLine(), "PCI Configuration Space Register:  0x8000FB40");
    EXPECT_EQ(tool_->valueText, "00000001");
    tool_->valueText = "zz";
    tool_->Write();
    EXPECT_EQ(log_.events, (std::vector<std::string>{"msg:Input Data Error!", "focus:value"}));
    tool_->valueText = "5";
    tool_->Write();
    EXPECT_EQ(ReadConfig(0, 0x1F, 3, 0x40), 5u);
    EXPECT_EQ(tool_->registerRows()[16].value, "00000005");
    EXPECT_EQ(tool_->registerLine(), "");
    EXPECT_EQ(tool_->valueText, "");

    // PCI Express: a physical write at the window address of the register.
    Choose(2, 0, 0);
    tool_->SelectRegister(15);  // 3Ch: interrupt line
    EXPECT_EQ(tool_->configAddress(), "E020003C");
    tool_->valueText = "0107";
    tool_->Write();
    EXPECT_EQ(ReadConfig(2, 0, 0, 0x3C) & 0xFF, 7u);

    // A rejected base clears the target: Write sends nothing, by neither path.
    tool_->SelectRegister(15);
    tool_->baseText = "auto";
    tool_->SelectDeviceRow(tool_->RowOf(2, 0, 0));
    tool_->valueText = "0109";
    tool_->Write();
    EXPECT_EQ(ReadConfig(2, 0, 0, 0x3C) & 0xFF, 7u);
    EXPECT_EQ(ReadConfig(0, 0x1F, 3, 0x3C) & 0xFF, 10u);
}

TEST_F(PciToolTest, BarsOfTheShownFunctionWithTheBoardsSizes) {
    tool_->Scan();
    Choose(1, 0, 0);  // declared with sizes in the profile
    const std::vector<PciBar>& sized = tool_->shownBars();
    ASSERT_EQ(sized.size(), 4u);
    EXPECT_EQ(sized[1].width, 64u);
    EXPECT_EQ(sized[1].size, 0x10000000u);
    EXPECT_EQ(sized[3].size, 0x80u);
    // Raw bytes without size bits: the sizes are unknown, not made up.
    Choose(3, 2, 0);
    const std::vector<PciBar>& raw = tool_->shownBars();
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_EQ(raw[0].address, 0x1E0000000ull);
    EXPECT_FALSE(raw[0].size.has_value());
    log_.events.clear();
    for (uint32_t index : {0u, 1u, 2u, 4u}) tool_->OpenBar(index);
    EXPECT_EQ(log_.events, (std::vector<std::string>{std::string("msg:") + kPciBarOutOfReachMessage,
                                                     "mem:4160749568,1024", "io:57344,256"}));
    // Another domain: the board has domain 0 only.
    tool_->ShowFunction(PciAddress(0, 0x1F, 3, 0, 1));
    EXPECT_EQ(tool_->shownReadStatus(), PciRegisterRead::Status::ReadFailed);
    EXPECT_TRUE(tool_->registerRows().empty());
    EXPECT_TRUE(tool_->shownBars().empty());
    EXPECT_FALSE(tool_->hasWriteTarget());
    EXPECT_EQ(tool_->listLimitNote(), "");
}

TEST_F(PciToolTest, BaseAddressRegistersOpenTheirTools) {
    tool_->Scan();
    Choose(0, 0x1F, 3);
    log_.events.clear();
    tool_->OpenBaseAddress(-1);
    for (int row : {4, 5, 8, 3, 10}) tool_->OpenBaseAddress(row);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"msg:No items were selected!\n",
                                                     "mem:4194301952,1024", "io:1024,256"}));
    log_.events.clear();
    Choose(3, 2, 0);
    // The 64-bit BAR above 4 GiB says that the Memory Dump window cannot reach it; its upper
    // half does nothing.
    for (int row = 4; row <= 9; ++row) tool_->OpenBaseAddress(row);
    EXPECT_EQ(log_.events, (std::vector<std::string>{std::string("msg:") + kPciBarOutOfReachMessage,
                                                     "mem:4160749568,1024", "io:57344,256"}));
    log_.events.clear();
    Choose(3, 0, 0);  // header type 2: one base address register
    for (int row = 4; row <= 9; ++row) tool_->OpenBaseAddress(row);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"mem:4194308096,1024"}));
}

TEST_F(PciToolTest, ReportsCoverEveryFunctionAndRestoreTheShownOne) {
    log_.events.clear();
    StringReport refused;
    tool_->WriteReport(refused.stream(), [] { return PciTool::kSaveAll; });
    EXPECT_EQ(refused.str(), "");
    EXPECT_EQ(log_.events,
              std::vector<std::string>{"msg:Error! There is no PCI device information available!"});
    tool_->Scan();
    log_.events.clear();
    StringReport failed;
    tool_->WriteReport(failed.stream(), [] { return PciTool::kSaveDialogFailed; });
    EXPECT_EQ(failed.str(), "");
    EXPECT_EQ(log_.events,
              std::vector<std::string>{"msg:PCI Save Dialog box could not be created!"});

    tool_->filter = PciTool::kFilterPci;
    tool_->FilterChanged();
    Choose(0, 0x1F, 3);
    const std::string shown = tool_->configAddress();
    StringReport all;
    tool_->WriteReport(all.stream(), [] { return PciTool::kSaveAll; });
    const std::string text = all.str();
    // Every function, each under its caption, PCI Express ones with 1024 rows.
    for (const PciFunctionRecord& r : tool_->table()) {
        EXPECT_NE(text.find("  " + tool_->Caption(r, nullptr) + "\r\n\r\n"), std::string::npos);
    }
    EXPECT_NE(text.find("             FFC        00000000\tPCI device specific\r\n"),
              std::string::npos);
    EXPECT_EQ(tool_->configAddress(), shown);
    EXPECT_EQ(tool_->registerRows().size(), 64u);

    // A rejected base is reported once; the PCI Express functions get their heading only.
    log_.events.clear();
    tool_->baseText = "x";
    StringReport badBase;
    tool_->WriteAllDevicesReport(badBase.stream());
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{"msg:Input PCI Express memory mapped base address error!",
                                        "focus:base"}));
    EXPECT_EQ(badBase.str().find("FFC "), std::string::npos);
}

}  // namespace
}  // namespace kvt
