#include "tools/hexview/search_panel.h"

#include <algorithm>

namespace kvt {

bool SearchPanel::MakePattern(const std::string& text, bool hexMode,
                              std::vector<uint8_t>& pattern) {
    if (hexMode) return HexTextToBytes(text, pattern);
    if (text.empty()) return false;
    pattern.assign(text.begin(), text.end());
    return true;
}

bool SearchPanel::Prepare(UserMessages& messages, std::vector<uint8_t>& pattern, FindMode& mode) {
    std::string entry = text.substr(0, kMaxText);
    history_.erase(std::remove(history_.begin(), history_.end(), entry), history_.end());
    history_.insert(history_.begin(), entry);
    text = entry;
    if (!MakePattern(entry, hexMode, pattern)) {
        messages.ShowMessage("Input data invalid!");
        messages.SetFocus(kFieldSearch);
        return false;
    }
    mode = hexMode || caseSensitive ? FindMode::Exact : FindMode::IgnoreCase;
    return true;
}

FindResult SearchPanel::Search(HexDocument& document, UserMessages& messages,
                               const ProgressFn& progress) {
    std::vector<uint8_t> pattern;
    FindMode mode = FindMode::Exact;
    if (!Prepare(messages, pattern, mode)) return FindResult::Failed;
    return Report(document.FindNext(pattern, mode, progress), messages);
}

FindResult SearchPanel::SearchAgain(HexDocument& document, UserMessages& messages, bool backward,
                                    bool& wrapped, const ProgressFn& progress) {
    wrapped = false;
    std::vector<uint8_t> pattern;
    FindMode mode = FindMode::Exact;
    if (!Prepare(messages, pattern, mode)) return FindResult::Failed;
    return Report(document.FindAgain(pattern, mode, backward, wrapped, progress), messages);
}

FindResult SearchPanel::Report(FindResult result, UserMessages& messages) {
    if (result == FindResult::NotFound || result == FindResult::Failed) {
        messages.ShowMessage("String not found!");
    }
    return result;
}

}  // namespace kvt
