// Group I/O, CMOS and OS Info from the command line: the tools' reports, byte for byte as Save
// writes them, and single CMOS bytes.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/io/cmos_tool.h"
#include "tools/io/group_io_tool.h"
#include "tools/osinfo/os_info_tool.h"

namespace kvt::cli {

namespace {

// Entry errors go to standard error, one line each.
class StderrMessages : public UserMessages {
  public:
    void ShowMessage(std::string_view text) override {
        std::fprintf(stderr, "korvanta-cli: %.*s\n", static_cast<int>(text.size()), text.data());
        shown = true;
    }
    void SetFocus(std::string_view) override {}
    bool shown = false;
};

// A field text as typed, with a 0x prefix dropped.
std::string FieldText(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return text.substr(2);
    }
    return text;
}

// --bank 70|72|74 (0x accepted), default 70.
const CLI::Validator kBank(
    [](std::string& text) -> std::string {
        uint64_t port = 0;
        bool ok = ParseHex(text, 0xFF, port) && (port == 0x70 || port == 0x72 || port == 0x74);
        return ok ? std::string() : "takes 70, 72 or 74";
    },
    "");

// The bank list's row of a --bank text the validator accepted.
int BankRow(const std::string& text) {
    uint64_t port = 0x70;
    ParseHex(text, 0xFF, port);
    return static_cast<int>((port - 0x70) / 2);
}

void AddBankOption(CLI::App& command, std::string& bank) {
    command.add_option("--bank", bank, "the CMOS bank's index port, default 70")
        ->check(kBank)
        ->type_name("70|72|74");
}

// Writes the report, then fails when the driver refused port requests for it, saying why.
int Finish(const ReportOutput& out, const std::string& text, const Json& json, size_t refused,
           HardwareSession* session = nullptr) {
    if (!out.Write(text, json)) return Fail("cannot write " + out.file);
    if (refused != 0) {
        std::string message =
            Format("the driver refused %zu request%s", refused, refused == 1 ? "" : "s");
        std::string cause =
            session == nullptr ? std::string() : RefusalCause(*session, Access::Ports, false);
        if (!cause.empty()) message += " (" + cause + ")";
        return Fail(message);
    }
    return 0;
}

struct CmosArguments {
    std::string bank = "70", size = "128", offset, value;
    ReportOutput out;
};

Action DefineReportCmos(CLI::App& command) {
    auto o = std::make_shared<CmosArguments>();
    AddBankOption(command, o->bank);
    command.add_option("--size", o->size, "bytes of the bank to dump, default 128")
        ->check(OneOf({"128", "256"}))
        ->type_name("128|256");
    o->out.Add(command);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        StderrMessages messages;
        CmosTool tool(session->client(), messages);
        tool.size256 = o->size == "256";
        tool.SelectBank(BankRow(o->bank));
        return Finish(o->out, TextOf(tool), o->out.json ? CmosJson(tool) : Json(),
                      tool.failedRequests(), session);
    };
}

Action DefineCmosRead(CLI::App& command) {
    auto o = std::make_shared<CmosArguments>();
    command.add_option("OFFSET", o->offset, "offset in the bank (hexadecimal)")->required();
    AddBankOption(command, o->bank);
    return [o](Context& context) {
        uint64_t offset = 0;
        if (!ParseHex(o->offset, 0xFF, offset)) return Fail("Input CMOS Offset Error!");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        StderrMessages messages;
        CmosTool tool(session->client(), messages);
        tool.SelectBank(BankRow(o->bank));
        uint8_t value = 0;
        RequestStatus read = tool.ReadByte(static_cast<uint8_t>(offset), value);
        if (!read) {
            return FailRequest(*session, Access::Ports, false, "the CMOS read failed", read);
        }
        std::printf("%02X\n", value);
        return 0;
    };
}

Action DefineCmosWrite(CLI::App& command) {
    auto o = std::make_shared<CmosArguments>();
    command.add_option("OFFSET", o->offset, "offset in the bank (hexadecimal)")->required();
    command.add_option("VALUE", o->value, "byte to write (hexadecimal)")->required();
    AddBankOption(command, o->bank);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        StderrMessages messages;
        CmosTool tool(session->client(), messages);
        tool.SelectBank(BankRow(o->bank));
        tool.offset = FieldText(o->offset);
        tool.data = FieldText(o->value);
        tool.Write();
        return messages.shown ? 1 : 0;
    };
}

struct GroupIoArguments {
    std::vector<std::string> index;
    std::string width = "1", start, end;
    ReportOutput out;
};

Action DefineReportGroupIo(CLI::App& command) {
    auto o = std::make_shared<GroupIoArguments>();
    command.add_option("--index", o->index, "read offsets through an index/data port pair")
        ->expected(2)
        ->allow_extra_args(false)  // START and END follow the two ports
        ->type_name("INDEXPORT DATAPORT");
    command.add_option("--width", o->width, "access width in bytes, default 1")
        ->check(OneOf({"1", "2", "4"}))
        ->type_name("1|2|4");
    command.add_option("START", o->start, "first port, or first offset with --index")->required();
    command.add_option("END", o->end, "last port, or last offset with --index")->required();
    o->out.Add(command);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        StderrMessages messages;
        GroupIoTool tool(session->client(), messages);
        tool.width = static_cast<uint32_t>(o->width[0] - '0');
        if (!o->index.empty()) {
            tool.SelectMode(GroupIoTool::Mode::Index);
            tool.indexPort = FieldText(o->index[0]);
            tool.dataPort = FieldText(o->index[1]);
            tool.startOffset = FieldText(o->start);
            tool.endOffset = FieldText(o->end);
        } else {
            tool.start = FieldText(o->start);
            tool.end = FieldText(o->end);
        }
        tool.Read();
        if (messages.shown) return 1;
        return Finish(o->out, TextOf(tool), o->out.json ? GroupIoJson(tool) : Json(),
                      tool.failedRequests(), session);
    };
}

Action DefineReportOs(CLI::App& command) {
    auto out = std::make_shared<ReportOutput>();
    out->Add(command);
    return [out](Context& context) {
        // The host's facts need no driver; a board's are asked of its daemon.
        HardwareSession* session =
            context.board().empty() ? context.SessionOnly() : context.Session();
        if (session == nullptr) return 1;
        OsInfoTool tool(session->platform());
        tool.Open();
        return Finish(*out, TextOf(tool), out->json ? OsInfoJson(tool) : Json(), 0);
    };
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"report cmos", "Writes the CMOS report of a bank", &DefineReportCmos}),
    CommandRegistrar({"cmos read", "Reads a CMOS byte", &DefineCmosRead}),
    CommandRegistrar({"cmos write", "Writes a CMOS byte", &DefineCmosWrite}),
    CommandRegistrar({"report groupio", "Writes the Group I/O report of a port or offset range",
                      &DefineReportGroupIo}),
    CommandRegistrar({"report os", "Writes the OS Info report", &DefineReportOs}),
};

}  // namespace

}  // namespace kvt::cli
