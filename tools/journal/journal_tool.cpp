#include "tools/journal/journal_tool.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/format.h"
#include "platform/report_stream.h"

namespace kvt {

namespace {

using Json = nlohmann::ordered_json;

uint32_t Field(const Json& object, const char* key) {
    const Json* value = object.is_object() && object.contains(key) ? &object[key] : nullptr;
    return value != nullptr && value->is_number_unsigned() ? value->get<uint32_t>() : 0;
}

std::string AddressText(const std::string& kind, const Json& a) {
    auto bdf = [&a] {
        return Format("%02X:%02X.%X", Field(a, "bus"), Field(a, "device"), Field(a, "function"));
    };
    if (kind == "port" && a.is_number_unsigned()) return Format("%04X", a.get<uint32_t>());
    if (kind == "memory" && a.is_number_unsigned())
        return Format("%08llX", static_cast<unsigned long long>(a.get<uint64_t>()));
    if (kind == "pci") return bdf() + Format("+%03X", Field(a, "offset"));
    if (kind == "msr") return Format("%08X cpu %u", Field(a, "msr"), Field(a, "processor"));
    if (kind == "smbus")
        return bdf() + Format(" base %04X slave %02X command %02X", Field(a, "base"),
                              Field(a, "slave"), Field(a, "command"));
    if (kind == "cmos") return Format("%02Xh+%02X", Field(a, "bank"), Field(a, "offset"));
    return a.dump();
}

// The daemon's refusal of an undo whose target holds another value than the write left.
constexpr const char* kChangedMark = "as written; not overwritten";
constexpr const char* kForceHint = " (--force overwrites it)";

std::string ValueText(const Json& value, uint32_t width) {
    if (value.is_null()) return "unknown";
    if (value.is_string()) return Format("(%u bytes)", width);
    if (!value.is_number_unsigned()) return value.dump();
    return Format("%0*llX", static_cast<int>(2 * std::min<uint32_t>(width, 8)),
                  static_cast<unsigned long long>(value.get<uint64_t>()));
}

}  // namespace

bool ParseJournalRow(const std::string& line, JournalRow& row) {
    Json entry = Json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object() || !entry.contains("id") ||
        !entry["id"].is_number_unsigned())
        return false;
    row = {};
    row.id = entry["id"].get<uint64_t>();
    row.time = entry.value("time", "");
    row.user = entry.value("user", "");
    row.kind = entry.value("kind", "");
    const uint32_t width = Field(entry, "width");
    row.address = AddressText(row.kind, entry.value("address", Json()));
    row.width = std::to_string(width);
    row.oldValue = ValueText(entry.value("old", Json()), width);
    row.newValue = ValueText(entry.value("new", Json()), width);
    if (entry.contains("undo_of") && entry["undo_of"].is_number_unsigned())
        row.undoOf = entry["undo_of"].get<uint64_t>();
    row.json = line;
    return true;
}

std::string JournalRowText(const JournalRow& row) {
    std::string text =
        Format("%llu %s %s %s %s %s old=%s new=%s", static_cast<unsigned long long>(row.id),
               row.time.c_str(), row.user.c_str(), row.kind.c_str(), row.address.c_str(),
               row.width.c_str(), row.oldValue.c_str(), row.newValue.c_str());
    if (row.undoOf) text += Format(" undo of %llu", static_cast<unsigned long long>(*row.undoOf));
    return text;
}

RequestStatus ReadJournalLines(DriverClient& client, uint32_t last,
                               std::vector<std::string>& lines) {
    lines.clear();
    std::vector<std::vector<std::string>> pages;  // newest page first
    size_t total = 0;
    uint64_t before = 0;
    for (;;) {
        uint32_t want = last == 0 ? kJournalReadMax : last - static_cast<uint32_t>(total);
        DriverClient::JournalPage page;
        RequestStatus status = client.ReadJournal(before, want, page);
        if (!status) return status;
        std::vector<std::string> got;
        for (size_t start = 0; start < page.lines.size();) {
            size_t end = page.lines.find('\n', start);
            if (end == std::string::npos) end = page.lines.size();
            if (end > start) got.push_back(page.lines.substr(start, end - start));
            start = end + 1;
        }
        JournalRow first;
        if (got.empty() || !ParseJournalRow(got.front(), first)) break;
        total += got.size();
        pages.push_back(std::move(got));
        if (!page.more || (last != 0 && total >= last)) break;
        before = first.id;
    }
    for (size_t i = pages.size(); i-- > 0;)
        lines.insert(lines.end(), pages[i].begin(), pages[i].end());
    return {};
}

JournalTool::JournalTool(DriverClient& client, UserMessages& messages)
    : client_(client), messages_(messages) {}

void JournalTool::Refresh() {
    rows_.clear();
    std::vector<std::string> lines;
    RequestStatus status = ReadJournalLines(client_, 0, lines);
    if (!status) {
        messages_.ShowMessage(status.detail.empty()
                                  ? "The write journal could not be read."
                                  : "The write journal could not be read: " + status.detail);
        return;
    }
    for (const std::string& line : lines) {
        JournalRow row;
        if (ParseJournalRow(line, row)) rows_.push_back(std::move(row));
    }
}

bool JournalTool::Undone(size_t row) const {
    if (row >= rows_.size()) return false;
    return std::any_of(rows_.begin() + static_cast<std::ptrdiff_t>(row), rows_.end(),
                       [&](const JournalRow& r) { return r.undoOf == rows_[row].id; });
}

void JournalTool::Undo(size_t row) {
    if (row >= rows_.size()) {
        messages_.ShowMessage(kNothingSelected);
        return;
    }
    const auto id = static_cast<unsigned long long>(rows_[row].id);
    DriverClient::UndoResult result;
    RequestStatus status = client_.Undo(rows_[row].id, force, result);
    if (!status && askForce && !force && status.detail.find(kChangedMark) != std::string::npos) {
        std::string detail = status.detail;
        if (size_t hint = detail.rfind(kForceHint); hint != std::string::npos)
            detail.erase(hint, std::string::npos);
        if (askForce(Format("Write %llu was not undone: %s.\n\nOverwrite the value changed since?",
                            id, detail.c_str())))
            status = client_.Undo(rows_[row].id, true, result);
        else
            status = {};  // the user chose to leave it; nothing more to tell
    }
    if (!status) {
        messages_.ShowMessage(
            Format("Write %llu was not undone", id) +
            (status.detail.empty() ? std::string(".") : ": " + status.detail + "."));
    } else if (result.overwroteChange) {
        messages_.ShowMessage(Format("Write %llu was undone over a value changed since.",
                                     static_cast<unsigned long long>(result.undone)));
    }
    Refresh();
}

void JournalTool::WriteReport(ReportStream& out) const {
    for (const JournalRow& row : rows_) out.Write(JournalRowText(row) + "\n");
}

}  // namespace kvt
