// The host backend on a stand-in file tree: sysfs configuration files, an MCFG table, a
// memory file and MSR files, read and written through the same calls as on a real machine.
#include "driver/host/host_backend.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "driver/handler.h"
#include "driver/host/i2c_dev.h"
#include "driver/wire.h"
#include "protocol/driver_request.h"
#include "support/daemon.h"

namespace kvt::driver {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// The status line of one kind of access.
std::string StatusOf(Backend& backend, const std::string& kind) {
    for (const std::string& line : backend.StatusLines())
        if (line.rfind(kind, 0) == 0) return line;
    return "";
}

class HostBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/korvanta-host-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        paths_.sysfsPci = root_ / "pci";
        paths_.mcfg = root_ / "MCFG";
        paths_.devMem = root_ / "mem";
        paths_.devPort = root_ / "port";
        paths_.cpuDevices = root_ / "cpu";
        paths_.lockdown = root_ / "lockdown";
        WriteFile(root_ / "pci/0000:00:00.0/config", Pattern(4096, 1));  // PCI Express
        WriteFile(root_ / "pci/0000:00:1f.3/config", Pattern(256, 2));   // conventional
        WriteFile(root_ / "pci/0000:01:00.0/config", Pattern(64, 3));    // read without root
        WriteFile(root_ / "pci/0001:00:00.0/config", Pattern(256, 4));   // other domain
        fs::create_directories(root_ / "pci/not-a-function");

        // MCFG: 36-byte header, 8 reserved bytes, one allocation: base E0000000h, segment
        // 0, buses 0-1.
        std::vector<uint8_t> mcfg(60, 0);
        std::memcpy(mcfg.data(), "MCFG", 4);
        uint64_t base = 0xE0000000;
        std::memcpy(&mcfg[44], &base, 8);
        mcfg[55] = 1;
        WriteFile(paths_.mcfg, mcfg);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
    HostPaths paths_;
};

TEST_F(HostBackendTest, PciConfigurationThroughSysfs) {
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    std::vector<std::pair<uint8_t, uint8_t>> functions;
    ASSERT_TRUE(host->ListPciFunctions(functions));
    EXPECT_EQ(functions, (std::vector<std::pair<uint8_t, uint8_t>>{{0, 0x00}, {0, 0xFB}, {1, 0}}));

    uint32_t value = 0;
    ASSERT_TRUE(host->ReadPciConfig(0x80000000, value));
    EXPECT_EQ(value, 0x160F0801u);  // bytes 01 08 0F 16
    ASSERT_TRUE(host->ReadPciConfig(0x8000FBFC, value));
    EXPECT_TRUE(host->ReadPciConfig(0x80FFF800, value));  // absent function
    EXPECT_EQ(value, 0xFFFFFFFFu);
    // Bytes the file does not hold are a failure, not invented; so are reserved bits.
    EXPECT_FALSE(host->ReadPciConfig(0x80010040, value));
    EXPECT_FALSE(host->ReadPciConfig(0x81000000, value));

    ASSERT_TRUE(host->WritePciConfig(0x80000004, 0x00000507));
    ASSERT_TRUE(host->ReadPciConfig(0x80000004, value));
    EXPECT_EQ(value, 0x00000507u);
    EXPECT_FALSE(host->WritePciConfig(0x80020000, 1));  // nothing to write to

    paths_.sysfsPci = root_ / "no-sysfs";
    std::unique_ptr<Backend> bare = CreateHostBackend(paths_);
    EXPECT_FALSE(bare->ListPciFunctions(functions));
    EXPECT_FALSE(bare->ReadPciConfig(0x80000000, value));
}

