// Board profile commands: capture this machine (or the board in use) as a profile, and compare
// two profiles.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "tools/board/board_capture.h"
#include "tools/board/board_diff.h"

namespace kvt::cli {

namespace {

struct CaptureArguments {
    std::string output;
    std::string name;
    std::vector<std::string> memory;
    uint32_t spdBytes = 256;
};

bool IsBoardName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

// Writes the file whole or not at all: a failed write leaves an older file as it was.
bool WriteFileWhole(const std::string& path, const std::string& bytes) {
    std::string part = path + ".part";
    if (!WriteOutput(part, bytes)) {
        std::remove(part.c_str());
        return false;
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        std::remove(part.c_str());
        return false;
    }
    return true;
}

Action DefineBoardCapture(CLI::App& command) {
    auto o = std::make_shared<CaptureArguments>();
    command.add_option("-o", o->output, "write the profile to FILE (default: standard output)")
        ->type_name("FILE");
    command.add_option("--name", o->name, "the board's name (default: from the computer name)")
        ->type_name("NAME");
    command
        .add_option("--memory", o->memory,
                    "physical memory to keep, ADDR:LEN in hexadecimal (repeatable; default "
                    "F0000:10000, the BIOS area)")
        ->type_name("ADDR:LEN");
    command
        .add_option("--spd-bytes", o->spdBytes,
                    "bytes read of each SPD EEPROM, 1-256 (default 256; fewer is quicker)")
        ->check(CLI::Range(1, 256))
        ->type_name("N");
    return [o](Context& context) {
        CaptureOptions options;
        if (!o->name.empty() && !IsBoardName(o->name))
            return Fail("--name " + o->name + ": use lower-case letters, digits, - and _");
        options.name = o->name;
        options.spdBytes = o->spdBytes;
        uint64_t total = 0;
        for (const std::string& text : o->memory) {
            MemoryRange range;
            std::string error;
            if (!ParseMemoryRange(text, range, error)) return Fail(error);
            total += range.length;
            options.memory.push_back(range);
        }
        if (total > kMaxCaptureMemory)
            return Fail("--memory: more than 4 MiB together (the profile holds them as text)");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;

        // Progress only where someone watches: a terminal on standard error.
        const bool terminal = isatty(STDERR_FILENO) == 1;
        std::string shown;
        CaptureProgress progress;
        if (terminal)
            progress = [&shown](const std::string& stage, uint32_t done, uint32_t total) {
                std::string line =
                    "capturing " + stage + " " + std::to_string(done) + "/" + std::to_string(total);
                if (line == shown) return;
                std::fprintf(stderr, "\r%-60s", line.c_str());
                shown = line;
            };
        CaptureResult result =
            CaptureBoard(session->client(), session->platform(), options, progress);
        if (terminal) std::fprintf(stderr, "\r%-60s\r", "");
        for (const std::string& line : result.leftOut)
            std::fprintf(stderr, "korvanta-cli: left out: %s\n", line.c_str());
        std::string text = ProfileText(result.profile);
        bool ok = o->output.empty() ? WriteOutput("", text) : WriteFileWhole(o->output, text);
        if (!ok) return Fail("cannot write " + (o->output.empty() ? "the profile" : o->output));
        return 0;
    };
}

bool ReadWhole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct DiffArguments {
    std::string a, b;
    bool json = false;
};

Action DefineBoardDiff(CLI::App& command) {
    auto o = std::make_shared<DiffArguments>();
    command.add_option("A", o->a, "the first profile")->required()->type_name("FILE");
    command.add_option("B", o->b, "the second profile")->required()->type_name("FILE");
    command.add_flag("--json", o->json, "one JSON document instead of text");
    return [o](Context&) {
        std::string a, b, error;
        if (!ReadWhole(o->a, a)) return Fail("cannot read " + o->a);
        if (!ReadWhole(o->b, b)) return Fail("cannot read " + o->b);
        BoardDiff diff;
        if (!DiffBoardProfiles(a, b, diff, error)) {
            // The library names the profiles A and B; the user knows them by their files.
            return Fail((error[0] == 'A' ? o->a : o->b) + error.substr(1));
        }
        std::string text;
        if (o->json) {
            nlohmann::ordered_json doc = BoardDiffJson(diff);
            doc["a"] = o->a;
            doc["b"] = o->b;
            text = doc.dump(2) + "\n";
        } else {
            text = BoardDiffText(diff);
        }
        return WriteOutput("", text) ? 0 : Fail("cannot write the comparison");
    };
}

CommandRegistrar boardCapture{
    {"board capture", "Captures this machine as a board profile", &DefineBoardCapture}};
CommandRegistrar boardDiff{
    {"board diff", "Tells what differs between two board profiles", &DefineBoardDiff}};

}  // namespace

}  // namespace kvt::cli
