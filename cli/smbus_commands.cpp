// SMBus commands: the detected controllers, a scan, byte/word/block transactions, and the
// SMBus tool's report for one read window.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/smbus/smbus_tool.h"
#include "tools/smbus/spd_decode.h"
#include "tools/smbus/spd_read.h"

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
    return c.address().FunctionText();
}

std::string VendorName(const SmbusController& c) {
    std::string word = SmbusVendorWord(c.vendorKind);
    while (!word.empty() && word.back() == ' ') word.pop_back();
    return word;
}

// The kernel's adapter of a controller a kernel driver owns: true with its node, or false with
// why it cannot be used.
bool KernelAdapter(DriverClient& client, const SmbusController& c, std::string& text) {
    DriverClient::SmbusKernelCall call;
    call.op = kSmbusOpAdapter;
    if (!client.SmbusKernel(c.address(), c.ioBase, call)) {
        text = "the driver daemon offers no kernel path";
        return false;
    }
    text = call.text;
    return call.error == 0;
}

}  // namespace

bool OpenController(Context& context, const std::string& ctrlText, bool force,
                    HardwareSession*& session, SmbusController& out, SmbusPorts& io) {
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
    std::string driver, text;
    if (force || !session->client().KernelDriver(out.address(), driver) || driver.empty())
        return true;
    if (KernelAdapter(session->client(), out, text)) {
        io.RouteThroughKernel(out.bus, out.device, out.function);
        return true;
    }
    Fail(
        Format("kernel driver %s is bound to this SMBus controller and its adapter cannot be "
               "used (%s); transactions on its ports may collide with it (use --force to go on)",
               driver.c_str(), text.c_str()));
    return false;
}

namespace {

int Result(int r);

int Result(const SmbusPorts& io, int r) {
    if (r != kSmbusOk && io.throughKernel() && !io.kernelText().empty())
        std::fprintf(stderr, "korvanta-cli: through %s\n", io.kernelText().c_str());
    return Result(r);
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

struct SmbusArguments {
    std::string ctrl = "0", addr, cmd, start = "00", length = "10";
    std::vector<std::string> values;
    bool force = false, word = false, block = false, json = false;
    ReportOutput out;
};

void AddController(CLI::App& command, SmbusArguments& o) {
    command.add_option("CTRL", o.ctrl, "controller number (smbus list)")->required();
}

void AddForce(CLI::App& command, SmbusArguments& o) {
    command.add_flag("--force", o.force, "go on when a kernel driver holds the controller");
}

Action DefineSmbusList(CLI::App& command) {
    auto o = std::make_shared<SmbusArguments>();
    command.add_flag("--json", o->json, "write a JSON document");
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (!session) return 1;
        std::vector<SmbusRejected> rejected;
        std::vector<SmbusController> found = DetectSmbusControllers(session->client(), &rejected);
        std::string text;
        Json notControllers = Json::array();
        for (const SmbusRejected& r : rejected) {
            SmbusController c{r.bus, r.device, r.function, r.vendorKind, 0, r.baseRegister};
            text += Format("- %s %s %s\n", VendorName(c).c_str(), FunctionText(c).c_str(),
                           SmbusRejectedReason(r).c_str());
            notControllers.push_back({{"vendor", VendorName(c)},
                                      {"bus", r.bus},
                                      {"device", r.device},
                                      {"function", r.function},
                                      {"baseRegister", r.baseRegister},
                                      {"value", r.value},
                                      {"reason", SmbusRejectedReason(r)}});
        }
        if (found.empty()) {
            if (!o->json) std::fputs(text.c_str(), stdout);
            return Fail(kNoController);
        }
        Json controllers = Json::array();
        for (size_t i = 0; i < found.size(); ++i) {
            const SmbusController& c = found[i];
            std::string line = Format("%zu %s %s %04X", i, VendorName(c).c_str(),
                                      FunctionText(c).c_str(), c.ioBase);
            Json entry = SmbusControllerJson(c, i);
            std::string driver;
            if (!session->client().KernelDriver(c.address(), driver)) {
                entry["kernelDriver"] = nullptr;
                entry["reason"] = "the driver could not tell the kernel driver";
            } else if (driver.empty()) {
                entry["kernelDriver"] = nullptr;
                entry["reason"] = "no kernel driver is bound";
            } else {
                line += " kernel-driver " + driver;
                entry["kernelDriver"] = driver;
            }
            text += line + "\n";
            controllers.push_back(std::move(entry));
        }
        if (o->json)
            text = JsonText(
                {{"controllers", std::move(controllers)}, {"rejected", std::move(notControllers)}});
        std::fputs(text.c_str(), stdout);
        return 0;
    };
}

Action DefineSmbusScan(CLI::App& command) {
    auto o = std::make_shared<SmbusArguments>();
    AddController(command, *o);
    AddForce(command, *o);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (!session) return 1;
        SmbusController c;
        SmbusPorts io(session->client());
        if (!OpenController(context, o->ctrl, o->force, session, c, io)) return 1;
        std::string out;
        for (uint32_t a = 0; a <= 0x7E; ++a) {
            int r = SmbusProbe(io, c.ioBase, uint8_t(a), c.vendorKind);
            if (r == kSmbusOk)
                out += Format("%02X\n", a);
            else if (r == kSmbusBusy || r == kSmbusReadIoError || r == kSmbusWriteIoError)
                return Result(io, r);
        }
        std::fputs(out.c_str(), stdout);
        return 0;
    };
}

