// Driver requests from the command line: PCI, ports, physical memory, MSRs, the daemon.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "cli/cli.h"
#include "platform/format.h"
#include "tools/cpu/cpu_exec.h"

namespace kvt::cli {

namespace {

struct PciFunction {
    uint32_t bus = 0, device = 0, function = 0;
};

// "BB:DD.F" in hexadecimal.
bool ParseFunction(const std::string& text, PciFunction& f) {
    size_t colon = text.find(':');
    size_t dot = text.find('.', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || dot == std::string::npos) return false;
    uint64_t b, d, fn;
    if (!ParseHex(text.substr(0, colon), 0xFF, b) ||
        !ParseHex(text.substr(colon + 1, dot - colon - 1), 0x1F, d) ||
        !ParseHex(text.substr(dot + 1), 7, fn)) {
        return false;
    }
    f = {static_cast<uint32_t>(b), static_cast<uint32_t>(d), static_cast<uint32_t>(fn)};
    return true;
}

uint32_t ConfigAddress(const PciFunction& f, uint32_t offset) {
    return 0x80000000u | f.bus << 16 | f.device << 11 | f.function << 8 | offset;
}

bool ParseWidth(Args& args, uint32_t& width) {
    std::string text = "1";
    bool missing = false;
    TakeOption(args, "--width", text, &missing);
    if (missing || (text != "1" && text != "2" && text != "4")) return false;
    width = static_cast<uint32_t>(text[0] - '0');
    return true;
}

// Physical address of a configuration register in the PCI Express configuration window.
bool WindowAddress(DriverClient& client, const PciFunction& f, uint32_t offset, uint32_t& address,
                   std::string& error) {
    uint32_t base = 0;
    uint8_t first = 0, last = 0;
    if (!client.PcieWindow(base, first, last)) {
        error =
            "offsets from 100 need the PCI Express configuration window, which this machine "
            "does not offer";
        return false;
    }
    if (f.bus < first || f.bus > last) {
        error = Format("bus %02X is outside the PCI Express configuration window (buses %02X-%02X)",
                       f.bus, first, last);
        return false;
    }
    address = base + ((f.bus - first) << 20) + (f.device << 15) + (f.function << 12) + offset;
    return true;
}

int PciList(Context& context, Args& args) {
    if (!args.empty()) return Fail("usage: pci list");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    uint8_t bus[256], devFn[256];
    uint32_t count = session->client().ListPciFunctions(bus, devFn);
    if (count == 0) return Fail("the PCI function list request failed");
    for (uint32_t i = 0; i < count; ++i) {
        std::printf("%02X:%02X.%X\n", bus[i], devFn[i] >> 3, devFn[i] & 7);
    }
    return 0;
}

bool ParseRegister(Args& args, PciFunction& f, uint32_t& offset, std::string& error) {
    uint64_t off = 0;
    if (!ParseFunction(args[0], f)) {
        error = "bad function '" + args[0] + "' (BB:DD.F)";
        return false;
    }
    if (!ParseHex(args[1], 0xFFC, off) || off % 4 != 0) {
        error = "bad offset '" + args[1] + "' (a multiple of 4 up to FFC)";
        return false;
    }
    offset = static_cast<uint32_t>(off);
    return true;
}

int PciRead(Context& context, Args& args) {
    if (args.size() != 2) return Fail("usage: pci read BB:DD.F OFFSET");
    PciFunction f;
    uint32_t offset = 0;
    std::string error;
    if (!ParseRegister(args, f, offset, error)) return Fail(error);
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    DriverClient& client = session->client();
    uint32_t value = 0;
    if (offset < 0x100) {
        if (!client.ReadPciConfig(ConfigAddress(f, offset), value)) {
            return Fail("the configuration read failed");
        }
    } else {
        uint32_t address = 0;
        if (!WindowAddress(client, f, offset, address, error)) return Fail(error);
        if (!client.ReadPhysicalMemory(address, &value, 4)) {
            return Fail("the configuration read failed");
        }
    }
    std::printf("%08X\n", value);
    return 0;
}

int PciWrite(Context& context, Args& args) {
    if (args.size() != 3) return Fail("usage: pci write BB:DD.F OFFSET VALUE");
    PciFunction f;
    uint32_t offset = 0;
    std::string error;
    uint64_t value = 0;
    if (!ParseRegister(args, f, offset, error)) return Fail(error);
    if (!ParseHex(args[2], 0xFFFFFFFF, value)) return Fail("bad value '" + args[2] + "'");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    DriverClient& client = session->client();
    uint32_t v = static_cast<uint32_t>(value);
    if (offset < 0x100) {
        if (!client.WritePciConfig(ConfigAddress(f, offset), v)) {
            return Fail("the configuration write failed");
        }
    } else {
        uint32_t address = 0;
        if (!WindowAddress(client, f, offset, address, error)) return Fail(error);
        if (!client.WritePhysicalMemory(address, &v, 4)) {
            return Fail("the configuration write failed");
        }
    }
    return 0;
}

uint32_t WidthMask(uint32_t width) {
    return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

int IoRead(Context& context, Args& args) {
    uint32_t width = 1;
    uint64_t port = 0;
    if (!ParseWidth(args, width) || args.size() != 1) {
        return Fail("usage: io read PORT [--width 1|2|4]");
    }
    if (!ParseHex(args[0], 0xFFFF, port)) return Fail("bad port '" + args[0] + "'");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    uint32_t value = 0;
    if (!session->client().ReadPort(static_cast<uint16_t>(port), value, width)) {
        return Fail("the port read failed");
    }
    static const char* const kFormats[] = {"", "%02X\n", "%04X\n", "", "%08X\n"};
    std::printf(kFormats[width], value & WidthMask(width));
    return 0;
}

int IoWrite(Context& context, Args& args) {
    uint32_t width = 1;
    uint64_t port = 0, value = 0;
    if (!ParseWidth(args, width) || args.size() != 2) {
        return Fail("usage: io write PORT VALUE [--width 1|2|4]");
    }
    if (!ParseHex(args[0], 0xFFFF, port)) return Fail("bad port '" + args[0] + "'");
    if (!ParseHex(args[1], WidthMask(width), value)) {
        return Fail("bad value '" + args[1] + "' for width " + std::to_string(width));
    }
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    if (!session->client().WritePort(static_cast<uint16_t>(port), static_cast<uint32_t>(value),
                                     width)) {
        return Fail("the port write failed");
    }
    return 0;
}

int MemRead(Context& context, Args& args) {
    std::string output;
    bool missing = false;
    TakeOption(args, "-o", output, &missing);
    uint64_t address = 0, length = 0;
    if (missing || args.size() != 2) return Fail("usage: mem read ADDRESS LENGTH [-o FILE]");
    if (!ParseHex(args[0], 0xFFFFFFFF, address)) return Fail("bad address '" + args[0] + "'");
    if (!ParseHex(args[1], 0x100000000ull, length) || length == 0 ||
        length > 0x100000000ull - address) {
        return Fail("bad length '" + args[1] + "' (the range must end by 100000000)");
    }
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    std::FILE* out = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
    if (out == nullptr) return Fail("cannot create " + output + ": " + std::strerror(errno));
    std::vector<uint8_t> chunk(std::min<uint64_t>(length, kMaxTransfer));
    uint64_t done = 0;
    bool ok = true;
    while (ok && done < length) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length - done, kMaxTransfer));
        ok = session->client().ReadPhysicalMemory(static_cast<uint32_t>(address + done),
                                                  chunk.data(), n) != 0;
        if (ok) ok = std::fwrite(chunk.data(), 1, n, out) == n;
        if (ok) done += n;  // on failure done stays at the refused chunk's start
    }
    if (!output.empty()) {
        ok = std::fclose(out) == 0 && ok;
        if (!ok) std::remove(output.c_str());
    } else {
        std::fflush(stdout);
    }
    if (!ok) {
        return Fail(Format("the memory read at %08llX failed",
                           static_cast<unsigned long long>(address + done)));
    }
    return 0;
}

