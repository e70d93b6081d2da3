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

FindResult SearchPanel::Search(HexDocument& document, UserMessages& messages,
                               const ProgressFn& progress) {
    std::string entry = text.substr(0, kMaxText);
    history_.erase(std::remove(history_.begin(), history_.end(), entry), history_.end());
    history_.insert(history_.begin(), entry);
    text = entry;
    std::vector<uint8_t> pattern;
    if (!MakePattern(entry, hexMode, pattern)) {
        messages.ShowMessage("Input data invalid!");
        messages.SetFocus(kFieldSearch);
        return FindResult::Failed;
    }
    FindMode mode = hexMode || caseSensitive ? FindMode::Exact : FindMode::IgnoreCase;
    FindResult result = document.FindNext(pattern, mode, progress);
    if (result == FindResult::NotFound || result == FindResult::Failed) {
        messages.ShowMessage("String not found!");
    }
    return result;
}

}  // namespace kvt
