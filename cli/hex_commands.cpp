// Memory Dump and Hex Viewer/Editor from the command line, through the same models as the
// windows: `mem dump` saves what a Memory Dump window would save, `hex find` prints what
// repeated Searches find, `hex patch` types bytes into a file's working copy and saves it.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
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

struct DumpArguments {
    std::string address, size, output;
    bool skipHoles = false;
};

// Offset, sixteen bytes and their printable characters per line, as `mem read` shows a
// terminal.
bool WriteHexLines(HexDocument& document, uint64_t address, std::FILE* out) {
    std::vector<uint8_t> data(static_cast<size_t>(std::min(document.length(), kHexChunk)));
    for (uint64_t off = 0; off < document.length(); off += kHexChunk) {
        size_t n = document.ReadData(data.data(), off, data.size());
        if (n == 0) return false;
        std::string text = HexDump(address + off, data.data(), n);
        if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return false;
    }
    return true;
}

int MemDump(Context& context, const DumpArguments& args) {
    const std::string& output = args.output;
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    CliMessages messages;
    HexDocument document;
    MemoryDumpTool tool(session->client(), messages, document, PrivateBase("Memory1"));
    tool.address = WithoutPrefix(args.address);
    tool.size = WithoutPrefix(args.size);
    tool.skipHoles = args.skipHoles;
    // A read refused part-way keeps the bytes before it, as the window does: they are saved
    // and the exit status is 1 all the same.
    const bool whole = tool.Dump();
    for (const MemoryDumpTool::Hole& hole : tool.holes()) {
        std::fprintf(stderr, "korvanta-cli: %08llX-%08llX refused, filled with 00h\n",
                     static_cast<unsigned long long>(hole.address),
                     static_cast<unsigned long long>(hole.address + hole.length - 1));
    }
    if (tool.dumpSize() == 0) {
        if (!whole) return 1;
        StringReport none(false);
        tool.WriteReport(none.stream());
        return 1;
    }
    // A terminal gets hex lines; a file, a pipe or -o get the bytes.
    const bool lines = output.empty() && isatty(STDOUT_FILENO);
    std::FILE* out = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
    if (out == nullptr) return Fail("Error! Open File Error!");
    ReportStream stream(out, false);
    bool ok =
        lines ? WriteHexLines(tool.document(), tool.dumpAddress(), out) : tool.WriteReport(stream);
    if (output.empty()) {
        ok = std::fflush(stdout) == 0 && ok;
    } else {
        ok = std::fclose(out) == 0 && ok;
        if (!ok) std::remove(output.c_str());
    }
    if (!ok) return Fail("Error! Save File Error!");
    return whole ? 0 : 1;
}

struct FindArguments {
    std::string file, pattern;
    bool text = false, ignoreCase = false, all = false;
};

int HexFind(const FindArguments& args) {
    const bool text = args.text, ignoreCase = args.ignoreCase, all = args.all;
    std::vector<uint8_t> pattern;
    if (args.pattern.size() > SearchPanel::kMaxText ||
        !SearchPanel::MakePattern(args.pattern, !text, pattern)) {
        return Fail("Input data invalid!");
    }
    HexDocument document;
    if (!document.AttachReadOnly(args.file)) return Fail("Error! Open File Error!");
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

struct PatchArguments {
    std::string file, offset, bytes;
};

int HexPatch(const PatchArguments& args) {
    uint64_t offset = 0;
    if (!ParseHex(args.offset, UINT64_MAX, offset)) return Fail("bad offset '" + args.offset + "'");
    std::string digits = WithoutPrefix(args.bytes);
    std::vector<uint8_t> bytes;
    if (!HexTextToBytes(digits, bytes)) return Fail("Input data invalid!");
    if (digits.size() % 2) digits.insert(digits.begin(), '0');
    CliMessages messages;
    HexDocument document;
    HexEditTool tool(messages, document, PrivateBase("Hex1"));
    if (!tool.Open(args.file)) return 1;
    if (offset > tool.fileSize() || bytes.size() > tool.fileSize() - offset) {
        return Fail(Format("the bytes run past the end of %s (%llX bytes); nothing changed",
                           args.file.c_str(), static_cast<unsigned long long>(tool.fileSize())));
    }
    document.position = offset;
    document.column = kColumnHigh;
    for (char c : digits) {
        if (!document.Type(static_cast<uint8_t>(c))) return Fail("Error! Copy File Error!");
    }
    return tool.Save() ? 0 : 1;
}

Action DefineMemDump(CLI::App& command) {
    auto o = std::make_shared<DumpArguments>();
    command.add_option("ADDRESS", o->address, "physical address (hexadecimal)")->required();
    command.add_option("SIZE", o->size, "bytes to dump (hexadecimal)")->required();
    command.add_option("-o", o->output, "write the bytes to FILE")->type_name("FILE");
    command.add_flag("--skip-holes", o->skipHoles,
                     "go on past refused pages, filling them with 00h (listed on standard error)");
    return [o](Context& context) { return MemDump(context, *o); };
}

Action DefineHexFind(CLI::App& command) {
    auto o = std::make_shared<FindArguments>();
    command.add_option("FILE", o->file, "file to search")->required();
    command.add_option("PATTERN", o->pattern, "hexadecimal bytes, or text with --text")->required();
    CLI::Option* text = command.add_flag("--text", o->text, "PATTERN is text, taken byte for byte");
    command.add_flag("--ignore-case", o->ignoreCase, "fold A-Z and a-z")->needs(text);
    command.add_flag("--all", o->all, "every occurrence, not only the first");
    return [o](Context&) { return HexFind(*o); };
}

Action DefineHexPatch(CLI::App& command) {
    auto o = std::make_shared<PatchArguments>();
    command.add_option("FILE", o->file, "file to change")->required();
    command.add_option("OFFSET", o->offset, "where the bytes go (hexadecimal)")->required();
    command.add_option("BYTES", o->bytes, "hexadecimal bytes")->required();
    return [o](Context&) { return HexPatch(*o); };
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar(
        {"mem dump", "Dumps physical memory as a Memory Dump window saves it", &DefineMemDump}),
    CommandRegistrar({"hex find", "Finds bytes or text in a file", &DefineHexFind}),
    CommandRegistrar({"hex patch", "Writes bytes into a file at an offset", &DefineHexPatch}),
};

}  // namespace
}  // namespace kvt::cli
