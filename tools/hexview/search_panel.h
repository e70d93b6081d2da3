// The search panel of the Memory Dump and Hex Viewer/Editor windows: a text with a history,
// ASCII or HEX mode and the case choice. Searching moves the control to the next occurrence.
#pragma once

#include <string>
#include <vector>

#include "platform/user_messages.h"
#include "tools/hexview/hex_document.h"

namespace kvt {

class SearchPanel {
  public:
    static constexpr const char* kFieldSearch = "search";
    static constexpr size_t kMaxText = 259;

    std::string text;  // as typed
    bool hexMode = false;
    bool caseSensitive = false;
    // Newest first, no duplicates.
    const std::vector<std::string>& history() const { return history_; }

    // Builds the pattern of a text; false for a bad HEX text or an empty one.
    static bool MakePattern(const std::string& text, bool hexMode, std::vector<uint8_t>& pattern);

    // Puts the text on top of the history, builds the pattern and finds the next occurrence;
    // says "Input data invalid!" or "String not found!". A cancelled search changes nothing.
    FindResult Search(HexDocument& document, UserMessages& messages,
                      const ProgressFn& progress = {});
    // Find next / previous of the text, going on from the other end when that side has
    // none (wrapped then says so); the messages as Search.
    FindResult SearchAgain(HexDocument& document, UserMessages& messages, bool backward,
                           bool& wrapped, const ProgressFn& progress = {});

  private:
    // The text on top of the history and its pattern; "Input data invalid!" when it has none.
    bool Prepare(UserMessages& messages, std::vector<uint8_t>& pattern, FindMode& mode);
    static FindResult Report(FindResult result, UserMessages& messages);

    std::vector<std::string> history_;
};

}  // namespace kvt