int MemWrite(Context& context, Args& args) {
    uint64_t address = 0;
    if (args.size() != 2) return Fail("usage: mem write ADDRESS FILE");
    if (!ParseHex(args[0], 0xFFFFFFFF, address)) return Fail("bad address '" + args[0] + "'");
    std::ifstream in(args[1], std::ios::binary);
    if (!in) return Fail("cannot open " + args[1]);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (bytes.empty()) return Fail(args[1] + " is empty");
    if (bytes.size() > 0x100000000ull - address) return Fail("the file runs past 100000000");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    for (size_t done = 0; done < bytes.size();) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(bytes.size() - done, kMaxTransfer));
        if (!session->client().WritePhysicalMemory(static_cast<uint32_t>(address + done),
                                                   bytes.data() + done, n)) {
            return Fail(Format("the memory write at %08llX failed",
                               static_cast<unsigned long long>(address + done)));
        }
        done += n;
    }
    return 0;
}

int MsrRead(Context& context, Args& args) {
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    int cpu = 0;
    if (!TakeProcessor(args, *session, cpu)) return 1;
    uint64_t msr = 0;
    if (args.size() != 1) return Fail("usage: msr read MSR [--cpu N]");
    if (!ParseHex(args[0], 0xFFFFFFFF, msr)) return Fail("bad MSR number '" + args[0] + "'");
    DriverClient& client = session->client();
    uint64_t value = 0;
    // On the chosen processor, in the protocol form the system family selects.
    RunOnProcessor(static_cast<uint32_t>(cpu),
                   [&] { value = ReadMsrUnpinned(client, static_cast<uint32_t>(msr)); });
    // A refused read yields all ones in both halves.
    if (value == ~0ull) return Fail("the MSR read was refused");
    std::printf("%016llX\n", static_cast<unsigned long long>(value));
    return 0;
}