// Every domain in the complete list (the driver's list keeps domain 0), configuration bytes
// of another domain through the block request's ebx, and BAR sizes from the resource file.
TEST_F(HostBackendTest, DomainsAndBarSizesFromSysfs) {
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    std::vector<PciAddress> all;
    ASSERT_TRUE(host->ListPciAll(all));
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[3], PciAddress(0, 0, 0, 0, 1));
    EXPECT_EQ(all[3].FunctionText(), "0001:00:00.0");
    RequestHandler handler(*host, HandlerOptions{});
    Caller caller{0, 0, 1};
    auto ask = [&](uint32_t code, uint32_t domain, uint32_t length, std::vector<uint8_t>& out) {
        DriverRequest block{};
        block.configAddress = 0x80000000;
        block.ebx = domain;
        block.length = length;
        std::optional<Answer> answer =
            ServeFrame(handler, caller, kNtDeviceName, test::MakeFrame(code, block));
        if (answer) out = answer->payload;
        return answer && answer->success;
    };
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(ask(kExtReadPciBlock, 1, 256, bytes));
    EXPECT_EQ(bytes, Pattern(256, 4));
    ASSERT_TRUE(ask(kExtReadPciBlock, 2, 256, bytes));  // no such domain: absent, all ones
    EXPECT_EQ(bytes, std::vector<uint8_t>(256, 0xFF));
    EXPECT_FALSE(ask(kExtReadPciBlock, 0x10000, 256, bytes));
    ASSERT_TRUE(ask(kExtListPciAll, 0, 0, bytes));
    EXPECT_EQ(bytes.size(), 4 * kPciListRecordSize);
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()),
              (std::vector<uint8_t>{1, 0, 0, 0}));

    // BAR0 64-bit (its upper half a line of zeros), BAR2 I/O, a line the kernel never writes.
    std::ofstream(root_ / "pci/0001:00:00.0/resource")
        << "0x0000000400000000 0x000000040fffffff 0x000000000014220c\n"
        << "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
        << "0x000000000000e000 0x000000000000e01f 0x0000000000040101\n"
        << "garbage\n";
    ASSERT_TRUE(ask(kExtPciBarSizes, 1, 0, bytes));
    ASSERT_EQ(bytes.size(), 8 * kPciBarCount);
    uint64_t sizes[kPciBarCount];
    std::memcpy(sizes, bytes.data(), sizeof sizes);
    EXPECT_EQ(sizes[0], 0x10000000u);
    EXPECT_EQ(sizes[1], 0u);
    EXPECT_EQ(sizes[2], 0x20u);
    EXPECT_EQ(sizes[3], kPciBarSizeUnknown);
    EXPECT_EQ(sizes[5], kPciBarSizeUnknown);          // the file ends: not invented
    EXPECT_FALSE(ask(kExtPciBarSizes, 0, 0, bytes));  // 00:00.0 has no resource file
}

// A range of a function's bytes in one request: every field checked, the file's bytes
// exactly, an absent function all ones, nothing invented past a short file.
TEST_F(HostBackendTest, PciConfigurationRangeInOneRequest) {
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    RequestHandler handler(*host, HandlerOptions{});
    Caller caller{0, 0, 1};
    auto read = [&](uint32_t address, uint32_t offset, uint32_t length,
                    std::vector<uint8_t>* bytes = nullptr) {
        DriverRequest block{};
        block.configAddress = address;
        block.ecx = offset;
        block.length = length;
        std::vector<uint8_t> frame = test::MakeFrame(kExtReadPciBlock, block);
        std::optional<Answer> answer = ServeFrame(handler, caller, kNtDeviceName, frame);
        if (answer && bytes) *bytes = answer->payload;
        return answer && answer->success;
    };
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(read(0x80000000, 0, 4096, &bytes));
    EXPECT_EQ(bytes, Pattern(4096, 1));
    ASSERT_TRUE(read(0x8000FB00, 0x40, 0xC0, &bytes));
    const std::vector<uint8_t> conventional = Pattern(256, 2);
    EXPECT_EQ(bytes, std::vector<uint8_t>(conventional.begin() + 0x40, conventional.end()));
    ASSERT_TRUE(read(0x80FFF800, 0, 256, &bytes));
    EXPECT_EQ(bytes, std::vector<uint8_t>(256, 0xFF));
    EXPECT_FALSE(read(0x8000FB00, 0, 512));  // a conventional function's file holds 256
    EXPECT_FALSE(read(0x80010000, 0, 256));  // read without root: 64 bytes
    EXPECT_TRUE(read(0x80010000, 0, 64));
    // Malformed fields: no enable bit, reserved bits, a register in the address, lengths of
    // nothing, of more than 4 KiB or not whole double words, misaligned or out of range.
    EXPECT_FALSE(read(0x00000000, 0, 256));
    EXPECT_FALSE(read(0x81000000, 0, 256));
    EXPECT_FALSE(read(0x80000004, 0, 256));
    EXPECT_FALSE(read(0x80000000, 0, 0));
    EXPECT_FALSE(read(0x80000000, 0, 4100));
    EXPECT_FALSE(read(0x80000000, 0, 6));
    EXPECT_FALSE(read(0x80000000, 2, 4));
    EXPECT_FALSE(read(0x80000000, 4092, 8));
    EXPECT_FALSE(read(0x80000000, 0xFFFFFFFC, 8));  // would wrap
}