Action DefineSmbusRead(CLI::App& command) {
    auto o = std::make_shared<SmbusArguments>();
    AddController(command, *o);
    command.add_option("ADDR", o->addr, "7-bit device address (hexadecimal)")->required();
    command.add_option("CMD", o->cmd, "command byte (hexadecimal)")->required();
    CLI::Option* word = command.add_flag("--word", o->word, "read a word");
    command.add_flag("--block", o->block, "read a block")->excludes(word);
    AddForce(command, *o);
    return [o](Context& context) {
        uint8_t address = 0, cmd = 0;
        if (!ParseAddress(o->addr, address) || !ParseByte("CMD", o->cmd, cmd)) return 1;
        HardwareSession* session = context.Session();
        if (!session) return 1;
        SmbusController c;
        SmbusPorts io(session->client());
        if (!OpenController(context, o->ctrl, o->force, session, c, io)) return 1;
        if (o->word) {
            uint16_t v = 0;
            int r = SmbusReadWord(io, c.ioBase, address, cmd, v, c.vendorKind);
            if (r != kSmbusOk) return Result(io, r);
            std::printf("%04X\n", v);
        } else if (o->block) {
            uint8_t bytes[kSmbusBlockMax] = {};
            uint32_t count = 0;
            int r = SmbusReadBlock(io, c.ioBase, address, cmd, kSmbusBlockMax, bytes, count,
                                   c.vendorKind);
            if (r != kSmbusOk) return Result(io, r);
            std::string line;
            for (uint32_t i = 0; i < count; ++i) line += Format(i ? " %02X" : "%02X", bytes[i]);
            std::printf("%s\n", line.c_str());
        } else {
            uint8_t v = 0;
            int r = SmbusReadByte(io, c.ioBase, address, cmd, v, c.vendorKind);
            if (r != kSmbusOk) return Result(io, r);
            std::printf("%02X\n", v);
        }
        return 0;
    };
}

