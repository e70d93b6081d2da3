// Message boxes of the program: modal, one OK button, captioned with the application name
// that start-up sets to "KORVANTA".
#pragma once

#include <QPointer>
#include <QString>
#include <functional>
#include <string_view>

#include "platform/user_messages.h"

class QWidget;

namespace kvt {

inline constexpr const char* kMessageCaption = "KORVANTA";

// The caption of every message box; start-up sets it and exit puts the old one back.
QString MessageCaption();
void SetMessageCaption(const QString& caption);

// Shows a modal message box with one OK button over the parent.
void ShowKorvantaMessage(QWidget* parent, const QString& text);

// A modal box captioned as the messages with Save, Discard and Cancel (Save the default).
enum class SaveChoice { Save, Discard, Cancel };
SaveChoice AskSaveChanges(QWidget* parent, const QString& text);

// For tests of code that ends right after a message (start-up): while set, the hook receives
// each message instead of a message box.
using MessageHook = std::function<void(const QString& caption, const QString& text)>;
void SetMessageHook(MessageHook hook);

// UserMessages for one view: messages become message boxes over the view, and focus moves
// go to the widget the view names for a field.
class ViewMessages : public UserMessages {
  public:
    using FieldResolver = std::function<QWidget*(std::string_view field)>;
    // beforeShow runs before each message box, so the view shows its current state behind it.
    ViewMessages(QWidget* owner, FieldResolver resolver, std::function<void()> beforeShow = {})
        : owner_(owner), resolver_(std::move(resolver)), beforeShow_(std::move(beforeShow)) {}
    void ShowMessage(std::string_view text) override;
    void SetFocus(std::string_view field) override;

  private:
    QPointer<QWidget> owner_;
    FieldResolver resolver_;
    std::function<void()> beforeShow_;
};

}  // namespace kvt
