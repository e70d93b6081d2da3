// Write Journal: the writes the daemon journaled, oldest first, one row each, and undo of one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/user_messages.h"

namespace kvt {
class ReportStream;
}

namespace kvt {

// One journal entry as the daemon sends it (a JSON object), in texts to show.
struct JournalRow {
    uint64_t id = 0;
    std::string time, user, kind, address, width, oldValue, newValue;
    std::optional<uint64_t> undoOf;
    std::string json;  // the entry's object as the daemon sent it
};

// Parses one entry line; false when it is not one.
bool ParseJournalRow(const std::string& line, JournalRow& row);
// "12 2026-12-08T21:30:01.123Z alice pci 00:1F.3+040 4 old=00000000 new=12345678 undo of 11"
std::string JournalRowText(const JournalRow& row);

// Every kept entry (last 0), or the newest `last`, oldest first, as the daemon sent them.
RequestStatus ReadJournalLines(DriverClient& client, uint32_t last,
                               std::vector<std::string>& lines);

class JournalTool {
  public:
    static constexpr const char* kNothingSelected = "Select a write to undo first.";

    JournalTool(DriverClient& client, UserMessages& messages);

    // Reads the journal again; a failure is told and leaves the rows empty.
    void Refresh();
    // Undoes the write of a row (an undo row redoes its write); tells why when the daemon
    // refuses, then reads the journal again. When the refusal is that the target changed since
    // the write, askForce (when set) is asked whether to overwrite it; yes undoes with force.
    void Undo(size_t row);
    // One JournalRowText line per row.
    void WriteReport(ReportStream& out) const;

    // Overwrite a value changed since the write.
    bool force = false;
    std::function<bool(const std::string& question)> askForce;

    const std::vector<JournalRow>& rows() const { return rows_; }
    // Whether a row's write was undone (by a later row).
    bool Undone(size_t row) const;

  private:
    DriverClient& client_;
    UserMessages& messages_;
    std::vector<JournalRow> rows_;
};

}  // namespace kvt