Action DefineSmbusWrite(CLI::App& command) {
    auto o = std::make_shared<SmbusArguments>();
    AddController(command, *o);
    command.add_option("ADDR", o->addr, "7-bit device address (hexadecimal)")->required();
    command.add_option("CMD", o->cmd, "command byte (hexadecimal)")->required();
    command.add_option("VALUE", o->values, "byte or word to write; with --block 1 to 32 bytes")
        ->required()
        ->expected(-1)
        ->type_name("VALUE|B...");
    CLI::Option* word = command.add_flag("--word", o->word, "write a word");
    command.add_flag("--block", o->block, "write a block")->excludes(word);
    AddForce(command, *o);
    return [o](Context& context) {
        const std::vector<std::string>& values = o->values;
        if (!o->block && values.size() != 1) {
            return Fail("VALUE: one value (several bytes need --block)");
        }
        uint8_t address = 0, cmd = 0;
        if (!ParseAddress(o->addr, address) || !ParseByte("CMD", o->cmd, cmd)) return 1;
        std::vector<uint8_t> bytes;
        uint64_t value = 0;
        if (o->block) {
            if (values.size() > 32) return Fail("--block: 1 to 32 bytes");
            for (const std::string& text : values) {
                uint8_t b = 0;
                if (!ParseByte("B", text, b)) return 1;
                bytes.push_back(b);
            }
        } else if (!ParseHex(values[0], o->word ? 0xFFFF : 0xFF, value)) {
            return Fail("VALUE: not a hexadecimal " + std::string(o->word ? "word" : "byte") +
                        ": " + values[0]);
        }
        HardwareSession* session = context.Session();
        if (!session) return 1;
        SmbusController c;
        SmbusPorts io(session->client());
        if (!OpenController(context, o->ctrl, o->force, session, c, io)) return 1;
        if (o->block)
            return Result(
                io, SmbusJournaledWriteBlock(io, c.address(), c.ioBase, address, cmd,
                                             uint8_t(bytes.size()), bytes.data(), c.vendorKind));
        return Result(io, SmbusJournaledWrite(io, c.address(), c.ioBase, address, cmd, o->word,
                                              uint16_t(value), c.vendorKind));
    };
}

// The SPD of a memory module, read byte by byte (DDR4 and DDR5 page by page) and explained.
Action DefineSmbusDecodeSpd(CLI::App& command) {
    auto o = std::make_shared<SmbusArguments>();
    AddController(command, *o);
    command.add_option("ADDR", o->addr, "7-bit device address (hexadecimal)")->required();
    command.add_flag("--json", o->json, "write a JSON document");
    AddForce(command, *o);
    return [o](Context& context) {
        uint8_t address = 0;
        if (!ParseAddress(o->addr, address)) return 1;
        HardwareSession* session = context.Session();
        if (!session) return 1;
        SmbusController c;
        SmbusPorts io(session->client());
        if (!OpenController(context, o->ctrl, o->force, session, c, io)) return 1;
        std::vector<uint8_t> bytes;
        int r = ReadSpd(io, c.ioBase, address, c.vendorKind, bytes);
        if (r != kSmbusOk) return Result(io, r);
        std::vector<std::string> lines = DecodeSpd(bytes);
        if (!o->json) {
            for (const std::string& line : lines) std::printf("%s\n", line.c_str());
            return 0;
        }
        Json document = {{"address", address}, {"bytesRead", bytes.size()}};
        if (std::optional<SpdFacts> f = DecodeSpdFacts(bytes)) {
            document["memoryType"] = f->memoryType;
            document["moduleType"] = f->moduleType;
            document["capacityMB"] = f->capacityMb;
            document["ranks"] = f->ranks;
            document["subChannels"] = f->subChannels;
            document["busWidth"] = f->busWidth;
            document["eccBits"] = f->eccBits;
            document["dataRate"] = f->dataRate;
            document["timingsPs"] = {{"tCK", f->tCK},
                                     {"tAA", f->tAA},
                                     {"tRCD", f->tRCD},
                                     {"tRP", f->tRP},
                                     {"tRAS", f->tRAS}};
            document["manufacturer"] = {
                {"bank", f->manufacturerBank},
                {"code", f->manufacturerCode},
                {"name", f->manufacturer.empty() ? Json(nullptr) : Json(f->manufacturer)}};
            document["partNumber"] = f->partNumber;
            document["serialNumber"] = f->serial;
            document["crc"] = {{"ok", f->crcOk()},
                               {"first", f->crcFirst},
                               {"last", f->crcLast},
                               {"computed", f->crcComputed},
                               {"stored", f->crcStored}};
        }
        document["lines"] = lines;
        std::fputs(JsonText(document).c_str(), stdout);
        return 0;
    };
}

