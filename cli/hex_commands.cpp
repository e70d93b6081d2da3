// Memory Dump and Hex Viewer/Editor from the command line, through the same models as the
// windows: `mem dump` saves what a Memory Dump window would save, `hex find` prints what
// repeated Searches find, `hex patch` types bytes into a file's working copy and saves it.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "platform/temp_folder.h"
#include "tools/hexview/hex_edit_tool.h"
#include "tools/hexview/memory_dump_tool.h"

namespace kvt::cli {
namespace {

// Messages of the models on standard error; the first one decides the exit status.
struct CliMessages : UserMessages {
    bool shown = false;
    void ShowMessage(std::string_view text) override {
        Fail(std::string(text));
        shown = true;
    }
    void SetFocus(std::string_view) override {}
};

std::string WithoutPrefix(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return text.substr(2);
    }
    return text;
}

std::string PrivateBase(const std::string& name) {
    const std::string& folder = PrivateTempFolder(ProgramFolder());
    return folder.empty() ? std::string() : folder + name;
}

int MemDump(Context& context, Args& args) {
    std::string output;
    bool missing = false;
    TakeOption(args, "-o", output, &missing);
    if (missing || args.size() != 2) return Fail("usage: mem dump ADDRESS SIZE [-o FILE]");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    CliMessages messages;
    HexDocument document;
    MemoryDumpTool tool(session->client(), messages, document, PrivateBase("Memory1"));
    tool.address = WithoutPrefix(args[0]);
    tool.size = WithoutPrefix(args[1]);
    if (!tool.Dump()) return 1;
    if (tool.dumpSize() == 0) {
        StringReport none(false);
        tool.WriteReport(none.stream());
        return 1;
    }
    std::FILE* out = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
    if (out == nullptr) return Fail("Error! Open File Error!");
    ReportStream stream(out, false);
    bool ok = tool.WriteReport(stream);
    if (output.empty()) {
        ok = std::fflush(stdout) == 0 && ok;
    } else {
        ok = std::fclose(out) == 0 && ok;
        if (!ok) std::remove(output.c_str());
    }
    return ok ? 0 : Fail("Error! Save File Error!");
}

int HexFind(Context&, Args& args) {
    bool text = TakeFlag(args, "--text");
    bool ignoreCase = TakeFlag(args, "--ignore-case");
    bool all = TakeFlag(args, "--all");
    if (args.size() != 2 || (ignoreCase && !text)) {
        return Fail("usage: hex find FILE PATTERN [--text [--ignore-case]] [--all]");
    }
    std::vector<uint8_t> pattern;
    if (args[1].size() > SearchPanel::kMaxText ||
        !SearchPanel::MakePattern(args[1], !text, pattern)) {
        return Fail("Input data invalid!");
    }
    HexDocument document;
    if (!document.AttachReadOnly(args[0])) return Fail("Error! Open File Error!");
    const FindMode mode = text && ignoreCase ? FindMode::IgnoreCase : FindMode::Exact;
    std::string found;
    FindResult result;
    while ((result = document.FindNext(pattern, mode)) == FindResult::Found) {
        AppendFormat(found, "%08llX\n", static_cast<unsigned long long>(document.position));
        if (!all) break;
    }
    if (result == FindResult::Failed) return Fail("Error! Open File Error!");
    if (found.empty()) return Fail("String not found!");
    std::fwrite(found.data(), 1, found.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int HexPatch(Context&, Args& args) {
    if (args.size() != 3) return Fail("usage: hex patch FILE OFFSET BYTES");
    uint64_t offset = 0;
    if (!ParseHex(args[1], UINT64_MAX, offset)) return Fail("bad offset '" + args[1] + "'");
    std::string digits = WithoutPrefix(args[2]);
    std::vector<uint8_t> bytes;
    if (!HexTextToBytes(digits, bytes)) return Fail("Input data invalid!");
    if (digits.size() % 2) digits.insert(digits.begin(), '0');
    CliMessages messages;
    HexDocument document;
    HexEditTool tool(messages, document, PrivateBase("Hex1"));
    if (!tool.Open(args[0])) return 1;
    if (offset > tool.fileSize() || bytes.size() > tool.fileSize() - offset) {
        return Fail(Format("the bytes run past the end of %s (%llX bytes); nothing changed",
                           args[0].c_str(), static_cast<unsigned long long>(tool.fileSize())));
    }
    document.position = offset;
    document.column = kColumnHigh;
    for (char c : digits) {
        if (!document.Type(static_cast<uint8_t>(c))) return Fail("Error! Copy File Error!");
    }
    return tool.Save() ? 0 : 1;
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"mem dump", "ADDRESS SIZE [-o FILE]", &MemDump}),
    CommandRegistrar({"hex find", "FILE PATTERN [--text [--ignore-case]] [--all]", &HexFind}),
    CommandRegistrar({"hex patch", "FILE OFFSET BYTES", &HexPatch}),
};

}  // namespace
}  // namespace kvt::cli
