// korvanta-vmcheck: checks of the emulated-PC suite that need many requests in one session.
// Each prints "PASS name: detail" or "FAIL name: detail" and the exit status says whether
// every one passed.
//   pci     the function list and every configuration double word (00h-FCh) against sysfs
//   window  every function through the PCI Express window against sysfs: all 4 KiB of a PCI
//           Express function, the 256 bytes of a conventional one
//   ports FUNCTION  configuration mechanism #1 (CF8h/CFCh) at every width: the identity of
//           00:00.0 by double word, word and byte against sysfs, and a word written to the
//           interrupt line (3Ch) of FUNCTION (0000:BB:DD.F), seen by sysfs, then restored
//   msr-refused N  an MSR read carrying processor N (taken offline by the caller) is refused
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hwaccess/session.h"
#include "hwaccess/transport.h"

namespace {

using Function = std::pair<unsigned, unsigned>;  // bus, device << 3 | function
const char* const kSysfs = "/sys/bus/pci/devices";

std::set<Function> SysfsFunctions() {
    std::set<Function> found;
    DIR* dir = opendir(kSysfs);
    if (dir == nullptr) return found;
    while (dirent* entry = readdir(dir)) {
        unsigned domain, bus, device, function;
        if (std::sscanf(entry->d_name, "%x:%x:%x.%x", &domain, &bus, &device, &function) == 4 &&
            domain == 0)
            found.insert({bus, device << 3 | function});
    }
    closedir(dir);
    return found;
}

std::vector<uint8_t> SysfsConfig(const Function& f) {
    char path[96];
    std::snprintf(path, sizeof path, "%s/0000:%02x:%02x.%x/config", kSysfs, f.first, f.second >> 3,
                  f.second & 7);
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Name(const Function& f) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X:%02X.%X", f.first, f.second >> 3, f.second & 7);
    return text;
}

bool Result(bool ok, const char* name, const std::string& detail) {
    std::printf("%s %s: %s\n", ok ? "PASS" : "FAIL", name, detail.c_str());
    return ok;
}

bool CheckPci(kvt::DriverClient& client) {
    uint8_t bus[256], devFn[256];
    uint32_t count = client.ListPciFunctions(bus, devFn);
    std::set<Function> listed;
    for (uint32_t i = 0; i < count; ++i) listed.insert({bus[i], devFn[i]});
    std::set<Function> sysfs = SysfsFunctions();
    bool ok = Result(
        count > 0 && listed == sysfs, "pci-list",
        std::to_string(count) + " functions listed, " + std::to_string(sysfs.size()) + " in sysfs");
    unsigned words = 0;
    std::string mismatch;
    for (const Function& f : sysfs) {
        std::vector<uint8_t> bytes = SysfsConfig(f);
        for (unsigned offset = 0; offset < 0x100 && offset + 4 <= bytes.size(); offset += 4) {
            uint32_t expected, value = 0;
            std::memcpy(&expected, &bytes[offset], 4);
            uint32_t address = 0x80000000u | f.first << 16 | f.second << 8 | offset;
            if (!client.ReadPciConfig(address, value) || value != expected) {
                char text[96];
                std::snprintf(text, sizeof text, "%s %02X: %08X, sysfs %08X", Name(f).c_str(),
                              offset, value, expected);
                if (mismatch.empty()) mismatch = text;
            }
            ++words;
        }
    }
    ok &= Result(words > 0 && mismatch.empty(), "pci-config",
                 mismatch.empty() ? std::to_string(words) + " double words match sysfs"
                                  : "first mismatch " + mismatch);
    // A function no machine has (bus FF, device 1F, function 7) reads all ones.
    uint32_t value = 0;
    bool read = client.ReadPciConfig(0x80FFFF00u, value) != 0;
    char text[32];
    std::snprintf(text, sizeof text, "FF:1F.7 reads %08X", value);
    ok &= Result(read && value == 0xFFFFFFFFu, "pci-absent", text);
    return ok;
}

bool CheckWindow(kvt::DriverClient& client) {
    uint32_t base = 0;
    uint8_t first = 0, last = 0;
    if (!client.PcieWindow(base, first, last)) return Result(false, "window", "no window");
    unsigned express = 0, conventional = 0;
    std::string mismatch;
    for (const Function& f : SysfsFunctions()) {
        std::vector<uint8_t> expected = SysfsConfig(f);
        if (expected.size() != 4096 && expected.size() != 256) {
            mismatch = Name(f) + " has " + std::to_string(expected.size()) + " bytes in sysfs";
            break;
        }
        std::vector<uint8_t> bytes(expected.size());
        uint32_t address = base + ((f.first - first) << 20) + (f.second << 12);
        bool read = client.ReadPhysicalMemory(address, bytes.data(),
                                              static_cast<uint32_t>(bytes.size())) != 0;
        if ((!read || bytes != expected) && mismatch.empty())
            mismatch = Name(f) + (read ? " differs from sysfs" : " read failed");
        ++(expected.size() == 4096 ? express : conventional);
    }
    return Result(express > 0 && mismatch.empty(), "window-config",
                  mismatch.empty() ? std::to_string(express) + " functions x 4 KiB and " +
                                         std::to_string(conventional) + " x 256 bytes match sysfs"
                                   : "first mismatch " + mismatch);
}

bool CheckPorts(kvt::DriverClient& client, const std::string& target) {
    uint32_t identity = 0;
    std::vector<uint8_t> host = SysfsConfig({0, 0});
    if (host.size() >= 4) std::memcpy(&identity, host.data(), 4);
    // Each read right after selecting the register, so that the kernel's own configuration
    // accesses between two requests do not move CF8h.
    auto read = [&](uint32_t select, uint16_t port, uint32_t width, uint32_t& value) {
        return client.WritePort(0xCF8, select, 4) && client.ReadPort(port, value, width);
    };
    struct Case {
        const char* name;
        uint16_t port;
        uint32_t width, expected;
    } cases[] = {
        {"port-dword", 0xCFC, 4, identity},
        {"port-word-low", 0xCFC, 2, identity & 0xFFFF},
        {"port-word-high", 0xCFE, 2, identity >> 16},
        {"port-byte-0", 0xCFC, 1, identity & 0xFF},
        {"port-byte-3", 0xCFF, 1, identity >> 24},
    };
    bool ok = true;
    char text[96];
    uint32_t value = 0;
    bool done = client.WritePort(0xCF8, 0x80000000u, 4) && client.ReadPort(0xCF8, value, 4);
    std::snprintf(text, sizeof text, "CF8h reads back %08X", value);
    ok &= Result(done && value == 0x80000000u, "port-dword-readback", text);
    for (const Case& c : cases) {
        value = 0;
        done = read(0x80000000u, c.port, c.width, value);
        std::snprintf(text, sizeof text, "%Xh width %u reads %X, sysfs %X", c.port, c.width, value,
                      c.expected);
        ok &= Result(done && value == c.expected, c.name, text);
    }

    unsigned domain, bus, device, function;
    if (std::sscanf(target.c_str(), "%x:%x:%x.%x", &domain, &bus, &device, &function) != 4)
        return Result(false, "port-word-write", "bad function " + target);
    Function f{bus, device << 3 | function};
    uint32_t select = 0x80000000u | bus << 16 | f.second << 8 | 0x3C;
    std::vector<uint8_t> before = SysfsConfig(f);
    if (before.size() < 0x40) return Result(false, "port-word-write", target + " unreadable");
    uint16_t old = static_cast<uint16_t>(before[0x3C] | before[0x3D] << 8);
    uint16_t word = static_cast<uint16_t>(old ^ 0x33);
    done = client.WritePort(0xCF8, select, 4) && client.WritePort(0xCFC, word, 2);
    std::vector<uint8_t> after = SysfsConfig(f);
    client.WritePort(0xCF8, select, 4);
    client.WritePort(0xCFC, old, 2);
    std::snprintf(text, sizeof text, "%04X written at %s 3Ch, sysfs reads %02X", word,
                  target.c_str(), after.size() > 0x3C ? after[0x3C] : 0);
    ok &= Result(done && after.size() > 0x3C && after[0x3C] == (word & 0xFF), "port-word-write",
                 text);
    return ok;
}

// The command line refuses an offline processor itself; this request reaches the daemon,
// whose MSR device for that processor is refused by the kernel.
bool CheckMsrRefused(kvt::DriverClient& client, const std::string& processor) {
    kvt::PinCurrentThread(static_cast<uint32_t>(std::stoul(processor)));
    uint64_t value = client.ReadMsrNt(0x1B);
    char text[64];
    std::snprintf(text, sizeof text, "MSR 1Bh on processor %s reads %016llX", processor.c_str(),
                  static_cast<unsigned long long>(value));
    return Result(value == ~0ull, "msr-offline-refused", text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: korvanta-vmcheck pci|window|ports FUNCTION\n");
        return 2;
    }
    std::string error;
    std::unique_ptr<kvt::HardwareSession> session = kvt::HardwareSession::Create("", &error);
    if (!session || !session->LoadDriver(&error)) {
        std::printf("FAIL %s: driver not ready: %s\n", argv[1], error.c_str());
        return 1;
    }
    std::string what = argv[1];
    bool ok = what == "pci"           ? CheckPci(session->client())
              : what == "window"      ? CheckWindow(session->client())
              : what == "ports"       ? CheckPorts(session->client(), argc > 2 ? argv[2] : "")
              : what == "msr-refused" ? CheckMsrRefused(session->client(), argc > 2 ? argv[2] : "1")
                                      : Result(false, argv[1], "unknown check");
    return ok ? 0 : 1;
}
