// Shared pieces of the GUI tests: a private board daemon with its session, and a catcher
// that answers the real modal message boxes of the program.
#pragma once

#include <stdlib.h>

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "hwaccess/session.h"
#include "support/daemon.h"

namespace kvt::guitest {

inline QString BoardPath() {
    return QString::fromStdString(test::BoardProfile("intel-desktop"));
}

// A board daemon in a private folder; the session of the program talks to it.
struct BoardSession {
    test::PrivateDaemon daemon;
    std::unique_ptr<HardwareSession> session;
    std::string error;

    bool Start(bool readOnly = false) {
        test::DaemonOptions options;
        options.board = test::BoardProfile("intel-desktop");
        options.readOnly = readOnly;
        if (!daemon.Start(options, &error)) return false;
        setenv("KORVANTA_RUNTIME_DIR", daemon.runtimeDir().c_str(), 1);
        session = HardwareSession::Create(options.board, &error);
        return session && session->LoadDriver(&error);
    }
};

// Answers every modal message box that appears while it lives: records its caption and
// text, and the widget that had the focus in the box's parent window at that moment, then
// presses OK.
class MessageBoxCatcher : public QObject {
  public:
    struct Seen {
        QString caption;
        QString text;
        int buttons;
    };
    MessageBoxCatcher() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
        timer_.start();
    }
    // Runs while each box is shown, before OK is pressed (to look at the window behind it).
    std::function<void()> onShow;
    const QList<Seen>& seen() const { return seen_; }
    QStringList texts() const {
        QStringList list;
        for (const Seen& s : seen_) list << s.text;
        return list;
    }
    void clear() { seen_.clear(); }

  private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        seen_.append({box->windowTitle(), box->text(), static_cast<int>(box->buttons().size())});
        if (onShow) onShow();
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            ok->click();
        } else {
            box->reject();
        }
    }
    QTimer timer_;
    QList<Seen> seen_;
};

}  // namespace kvt::guitest