int MsrWrite(Context& context, Args& args) {
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    int cpu = 0;
    if (!TakeProcessor(args, *session, cpu)) return 1;
    uint64_t msr = 0, edx = 0, eax = 0;
    if (args.size() != 3) return Fail("usage: msr write MSR EDX EAX [--cpu N]");
    if (!ParseHex(args[0], 0xFFFFFFFF, msr)) return Fail("bad MSR number '" + args[0] + "'");
    if (!ParseHex(args[1], 0xFFFFFFFF, edx)) return Fail("bad EDX '" + args[1] + "'");
    if (!ParseHex(args[2], 0xFFFFFFFF, eax)) return Fail("bad EAX '" + args[2] + "'");
    DriverClient& client = session->client();
    int ok = 0;
    RunOnProcessor(static_cast<uint32_t>(cpu), [&] {
        ok = WriteMsrUnpinned(client, static_cast<uint32_t>(msr), static_cast<uint32_t>(eax),
                              static_cast<uint32_t>(edx), 0, 0);
    });
    return ok ? 0 : Fail("the MSR write failed");
}

int DriverStart(Context& context, Args& args) {
    if (!args.empty()) return Fail("usage: driver start");
    return context.Session() == nullptr ? 1 : 0;
}

int DriverStop(Context& context, Args& args) {
    if (!args.empty()) return Fail("usage: driver stop");
    HardwareSession* session = context.SessionOnly();
    if (session == nullptr) return 1;
    std::string status;
    if (!session->client().DriverStatus(status)) {
        std::printf("not running\n");
        return 0;
    }
    if (!session->client().StopDriver()) return Fail("the driver daemon refused to stop");
    std::printf("stopped\n");
    return 0;
}

int DriverStatus(Context& context, Args& args) {
    if (!args.empty()) return Fail("usage: driver status");
    HardwareSession* session = context.SessionOnly();
    if (session == nullptr) return 1;
    std::string status;
    if (!session->client().DriverStatus(status)) {
        return Fail(session->Describe() +
                    ": the driver daemon is not running or refuses this "
                    "user (start it with: korvanta-cli" +
                    (session->IsBoard() ? " --board " + context.board() : std::string()) +
                    " driver start)");
    }
    std::printf("%s", status.c_str());
    if (!status.empty() && status.back() != '\n') std::printf("\n");
    return 0;
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"pci list", "", &PciList}),
    CommandRegistrar({"pci read", "BB:DD.F OFFSET", &PciRead}),
    CommandRegistrar({"pci write", "BB:DD.F OFFSET VALUE", &PciWrite}),
    CommandRegistrar({"io read", "PORT [--width 1|2|4]", &IoRead}),
    CommandRegistrar({"io write", "PORT VALUE [--width 1|2|4]", &IoWrite}),
    CommandRegistrar({"mem read", "ADDRESS LENGTH [-o FILE]", &MemRead}),
    CommandRegistrar({"mem write", "ADDRESS FILE", &MemWrite}),
    CommandRegistrar({"msr read", "MSR [--cpu N]", &MsrRead}),
    CommandRegistrar({"msr write", "MSR EDX EAX [--cpu N]", &MsrWrite}),
    CommandRegistrar({"driver start", "", &DriverStart}),
    CommandRegistrar({"driver stop", "", &DriverStop}),
    CommandRegistrar({"driver status", "", &DriverStatus}),
};

}  // namespace

}  // namespace kvt::cli