TEST_F(HostBackendTest, SmbusThroughTheKernelsAdapter) {
    // Two adapters of one function (as a driver with two controllers makes): the one named
    // after the base serves; no driver bound, no kernel path; no node, the reason says how.
    paths_.devDir = root_ / "dev";
    paths_.modprobe = "";
    fs::path f = root_ / "pci/0000:00:1f.3";
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    Backend::SmbusKernelTransfer t;
    int error = -1;
    std::string text;
    EXPECT_FALSE(host->KernelSmbus(0, 0xFB, 0x400, t, error, text));
    fs::create_directories(root_ / "drivers/i801_smbus");
    fs::create_directory_symlink(root_ / "drivers/i801_smbus", f / "driver");
    fs::create_directories(f / "i2c-3");
    fs::create_directories(f / "i2c-7");
    fs::create_directories(root_ / "dev");
    std::ofstream(f / "i2c-3/name", std::ios::app) << "SMBus adapter at 0500\n";
    std::ofstream(f / "i2c-7/name", std::ios::app) << "SMBus adapter at 0400\n";
    EXPECT_EQ(FindI2cAdapter(f, 0x400), "i2c-7");
    EXPECT_EQ(FindI2cAdapter(f, 0x500), "i2c-3");
    EXPECT_EQ(FindI2cAdapter(f, 0x600), "");
    ASSERT_TRUE(host->KernelSmbus(0, 0xFB, 0x400, t, error, text));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(text, "no " + (root_ / "dev/i2c-7").string() +
                        " for i801_smbus's adapter: the i2c-dev module is not loaded "
                        "(modprobe i2c-dev)");
    ASSERT_TRUE(host->KernelSmbus(0, 0xFB, 0x600, t, error, text));
    EXPECT_EQ(error, ENODEV);
    // A node that is no i2c-dev device: the ioctl fails and says so, nothing is invented.
    std::ofstream(root_ / "dev/i2c-7", std::ios::app) << "";
    ASSERT_TRUE(host->KernelSmbus(0, 0xFB, 0x400, t, error, text));
    EXPECT_EQ(error, 0);  // the adapter query only
    EXPECT_EQ(text, (root_ / "dev/i2c-7").string() + " (i801_smbus)");
    t.op = kSmbusOpReadByte;
    ASSERT_TRUE(host->KernelSmbus(0, 0xFB, 0x400, t, error, text));
    EXPECT_NE(error, 0);
}

TEST_F(HostBackendTest, PhysicalMemoryAndTheExpressWindow) {
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    uint32_t base = 0;
    uint8_t first = 0xFF, last = 0;
    ASSERT_TRUE(host->PcieWindow(base, first, last));
    EXPECT_EQ(base, 0xE0000000u);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 1);

    // Window bytes come from the functions' configuration files.
    std::vector<uint8_t> expected = Pattern(4096, 1);
    std::vector<uint8_t> bytes(0x200);
    ASSERT_TRUE(host->ReadPhysical(0xE0000F00, bytes.data(), 0x100));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 0x100, expected.begin() + 0xF00));
    // Running on into function 00:00.1, which does not exist: all ones there.
    ASSERT_TRUE(host->ReadPhysical(0xE0000F00, bytes.data(), 0x200));
    EXPECT_EQ(bytes[0x100], 0xFF);
    EXPECT_EQ(bytes[0x1FF], 0xFF);
    // Extended space of a conventional function is not there to read.
    EXPECT_FALSE(host->ReadPhysical(0xE00FB100, bytes.data(), 4));
    EXPECT_TRUE(host->ReadPhysical(0xE00FB0FC, bytes.data(), 4));
    uint8_t command[2] = {0x06, 0x01};
    ASSERT_TRUE(host->WritePhysical(0xE0000004, command, 2));
    uint32_t value = 0;
    ASSERT_TRUE(host->ReadPciConfig(0x80000004, value));
    EXPECT_EQ(value & 0xFFFF, 0x0106u);

    // Outside the window: the memory device, or a failure without one.
    EXPECT_FALSE(host->ReadPhysical(0x1000, bytes.data(), 16));
    EXPECT_NE(StatusOf(*host, "physical memory: ").find("CONFIG_DEVMEM"), std::string::npos);
    WriteFile(paths_.devMem, Pattern(0x2000, 9));
    ASSERT_EQ(truncate(paths_.devMem.c_str(), 0xE0000000), 0);  // sparse up to the window
    ASSERT_TRUE(host->ReadPhysical(0x1000, bytes.data(), 16));
    EXPECT_EQ(bytes[0], Pattern(0x2000, 9)[0x1000]);
    // One request across the window's start: memory first, then configuration bytes.
    ASSERT_TRUE(host->ReadPhysical(0xDFFFFFF0, bytes.data(), 32));
    EXPECT_EQ(bytes[15], 0);
    EXPECT_EQ(bytes[16], expected[0]);
    EXPECT_EQ(bytes[31], expected[15]);
    uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(host->WritePhysical(0x1800, data, 4));
    ASSERT_TRUE(host->ReadPhysical(0x1800, bytes.data(), 4));
    EXPECT_EQ(std::memcmp(bytes.data(), data, 4), 0);
    EXPECT_EQ(StatusOf(*host, "physical memory: "), "physical memory: ok");
}

