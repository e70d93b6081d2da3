// `pci write` and `pci set`: configuration writes. A plain `pci write` sends the double word as
// it always did; with --width, --mask, --clear-status, --dry-run or --json the write is planned
// against the function's bytes (tools/pci/pci_write.h) and sent as one access of its width,
// with write-1-to-clear status bits sent as 0 unless asked. `pci set` writes one capability
// field by the decoder's name.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "tools/pci/pci_caps.h"
#include "tools/pci/pci_write.h"

namespace kvt::cli {

namespace {

// The function's configuration bytes: its whole 4 KiB, or the 256 bytes of a conventional
// function (whose longer read the daemon refuses).
bool ReadSpace(HardwareSession& session, const PciAddress& f, std::vector<uint8_t>& bytes,
               int& status) {
    DriverClient& client = session.client();
    DriverClient::PciBlockRead block = client.ReadPciConfigBlock(f.ConfigAddress(), 0, 0x1000);
    if (!block.served) block = client.ReadPciConfigBlock(f.ConfigAddress(), 0, 0x100);
    if (!block.served) {
        status = FailRequest(session, Access::PciConfig, false, "the configuration read failed",
                             RequestStatus{block.failure, {}});
        return false;
    }
    if (block.bytes[0] == 0xFF && block.bytes[1] == 0xFF && block.bytes[2] == 0xFF &&
        block.bytes[3] == 0xFF) {
        status = Fail(Format("%s: no function answers (register 00h reads FFFFFFFFh)",
                             f.FunctionText().c_str()));
        return false;
    }
    bytes = std::move(block.bytes);
    return true;
}

std::string Hex(uint32_t value, uint32_t width) {
    return Format("%0*X", int(2 * width), value);
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

// The plan as lines: what is written where, and what the status protection did.
std::string PlanText(const PciAddress& f, const PciWritePlan& p, bool dryRun) {
    std::string text = Format("%s offset %03X width %u%s\n", f.FunctionText().c_str(), p.offset,
                              p.width, dryRun ? " (dry run: nothing written)" : "");
    text += "old: " + Hex(p.old, p.width) + "\n";
    text += "new: " + Hex(p.value, p.width) + "\n";
    if (p.protect != 0) {
        text += "protected: " + Hex(p.protect, p.width) + " (write-1-to-clear bits of " +
                Joined(p.registers) + " sent as 0; --clear-status writes them)\n";
    } else {
        text += "protected: none\n";
    }
    if (p.clears != 0) text += "clears: " + Hex(p.clears, p.width) + "\n";
    return text;
}

Json PlanJson(const PciAddress& f, const PciWritePlan& p, bool written,
              const std::optional<uint32_t>& after) {
    Json doc = {{"function", f.FunctionText()},
                {"offset", p.offset},
                {"width", p.width},
                {"old", p.old},
                {"new", p.value},
                {"protected", p.protect},
                {"clears", p.clears},
                {"registers", p.registers},
                {"written", written}};
    doc["after"] = after ? Json(*after) : Json(nullptr);
    return doc;
}

// Plans and (unless a dry run) sends one sized write; prints the plan on a dry run or with
// --json.
int RunPlanned(HardwareSession& session, const PciAddress& f, const std::vector<uint8_t>& bytes,
               const PciWriteRequest& request, bool dryRun, bool json) {
    const PciWritePlan plan =
        PlanPciWrite(bytes.data(), static_cast<uint32_t>(bytes.size()), request);
    if (!plan.ok()) return Fail(f.FunctionText() + ": " + plan.error);
    if (plan.dropped != 0 && !dryRun) {
        std::fprintf(stderr,
                     "korvanta-cli: note: write-1-to-clear bits %s of %s sent as 0 "
                     "(--clear-status clears them)\n",
                     Hex(plan.dropped, plan.width).c_str(), Joined(plan.registers).c_str());
    }
    std::optional<uint32_t> after;
    if (!dryRun) {
        Reply<std::optional<uint32_t>> written =
            session.client().TryWritePciConfigSized(f.At(plan.offset), plan.width, plan.value);
        if (!written)
            return FailRequest(session, Access::PciConfig, true, "the configuration write failed",
                               written);
        after = written.value;
    }
    if (json) {
        std::fputs(JsonText(PlanJson(f, plan, !dryRun, after)).c_str(), stdout);
    } else if (dryRun) {
        std::fputs(PlanText(f, plan, true).c_str(), stdout);
    }
    return 0;
}

struct WriteArguments {
    std::string function, offset, value, mask;
    uint32_t width = 0;  // 0: not given
    bool clearStatus = false, dryRun = false, json = false;
};

Action DefinePciWrite(CLI::App& command) {
    auto o = std::make_shared<WriteArguments>();
    command.add_option("FUNCTION", o->function, "bus, device and function (hexadecimal)")
        ->required()
        ->type_name("BB:DD.F");
    command.add_option("OFFSET", o->offset, "register offset, a multiple of the width up to FFF")
        ->required()
        ->check(kHex)
        ->type_name("HEX");
    command.add_option("VALUE", o->value, "value to write (the mask's bits with --mask)")
        ->required()
        ->check(kHex)
        ->type_name("HEX");
    command.add_option("--width", o->width, "access width in bytes, default 4")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                return text == "1" || text == "2" || text == "4" ? "" : "not 1, 2 or 4: " + text;
            },
            ""))
        ->type_name("1|2|4");
    command.add_option("--mask", o->mask, "change only these bits; the others keep their value")
        ->check(kHex)
        ->type_name("HEX");
    command.add_flag("--clear-status", o->clearStatus,
                     "write the value's write-1-to-clear status bits as given (clearing them)");
    command.add_flag("--dry-run", o->dryRun, "print what would be written and write nothing");
    command.add_flag("--json", o->json, "write a JSON document of the write");
    return [o](Context& context) {
        PciAddress f;
        uint64_t offset = 0, value = 0, mask = 0;
        if (!ParseFunction(o->function, f))
            return Fail("bad function '" + o->function + "' (BB:DD.F)");
        const bool planned =
            o->width != 0 || !o->mask.empty() || o->clearStatus || o->dryRun || o->json;
        if (!planned) {
            // As it always was: one double word, through the window from 100h.
            if (!ParseHex(o->offset, 0xFFC, offset) || offset % 4 != 0)
                return Fail("bad offset '" + o->offset + "' (a multiple of 4 up to FFC)");
            if (!ParseHex(o->value, 0xFFFFFFFF, value)) return Fail("bad value '" + o->value + "'");
            f = f.At(static_cast<uint32_t>(offset));
            HardwareSession* session = context.Session();
            if (session == nullptr) return 1;
            DriverClient& client = session->client();
            uint32_t v = static_cast<uint32_t>(value);
            if (f.reg < 0x100) {
                RequestStatus written = client.TryWritePciConfig(f.ConfigAddress(), v);
                if (!written) {
                    return FailRequest(*session, Access::PciConfig, true,
                                       "the configuration write failed", written);
                }
            } else {
                std::string error;
                uint32_t address = 0;
                if (!WindowAddress(client, f, address, error)) return Fail(error);
                RequestStatus written = client.TryWriteMemory(address, &v, 4);
                if (!written) {
                    return FailRequest(*session, Access::PcieWindow, true,
                                       "the configuration write failed", written);
                }
            }
            return 0;
        }
        const uint32_t width = o->width == 0 ? 4 : o->width;
        if (!ParseHex(o->offset, 0xFFF, offset))
            return Fail("bad offset '" + o->offset + "' (up to FFF)");
        if (!ParseHex(o->value, 0xFFFFFFFF, value)) return Fail("bad value '" + o->value + "'");
        if (!o->mask.empty() && !ParseHex(o->mask, 0xFFFFFFFF, mask))
            return Fail("bad mask '" + o->mask + "'");
        PciWriteRequest request;
        request.offset = static_cast<uint32_t>(offset);
        request.width = width;
        request.value = static_cast<uint32_t>(value);
        if (!o->mask.empty()) request.mask = static_cast<uint32_t>(mask);
        request.clearStatus = o->clearStatus;
        // Width, alignment and value are checked before the daemon is asked.
        std::vector<uint8_t> any(0x1000, 0);
        PciWritePlan check = PlanPciWrite(any.data(), 0x1000, request);
        if (!check.ok()) return Fail(check.error);
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        std::vector<uint8_t> bytes;
        int status = 0;
        if (!ReadSpace(*session, f, bytes, status)) return status;
        return RunPlanned(*session, f, bytes, request, o->dryRun, o->json);
    };
}

