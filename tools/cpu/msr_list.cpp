#include "tools/cpu/msr_list.h"

#include <cctype>

#include "platform/format.h"
#include "platform/hex.h"
#include "platform/report_stream.h"
#include "tools/cpu/cpu_exec.h"

namespace kvt {

namespace {

// Longest part of a line that is kept; the rest of a longer line is skipped, so a long
// description is cut instead of its tail turning into an entry of its own.
constexpr size_t kMaxLineKept = 1024;

// One line read in text mode: CR LF becomes LF, a lone CR stays. False at the end of file.
bool ReadTextLine(std::FILE* file, std::string& line) {
    line.clear();
    bool any = false;
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        any = true;
        if (c == '\r') {
            int next = std::fgetc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        if (c == '\n') break;
        if (line.size() < kMaxLineKept) line.push_back(static_cast<char>(c));
    }
    return any;
}

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The MSR word: hexadecimal digits (a 0x prefix accepted), anything after them (the h of
// 1Bh) ignored. A word without digits gives 0.
uint32_t ParseMsrNumber(std::string_view word) {
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') &&
        HexDigitValue(word[2]) >= 0)
        word.remove_prefix(2);
    return static_cast<uint32_t>(LeadingHexValue(word));
}

// An empty line is a blank line; "#" in the first column starts a comment. A line that starts
// with a blank is an entry line.
bool IsCommentOrBlank(const std::string& line) {
    return line.empty() || line[0] == '#';
}

MsrEntry ParseEntryLine(std::string line) {
    // Trailing blanks go; tabs and carriage returns stay part of the description.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) line.pop_back();
    MsrEntry entry;
    size_t pos = 0;
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    size_t wordStart = pos;
    while (pos < line.size() && !IsSpace(line[pos])) ++pos;
    entry.msr = ParseMsrNumber(std::string_view(line).substr(wordStart, pos - wordStart));
    // The description starts at the second word, found after the first one (never inside
    // the MSR word), and runs to the end of the line.
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    entry.description = line.substr(pos, kMsrDescriptionMax);
    return entry;
}

}  // namespace

std::string TooManyMsrsMessage() {
    return Format("Error! Too many MSRs in file.  Only First %d MSRs will be loaded!",
                  static_cast<int>(kMsrListCapacity));
}

void ReadAllMsrValues(MsrList& list, uint32_t processor, DriverClient& client) {
    for (MsrEntry& entry : list.entries) {
        // The consumer form reads on the calling thread; the NT form on the chosen processor.
        bool served = false;
        uint64_t value = 0;
        if (client.ConsumerForm()) {
            Reply<uint64_t> read = client.TryReadMsr(DriverClient::kCallingProcessor, entry.msr);
            value = read.value;
            served = read.served();
            entry.failure = read.failure;
        } else {
            value = ReadMsrOnProcessor(client, entry.msr, processor, &served, &entry.failure);
        }
        entry.served = served;
        entry.eax = static_cast<uint32_t>(value);
        entry.edx = static_cast<uint32_t>(value >> 32);
    }
}

void LoadMsrListFrom(MsrList& list, std::FILE* file, UserMessages& messages) {
    MsrList loaded;
    loaded.entries.reserve(kMsrListCapacity);
    std::string line;
    while (ReadTextLine(file, line)) {
        if (IsCommentOrBlank(line)) continue;
        if (loaded.full()) {
            // Only a further entry beyond the capacity is "too many".
            messages.ShowMessage(TooManyMsrsMessage());
            break;
        }
        loaded.entries.push_back(ParseEntryLine(line));
    }
    list = std::move(loaded);
}

bool LoadMsrList(MsrList& list, const std::string& path, UserMessages& messages) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        messages.ShowMessage("ERROR!  " + path + " does not exist!");
        return false;
    }
    LoadMsrListFrom(list, file, messages);
    std::fclose(file);
    return true;
}

bool SaveMsrList(const MsrList& list, const std::string& path, UserMessages& messages) {
    if (list.entries.empty()) {
        messages.ShowMessage("Error!  Nothing to save!");
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        messages.ShowMessage("Error! Open write file error!");
        return false;
    }
    ReportStream out(file, true);
    out.Write("#MSR\t\tDescription");
    for (const MsrEntry& entry : list.entries) {
        out.Printf("\n%X\t\t%s", entry.msr, entry.description.c_str());
    }
    bool ok = !out.failed();
    if (std::fclose(file) != 0) ok = false;
    if (!ok) messages.ShowMessage("Error! Open write file error!");
    return ok;
}

}  // namespace kvt