// A memory request never wraps past 4 GiB to low memory, however the host could read it.
TEST_F(HostBackendTest, MemoryRequestsStopAt4GiB) {
    WriteFile(paths_.devMem, Pattern(16, 5));
    ASSERT_EQ(truncate(paths_.devMem.c_str(), 0x100000010ll), 0);  // readable past 4 GiB
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    RequestHandler handler(*host, HandlerOptions{});
    Caller caller{0, 0, 1};
    auto read = [&](uint32_t address, uint32_t length) {
        DriverRequest block{};
        block.physicalAddress = address;
        block.length = length;
        std::vector<uint8_t> frame = test::MakeFrame(kNtReadPhysicalMemory, block);
        return ServeFrame(handler, caller, kNtDeviceName, frame)->success;
    };
    EXPECT_TRUE(read(0xFFFFFFF8, 8));
    EXPECT_FALSE(read(0xFFFFFFF8, 16));
    EXPECT_FALSE(read(0xFFFFFFFF, 2));
}

TEST_F(HostBackendTest, MsrsOfTheChosenProcessorAndStatusAdvice) {
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    uint64_t value = 0;
    EXPECT_FALSE(host->ReadMsr(0, 0x10, value));
    EXPECT_NE(StatusOf(*host, "MSRs: ").find("/msr missing"), std::string::npos);

    // The MSR number is the file offset of the processor's msr device.
    std::vector<uint8_t> msr(0x200, 0);
    uint64_t tsc = 0x0123456789ABCDEFull;
    std::memcpy(&msr[0x10], &tsc, 8);
    WriteFile(root_ / "cpu/0/msr", msr);
    ASSERT_TRUE(host->ReadMsr(0, 0x10, value));
    EXPECT_EQ(value, tsc);
    EXPECT_FALSE(host->ReadMsr(1, 0x10, value));  // no device for processor 1
    ASSERT_TRUE(host->WriteMsr(0, 0x1A0, 0x850089));
    ASSERT_TRUE(host->ReadMsr(0, 0x1A0, value));
    EXPECT_EQ(value, 0x850089u);
    EXPECT_EQ(StatusOf(*host, "MSRs: "), "MSRs: ok");

    // One line per kind of access; ports are not available from a stand-in tree.
    std::vector<std::string> lines = host->StatusLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("ports: ", 0), 0u);
    EXPECT_EQ(lines[1], "PCI configuration: ok");
    EXPECT_EQ(lines[2], "PCI Express window: ok (E0000000-E01FFFFF, buses 00-01)");
    WriteFile(paths_.lockdown, {'n', 'o', 'n', 'e', ' ', '[', 'i', 'n', 't', 'e', 'g', 'r', 'i',
                                't', 'y', ']', ' ', 'c', '\n'});
    std::unique_ptr<Backend> locked = CreateHostBackend(paths_);
    EXPECT_NE(StatusOf(*locked, "MSRs: ").find("lockdown (integrity)"), std::string::npos);
}

// With port instructions turned off, ports are the bytes of the port device at the port's
// offset; wider accesses are refused rather than split into bytes.
TEST_F(HostBackendTest, PortsThroughThePortDeviceOnly) {
    WriteFile(paths_.devPort, Pattern(0x100, 0x40));
    paths_.portInstructions = false;
    std::unique_ptr<Backend> host = CreateHostBackend(paths_);
    uint32_t value = 0;
    ASSERT_TRUE(host->ReadPort(0x71, 1, value));
    EXPECT_EQ(value, Pattern(0x100, 0x40)[0x71]);
    ASSERT_TRUE(host->WritePort(0x80, 1, 0x1A5));
    ASSERT_TRUE(host->ReadPort(0x80, 1, value));
    EXPECT_EQ(value, 0xA5u);
    EXPECT_FALSE(host->ReadPort(0x70, 2, value));
    EXPECT_FALSE(host->WritePort(0x70, 4, 0));
    EXPECT_NE(StatusOf(*host, "ports: ").find("bytes only"), std::string::npos);
}

}  // namespace
}  // namespace kvt::driver