struct SetArguments {
    std::string function, assignment;
    bool dryRun = false, json = false;
};

Action DefinePciSet(CLI::App& command) {
    auto o = std::make_shared<SetArguments>();
    command.add_option("FUNCTION", o->function, "bus, device and function (hexadecimal)")
        ->required()
        ->type_name("BB:DD.F");
    command
        .add_option("ASSIGNMENT", o->assignment,
                    "a capability field by its name in 'pci caps' (KEY.REGISTER.FIELD) and the "
                    "field's bits (hexadecimal)")
        ->required()
        ->type_name("FIELD=VALUE");
    command.add_flag("--dry-run", o->dryRun, "print what would be written and write nothing");
    command.add_flag("--json", o->json, "write a JSON document of the write");
    return [o](Context& context) {
        PciAddress f;
        if (!ParseFunction(o->function, f))
            return Fail("bad function '" + o->function + "' (BB:DD.F)");
        const size_t eq = o->assignment.find('=');
        if (eq == std::string::npos || eq == 0)
            return Fail("bad assignment '" + o->assignment +
                        "' (FIELD=VALUE, e.g. pcie.link_control.aspm=0)");
        const std::string name = o->assignment.substr(0, eq);
        const std::string valueText = o->assignment.substr(eq + 1);
        uint64_t value = 0;
        if (!ParseHex(valueText, ~uint64_t{0}, value))
            return Fail("bad value '" + valueText + "' (hexadecimal)");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        std::vector<uint8_t> bytes;
        int status = 0;
        if (!ReadSpace(*session, f, bytes, status)) return status;
        const uint32_t length = static_cast<uint32_t>(bytes.size());
        const PciCapabilityList list = DecodePciCapabilities(bytes.data(), length);
        const PciFieldWrite field =
            PlanPciFieldWrite(list, name, value, FindPciClearBits(bytes.data(), length));
        if (!field.ok()) return Fail(f.FunctionText() + ": " + field.error);
        return RunPlanned(*session, f, bytes, field.request, o->dryRun, o->json);
    };
}

const CommandRegistrar kWriteCommands[] = {
    CommandRegistrar({"pci write", "Writes a configuration register", &DefinePciWrite}),
    CommandRegistrar({"pci set", "Writes one capability field by its name", &DefinePciSet}),
};

}  // namespace

}  // namespace kvt::cli