// The report Save writes for the window: Start, controller N, Scan, address A, Read.
Action DefineReportSmbus(CLI::App& command) {
    auto o = std::make_shared<SmbusArguments>();
    command.add_option("--ctrl", o->ctrl, "controller number, default 0")->type_name("N");
    command.add_option("--addr", o->addr, "the device to read (default: the first found)")
        ->type_name("A");
    command.add_option("--start", o->start, "first offset, default 00")->type_name("S");
    command.add_option("--length", o->length, "bytes to read, default 10")->type_name("L");
    AddForce(command, *o);
    o->out.Add(command);
    return [o](Context& context) {
        uint64_t index = 0;
        if (!ParseHex(o->ctrl, 0xFF, index))
            return Fail("--ctrl: not a controller number: " + o->ctrl);
        HardwareSession* session = context.Session();
        if (!session) return 1;
        StderrMessages messages;
        SmbusTool tool(session->client(), messages);
        tool.confirmRawPorts = [force = o->force](const std::string&) { return force; };
        tool.Start();
        if (tool.controllers().empty()) return 1;
        if (index >= tool.controllers().size())
            return Fail(Format("--ctrl: there are %zu controllers", tool.controllers().size()));
        tool.SelectController(int(index));
        // The warning before forced port access is no failure.
        if (tool.path() == SmbusTool::Path::Ports) messages.shown = false;
        tool.Scan();
        if (messages.shown) return 1;
        if (!o->addr.empty()) {
            uint8_t a = 0;
            if (!ParseAddress(o->addr, a)) return 1;
            int row = -1;
            for (size_t i = 0; i < tool.found().size(); ++i)
                if (tool.found()[i] == a) row = int(i);
            if (row < 0) return Fail(Format("no device answered at address %02X", a));
            tool.SelectSlave(row);
        }
        tool.startOffset = o->start;
        tool.length = o->length;
        tool.ReadRange();
        StringReport report;
        tool.WriteReport(report.stream());
        Json document;
        // Without a controller or a device the text report has nothing to show either (the
        // tool said so).
        if (o->out.json && !tool.controllers().empty() && !tool.found().empty()) {
            document = SmbusJson(tool);
        }
        if (!o->out.Write(report.str(), document)) return Fail("cannot write " + o->out.file);
        return messages.shown ? 1 : 0;
    };
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"smbus list", "Lists the SMBus controllers", &DefineSmbusList}),
    CommandRegistrar({"smbus scan", "Lists the addresses that answer", &DefineSmbusScan}),
    CommandRegistrar({"smbus read", "Reads a byte, word or block", &DefineSmbusRead}),
    CommandRegistrar({"smbus write", "Writes a byte, word or block", &DefineSmbusWrite}),
    CommandRegistrar(
        {"smbus decode-spd", "Explains a memory module's SPD bytes", &DefineSmbusDecodeSpd}),
    CommandRegistrar(
        {"report smbus", "Writes the SMBus report of one device's bytes", &DefineReportSmbus}),
};

}  // namespace

// The SMBus lines of `driver status`: each controller's function and its kernel driver.
std::string SmbusStatusLines(HardwareSession& session) {
    std::vector<SmbusRejected> rejected;
    std::vector<SmbusController> found = DetectSmbusControllers(session.client(), &rejected);
    std::string out;
    for (const SmbusRejected& r : rejected) {
        SmbusController c{r.bus, r.device, r.function, r.vendorKind, 0, r.baseRegister};
        out += Format("SMBus: %s %s %s\n", FunctionText(c).c_str(), VendorName(c).c_str(),
                      SmbusRejectedReason(r).c_str());
    }
    if (found.empty()) return out + std::string("SMBus: ") + kNoController + "\n";
    for (const SmbusController& c : found) {
        std::string driver;
        bool known = session.client().KernelDriver(c.address(), driver).served();
        out += Format("SMBus: %s %s kernel driver %s\n", FunctionText(c).c_str(),
                      VendorName(c).c_str(),
                      !known           ? "unknown"
                      : driver.empty() ? "none"
                                       : driver.c_str());
        std::string text;
        std::string path = !known || driver.empty() ? Format("ports at %04X", c.ioBase)
                           : KernelAdapter(session.client(), c, text)
                               ? "the kernel's adapter " + text
                               : "none without --force (" + text + ")";
        out += Format("SMBus: %s %s at %04X path: %s\n", FunctionText(c).c_str(),
                      VendorName(c).c_str(), c.ioBase, path.c_str());
    }
    return out;
}

}  // namespace kvt::cli
