// How a tool model speaks to the user: modal messages and focus moves. The desktop program
// shows a message box captioned "KORVANTA"; the command line prints; tests record.
#pragma once

#include <string>
#include <string_view>

namespace kvt {

class UserMessages {
  public:
    virtual ~UserMessages() = default;
    // A modal message with one OK button.
    virtual void ShowMessage(std::string_view text) = 0;
    // Moves the input focus to a field; each model names its fields with constants.
    virtual void SetFocus(std::string_view field) = 0;
};

}  // namespace kvt
