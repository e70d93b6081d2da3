#include "shell/messages.h"

#include <QMessageBox>
#include <QWidget>

namespace kvt {

namespace {
MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}
QString& Caption() {
    static QString caption = QStringLiteral("Korvanta");
    return caption;
}
}  // namespace

QString MessageCaption() {
    return Caption();
}
void SetMessageCaption(const QString& caption) {
    Caption() = caption;
}

void SetMessageHook(MessageHook hook) {
    Hook() = std::move(hook);
}

void ShowKorvantaMessage(QWidget* parent, const QString& text) {
    if (Hook()) {
        Hook()(MessageCaption(), text);
        return;
    }
    QMessageBox box(QMessageBox::Warning, MessageCaption(), text, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("KorvantaMessage"));
    box.exec();
}

SaveChoice AskSaveChanges(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Question, MessageCaption(), text,
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
    box.setObjectName(QStringLiteral("KorvantaQuestion"));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Save:
            return SaveChoice::Save;
        case QMessageBox::Discard:
            return SaveChoice::Discard;
        default:
            return SaveChoice::Cancel;
    }
}

void ViewMessages::ShowMessage(std::string_view text) {
    if (beforeShow_) beforeShow_();
    ShowKorvantaMessage(owner_.data(),
                        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void ViewMessages::SetFocus(std::string_view field) {
    QWidget* widget = resolver_ ? resolver_(field) : nullptr;
    if (widget != nullptr) widget->setFocus(Qt::OtherFocusReason);
}

}  // namespace kvt
