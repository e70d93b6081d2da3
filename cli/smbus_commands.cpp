// SMBus commands: the detected controllers, a scan, byte/word/block transactions, and the
// SMBus tool's report for one read window.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/smbus/smbus_tool.h"
#include "tools/smbus/spd_decode.h"

namespace kvt::cli {

namespace {

class StderrMessages : public UserMessages {
  public:
    void ShowMessage(std::string_view text) override {
        std::fprintf(stderr, "korvanta-cli: %.*s\n", static_cast<int>(text.size()), text.data());
        shown = true;
    }
    void SetFocus(std::string_view) override {}
    bool shown = false;
};

constexpr const char* kNoController = SmbusTool::kNoController;

std::string FunctionText(const SmbusController& c) {
    return Format("%02X:%02X.%X", c.bus, c.device, c.function);
}

std::string VendorName(const SmbusController& c) {
    std::string word = SmbusVendorWord(c.vendorKind);
    while (!word.empty() && word.back() == ' ') word.pop_back();
    return word;
}

bool NoArgumentsLeft(const Args& args) {
    if (args.empty()) return true;
    Fail("unexpected argument: " + args.front());
    return false;
}

// The controller CTRL of the detection order; refuses one a kernel driver holds unless forced.
bool OpenController(Context& context, const std::string& ctrlText, bool force,
                    HardwareSession*& session, SmbusController& out) {
    session = context.Session();
    if (!session) return false;
    uint64_t index = 0;
    if (!ParseHex(ctrlText, 0xFF, index)) {
        Fail("CTRL: not a controller number: " + ctrlText);
        return false;
    }
    std::vector<SmbusController> found = DetectSmbusControllers(session->client());
    if (found.empty()) {
        Fail(kNoController);
        return false;
    }
    if (index >= found.size()) {
        Fail(Format("CTRL: there are %zu controllers (0-%zu)", found.size(), found.size() - 1));
        return false;
    }
    out = found[index];
    std::string driver;
    if (!force && session->client().KernelDriver(out.bus, out.device, out.function, driver) &&
        !driver.empty()) {
        Fail(
            Format("kernel driver %s is bound to this SMBus controller; transactions may "
                   "collide with it (use --force to go on)",
                   driver.c_str()));
        return false;
    }
    return true;
}

bool ParseAddress(const std::string& text, uint8_t& address) {
    uint64_t v = 0;
    if (!ParseHex(text, 0x7F, v)) {
        Fail("ADDR: not a 7-bit address (00-7F): " + text);
        return false;
    }
    address = uint8_t(v);
    return true;
}

bool ParseByte(const std::string& what, const std::string& text, uint8_t& out) {
    uint64_t v = 0;
    if (!ParseHex(text, 0xFF, v)) {
        Fail(what + ": not a hexadecimal byte: " + text);
        return false;
    }
    out = uint8_t(v);
    return true;
}

int Result(int r) {
    return r == kSmbusOk ? 0 : Fail(SmbusResultText(r));
}

int SmbusList(Context& context, Args& args) {
    if (!NoArgumentsLeft(args)) return 1;
    HardwareSession* session = context.Session();
    if (!session) return 1;
    std::vector<SmbusController> found = DetectSmbusControllers(session->client());
    if (found.empty()) return Fail(kNoController);
    for (size_t i = 0; i < found.size(); ++i) {
        const SmbusController& c = found[i];
        std::string line =
            Format("%zu %s %s %04X", i, VendorName(c).c_str(), FunctionText(c).c_str(), c.ioBase);
        std::string driver;
        if (session->client().KernelDriver(c.bus, c.device, c.function, driver) && !driver.empty())
            line += " kernel-driver " + driver;
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

int SmbusScan(Context& context, Args& args) {
    bool force = TakeFlag(args, "--force");
    if (args.size() != 1) return Fail("usage: smbus scan CTRL [--force]");
    HardwareSession* session = nullptr;
    SmbusController c;
    if (!OpenController(context, args[0], force, session, c)) return 1;
    SmbusPorts io(session->client());
    std::string out;
    for (uint32_t a = 0; a <= 0x7E; ++a) {
        uint8_t value = 0;
        int r = SmbusReadByte(io, c.ioBase, uint8_t(a), 0, value, c.vendorKind);
        if (r == kSmbusOk)
            out += Format("%02X\n", a);
        else if (r == kSmbusBusy || r == kSmbusReadIoError || r == kSmbusWriteIoError)
            return Result(r);
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}

int SmbusRead(Context& context, Args& args) {
    bool force = TakeFlag(args, "--force");
    bool word = TakeFlag(args, "--word");
    bool block = TakeFlag(args, "--block");
    if (args.size() != 3 || (word && block))
        return Fail("usage: smbus read CTRL ADDR CMD [--word|--block] [--force]");
    uint8_t address = 0, command = 0;
    if (!ParseAddress(args[1], address) || !ParseByte("CMD", args[2], command)) return 1;
    HardwareSession* session = nullptr;
    SmbusController c;
    if (!OpenController(context, args[0], force, session, c)) return 1;
    SmbusPorts io(session->client());
    if (word) {
        uint16_t v = 0;
        int r = SmbusReadWord(io, c.ioBase, address, command, v, c.vendorKind);
        if (r != kSmbusOk) return Result(r);
        std::printf("%04X\n", v);
    } else if (block) {
        uint8_t bytes[kSmbusBlockMax] = {};
        uint32_t count = 0;
        int r = SmbusReadBlock(io, c.ioBase, address, command, kSmbusBlockMax, bytes, count,
                               c.vendorKind);
        if (r != kSmbusOk) return Result(r);
        std::string line;
        for (uint32_t i = 0; i < count; ++i) line += Format(i ? " %02X" : "%02X", bytes[i]);
        std::printf("%s\n", line.c_str());
    } else {
        uint8_t v = 0;
        int r = SmbusReadByte(io, c.ioBase, address, command, v, c.vendorKind);
        if (r != kSmbusOk) return Result(r);
        std::printf("%02X\n", v);
    }
    return 0;
}

int SmbusWrite(Context& context, Args& args) {
    bool force = TakeFlag(args, "--force");
    bool word = TakeFlag(args, "--word");
    bool block = TakeFlag(args, "--block");
    const char* usage =
        "usage: smbus write CTRL ADDR CMD VALUE [--word] [--force] | smbus write CTRL ADDR CMD "
        "--block B... [--force]";
    if (args.size() < 4 || (word && block) || (!block && args.size() != 4)) return Fail(usage);
    uint8_t address = 0, command = 0;
    if (!ParseAddress(args[1], address) || !ParseByte("CMD", args[2], command)) return 1;
    std::vector<uint8_t> bytes;
    uint64_t value = 0;
    if (block) {
        if (args.size() - 3 > 32) return Fail("--block: 1 to 32 bytes");
        for (size_t i = 3; i < args.size(); ++i) {
            uint8_t b = 0;
            if (!ParseByte("B", args[i], b)) return 1;
            bytes.push_back(b);
        }
    } else if (!ParseHex(args[3], word ? 0xFFFF : 0xFF, value)) {
        return Fail("VALUE: not a hexadecimal " + std::string(word ? "word" : "byte") + ": " +
                    args[3]);
    }
    HardwareSession* session = nullptr;
    SmbusController c;
    if (!OpenController(context, args[0], force, session, c)) return 1;
    SmbusPorts io(session->client());
    if (block)
        return Result(SmbusWriteBlock(io, c.ioBase, address, command, uint8_t(bytes.size()),
                                      bytes.data(), c.vendorKind));
    if (word)
        return Result(
            SmbusWriteWord(io, c.ioBase, address, command, uint16_t(value), c.vendorKind));
    return Result(SmbusWriteByte(io, c.ioBase, address, command, uint8_t(value), c.vendorKind));
}

// The SPD of a memory module, read byte by byte and explained.
int SmbusDecodeSpd(Context& context, Args& args) {
    bool force = TakeFlag(args, "--force");
    if (args.size() != 2) return Fail("usage: smbus decode-spd CTRL ADDR [--force]");
    uint8_t address = 0;
    if (!ParseAddress(args[1], address)) return 1;
    HardwareSession* session = nullptr;
    SmbusController c;
    if (!OpenController(context, args[0], force, session, c)) return 1;
    SmbusPorts io(session->client());
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) {
        int r = SmbusReadByte(io, c.ioBase, address, uint8_t(i), bytes[size_t(i)], c.vendorKind);
        if (r != kSmbusOk) return Result(r);
    }
    for (const std::string& line : DecodeSpd(bytes)) std::printf("%s\n", line.c_str());
    return 0;
}

// The report Save writes for the window: Start, controller N, Scan, address A, Read.
int ReportSmbus(Context& context, Args& args) {
    std::string output, ctrl = "0", addr, start = "00", length = "10";
    bool missing = false;
    for (auto [name, value] : {std::pair<const char*, std::string*>{"-o", &output},
                               {"--ctrl", &ctrl},
                               {"--addr", &addr},
                               {"--start", &start},
                               {"--length", &length}}) {
        if (!TakeOption(args, name, *value, &missing) && missing)
            return Fail(std::string(name) + " needs a value");
    }
    if (!NoArgumentsLeft(args)) return 1;
    uint64_t index = 0;
    if (!ParseHex(ctrl, 0xFF, index)) return Fail("--ctrl: not a controller number: " + ctrl);
    HardwareSession* session = context.Session();
    if (!session) return 1;
    StderrMessages messages;
    SmbusTool tool(session->client(), messages);
    tool.Start();
    if (tool.controllers().empty()) return 1;
    if (index >= tool.controllers().size())
        return Fail(Format("--ctrl: there are %zu controllers", tool.controllers().size()));
    tool.SelectController(int(index));
    tool.Scan();
    if (messages.shown) return 1;
    if (!addr.empty()) {
        uint8_t a = 0;
        if (!ParseAddress(addr, a)) return 1;
        int row = -1;
        for (size_t i = 0; i < tool.found().size(); ++i)
            if (tool.found()[i] == a) row = int(i);
        if (row < 0) return Fail(Format("no device answered at address %02X", a));
        tool.SelectSlave(row);
    }
    tool.startOffset = start;
    tool.length = length;
    tool.ReadRange();
    StringReport report;
    tool.WriteReport(report.stream());
    if (!WriteOutput(output, report.str())) return Fail("cannot write " + output);
    return messages.shown ? 1 : 0;
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"smbus list", "", &SmbusList}),
    CommandRegistrar({"smbus scan", "CTRL [--force]", &SmbusScan}),
    CommandRegistrar({"smbus read", "CTRL ADDR CMD [--word|--block] [--force]", &SmbusRead}),
    CommandRegistrar({"smbus write",
                      "CTRL ADDR CMD VALUE [--word] [--force] | CTRL ADDR CMD --block B...",
                      &SmbusWrite}),
    CommandRegistrar({"smbus decode-spd", "CTRL ADDR [--force]", &SmbusDecodeSpd}),
    CommandRegistrar(
        {"report smbus", "[--ctrl N] [--addr A] [--start S] [--length L] [-o FILE]", &ReportSmbus}),
};

}  // namespace

// The SMBus lines of `driver status`: each controller's function and its kernel driver.
std::string SmbusStatusLines(HardwareSession& session) {
    std::vector<SmbusController> found = DetectSmbusControllers(session.client());
    if (found.empty()) return std::string("SMBus: ") + kNoController + "\n";
    std::string out;
    for (const SmbusController& c : found) {
        std::string driver;
        bool known = session.client().KernelDriver(c.bus, c.device, c.function, driver);
        out += Format("SMBus: %s %s kernel driver %s\n", FunctionText(c).c_str(),
                      VendorName(c).c_str(),
                      !known           ? "unknown"
                      : driver.empty() ? "none"
                                       : driver.c_str());
    }
    return out;
}

}  // namespace kvt::cli
