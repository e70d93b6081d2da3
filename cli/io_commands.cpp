// Group I/O, CMOS and OS Info from the command line: the tools' reports, byte for byte as Save
// writes them, and single CMOS bytes.
#include <cstdio>
#include <string>

#include "cli/cli.h"
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

bool TakeOutput(Args& args, std::string& output) {
    bool missing = false;
    return TakeOption(args, "-o", output, &missing) || !missing;
}

// --bank 70|72|74 (0x accepted), default 70: the bank list's row.
bool TakeBank(Args& args, int& row) {
    std::string text = "70";
    bool missing = false;
    TakeOption(args, "--bank", text, &missing);
    uint64_t port = 0;
    if (missing || !ParseHex(text, 0xFF, port) || (port != 0x70 && port != 0x72 && port != 0x74)) {
        return false;
    }
    row = static_cast<int>((port - 0x70) / 2);
    return true;
}

// Writes the report, then fails when the driver refused requests for it.
int Finish(const std::string& output, const std::string& bytes, size_t refused) {
    if (!WriteOutput(output, bytes)) return Fail("cannot write " + output);
    if (refused != 0) {
        return Fail(Format("the driver refused %zu request%s", refused, refused == 1 ? "" : "s"));
    }
    return 0;
}

int ReportCmos(Context& context, Args& args) {
    std::string output, size = "128";
    int bank = 0;
    bool missing = false;
    if (!TakeOutput(args, output)) return Fail("-o needs a file name");
    if (!TakeBank(args, bank)) return Fail("--bank takes 70, 72 or 74");
    TakeOption(args, "--size", size, &missing);
    if (missing || (size != "128" && size != "256") || !args.empty()) {
        return Fail("usage: report cmos [--bank 70|72|74] [--size 128|256] [-o FILE]");
    }
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    StderrMessages messages;
    CmosTool tool(session->client(), messages);
    tool.size256 = size == "256";
    tool.SelectBank(bank);
    StringReport report;
    tool.WriteReport(report.stream());
    return Finish(output, report.str(), tool.failedRequests());
}

int CmosRead(Context& context, Args& args) {
    int bank = 0;
    uint64_t offset = 0;
    if (!TakeBank(args, bank) || args.size() != 1) {
        return Fail("usage: cmos read OFFSET [--bank 70|72|74]");
    }
    if (!ParseHex(args[0], 0xFF, offset)) return Fail("Input CMOS Offset Error!");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    StderrMessages messages;
    CmosTool tool(session->client(), messages);
    tool.SelectBank(bank);
    uint8_t value = 0;
    if (!tool.ReadByte(static_cast<uint8_t>(offset), value)) return Fail("the CMOS read failed");
    std::printf("%02X\n", value);
    return 0;
}

int CmosWrite(Context& context, Args& args) {
    int bank = 0;
    if (!TakeBank(args, bank) || args.size() != 2) {
        return Fail("usage: cmos write OFFSET VALUE [--bank 70|72|74]");
    }
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    StderrMessages messages;
    CmosTool tool(session->client(), messages);
    tool.SelectBank(bank);
    tool.offset = FieldText(args[0]);
    tool.data = FieldText(args[1]);
    tool.Write();
    return messages.shown ? 1 : 0;
}

int ReportGroupIo(Context& context, Args& args) {
    std::string output, width = "1";
    bool missing = false;
    if (!TakeOutput(args, output)) return Fail("-o needs a file name");
    TakeOption(args, "--width", width, &missing);
    if (missing || (width != "1" && width != "2" && width != "4")) {
        return Fail("--width takes 1, 2 or 4");
    }
    std::string indexPort, dataPort;
    bool indexed = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--index") continue;
        if (i + 2 >= args.size()) return Fail("--index needs INDEXPORT DATAPORT");
        indexPort = args[i + 1];
        dataPort = args[i + 2];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 3);
        indexed = true;
        break;
    }
    if (args.size() != 2) {
        return Fail(
            "usage: report groupio [--index INDEXPORT DATAPORT] [--width 1|2|4] START END "
            "[-o FILE]");
    }
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    StderrMessages messages;
    GroupIoTool tool(session->client(), messages);
    tool.width = static_cast<uint32_t>(width[0] - '0');
    if (indexed) {
        tool.SelectMode(GroupIoTool::Mode::Index);
        tool.indexPort = FieldText(indexPort);
        tool.dataPort = FieldText(dataPort);
        tool.startOffset = FieldText(args[0]);
        tool.endOffset = FieldText(args[1]);
    } else {
        tool.start = FieldText(args[0]);
        tool.end = FieldText(args[1]);
    }
    tool.Read();
    if (messages.shown) return 1;
    StringReport report;
    tool.WriteReport(report.stream());
    return Finish(output, report.str(), tool.failedRequests());
}

int ReportOs(Context& context, Args& args) {
    std::string output;
    if (!TakeOutput(args, output)) return Fail("-o needs a file name");
    if (!args.empty()) return Fail("usage: report os [-o FILE]");
    // The host's facts need no driver; a board's are asked of its daemon.
    HardwareSession* session = context.board().empty() ? context.SessionOnly() : context.Session();
    if (session == nullptr) return 1;
    OsInfoTool tool(session->platform());
    tool.Open();
    StringReport report;
    tool.WriteReport(report.stream());
    return Finish(output, report.str(), 0);
}

CommandRegistrar registrars[] = {
    CommandRegistrar({"report cmos", "[--bank 70|72|74] [--size 128|256] [-o FILE]", &ReportCmos}),
    CommandRegistrar({"cmos read", "OFFSET [--bank 70|72|74]", &CmosRead}),
    CommandRegistrar({"cmos write", "OFFSET VALUE [--bank 70|72|74]", &CmosWrite}),
    CommandRegistrar({"report groupio",
                      "[--index INDEXPORT DATAPORT] [--width 1|2|4] START END [-o FILE]",
                      &ReportGroupIo}),
    CommandRegistrar({"report os", "[-o FILE]", &ReportOs}),
};

}  // namespace

}  // namespace kvt::cli
