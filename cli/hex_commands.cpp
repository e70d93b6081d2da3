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
#include "platform/hex.h"
#include "platform/report_stream.h"
#include "platform/temp_folder.h"
#include "tools/hexview/hex_edit_tool.h"
#include "tools/hexview/memory_dump_tool.h"
#include "tools/io/hex_input.h"

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

// The addresses a memory request reaches: a high double word of all ones stands for the sign
// extension of a 32-bit address.
constexpr uint64_t kPhysicalEnd = 0xFFFFFFFF00000000ull;
constexpr uint64_t kFourGiB = 0x100000000ull;

// A range past the first 4 GiB, which the Memory Dump window does not reach (its addresses
// have eight digits): read through 64-bit memory requests in 4 MiB pieces (none crossing
// 4 GiB) and written out as the window would save it. A refused piece ends the dump there,
// its bytes before it kept, unless holes are skipped (page by page, filled with 00h).
int MemDumpHigh(Context& context, const DumpArguments& args, uint64_t start, uint64_t bytes) {
    if (bytes == 0) return Fail("No Data To Save!");
    if (start >= kPhysicalEnd || bytes > kPhysicalEnd - start)
        return Fail(Format("the range runs past %llX, the last address a memory request reaches",
                           static_cast<unsigned long long>(kPhysicalEnd - 1)));
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    const std::string& output = args.output;
    const bool lines = output.empty() && isatty(STDOUT_FILENO);
    std::FILE* out = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
    if (out == nullptr) return Fail("Error! Open File Error!");
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(bytes, kHexChunk)));
    DriverClient& client = session->client();
    bool written = true, whole = true;
    RequestStatus failed;
    uint64_t done = 0;
    while (written && done < bytes) {
        const uint64_t at = start + done;
        uint64_t n = std::min<uint64_t>(bytes - done, kHexChunk);
        if (at < kFourGiB) n = std::min(n, kFourGiB - at);
        RequestStatus read = client.TryReadMemory64(at, buffer.data(), static_cast<uint32_t>(n));
        uint64_t got = n;
        if (!read) {
            // Page by page, so the bytes before the refused page are kept.
            got = 0;
            while (got < n) {
                const uint64_t page = std::min(n - got, 0x1000 - (at + got) % 0x1000);
                RequestStatus piece = client.TryReadMemory64(at + got, buffer.data() + got,
                                                             static_cast<uint32_t>(page));
                if (!piece) {
                    if (!args.skipHoles) {
                        failed = piece;
                        break;
                    }
                    std::fill_n(buffer.data() + got, page, uint8_t{0});
                    std::fprintf(stderr, "korvanta-cli: %08llX-%08llX refused, filled with 00h\n",
                                 static_cast<unsigned long long>(at + got),
                                 static_cast<unsigned long long>(at + got + page - 1));
                }
                got += page;
            }
        }
        if (got > 0) {
            if (lines) {
                const std::string text = HexDump(at, buffer.data(), static_cast<size_t>(got));
                written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
            } else {
                written = std::fwrite(buffer.data(), 1, got, out) == got;
            }
        }
        done += got;
        if (got < n) {
            whole = false;
            break;
        }
    }
    if (output.empty()) {
        written = std::fflush(stdout) == 0 && written;
    } else {
        written = std::fclose(out) == 0 && written;
        if (!written || done == 0) std::remove(output.c_str());
    }
    if (!written) return Fail("Error! Save File Error!");
    if (!whole)
        return FailRequest(*session, Access::Memory, false,
                           Format("Error! Read physical memory failed at %llX!",
                                  static_cast<unsigned long long>(start + done)),
                           failed);
    return 0;
}

int MemDump(Context& context, const DumpArguments& args) {
    const std::string& output = args.output;
    // An address past 4 GiB takes the 64-bit path; below, the window's fields and their
    // messages rule (eight digits, no range past 4 GiB).
    const std::string addressText = WithoutPrefix(args.address),
                      sizeText = WithoutPrefix(args.size);
    uint64_t start = 0, bytes = 0;
    if (IsHexString(addressText) && IsHexString(sizeText) &&
        ParseHex(addressText, UINT64_MAX, start, HexPrefix::Refused) && start >= kFourGiB &&
        ParseHex(sizeText, UINT64_MAX, bytes, HexPrefix::Refused))
        return MemDumpHigh(context, args, start, bytes);
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
    command.add_option("ADDRESS", o->address, "physical address (hexadecimal, up to 64 bits)")
        ->required();
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
