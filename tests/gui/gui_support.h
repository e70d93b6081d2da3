// Shared pieces of the GUI tests: a private board daemon with its session, and a catcher
// that answers the real modal message boxes of the program.
#pragma once

#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "hwaccess/session.h"
#include "shell/tool_registry.h"
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

    // profile: a profile file; empty: intel-desktop.
    bool Start(bool readOnly = false, const std::string& profile = {}) {
        test::DaemonOptions options;
        options.board = profile.empty() ? test::BoardProfile("intel-desktop") : profile;
        options.readOnly = readOnly;
        if (!daemon.Start(options, &error)) return false;
        setenv("KORVANTA_RUNTIME_DIR", daemon.runtimeDir().c_str(), 1);
        session = HardwareSession::Create(options.board, &error);
        return session && session->LoadDriver(&error);
    }
};

// intel-desktop with a "faults" list (JSON), written as <folder>/<name>.json.
inline std::string FaultyBoard(const QTemporaryDir& folder, const std::string& name,
                               const std::string& faults) {
    QFile in(BoardPath());
    if (!in.open(QIODevice::ReadOnly)) return {};
    QByteArray profile = in.readAll();
    profile.insert(profile.indexOf('{') + 1,
                   QByteArray::fromStdString("\"faults\": " + faults + ","));
    const QString path = folder.filePath(QString::fromStdString(name) + ".json");
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(profile) != profile.size()) return {};
    return path.toStdString();
}

// The program's main window with every built-in tool, resized, shown and active; null when it
// does not become the active window. `registry` receives the tools the window knows.
inline std::unique_ptr<CMainFrame> ShowMainFrame(std::unique_ptr<ToolRegistry>& registry,
                                                 HardwareSession& session, QSize size) {
    registry = std::make_unique<ToolRegistry>();
    RegisterBuiltinTools(*registry);
    auto frame = std::make_unique<CMainFrame>(*registry, session);
    frame->resize(size);
    frame->show();
    QApplication::setActiveWindow(frame.get());
    if (!QTest::qWaitForWindowActive(frame.get())) return nullptr;
    return frame;
}

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

// The file types a file dialog shows, as the user reads them.
inline QStringList ShownFileTypes(QFileDialog* dialog) {
    QStringList shown;
    if (auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
        for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
    }
    return shown;
}

// Chooses the dialog's file type `type` and returns the names the dialog then lists in its
// folder, once the listing has settled (it fills in the background).
inline QStringList ListedFiles(QFileDialog* dialog, int type) {
    dialog->selectNameFilter(dialog->nameFilters().value(type));
    auto* model = dialog->findChild<QFileSystemModel*>();
    if (model == nullptr) return {};
    QStringList names;
    for (int settled = 0, tries = 0; settled < 5 && tries < 100; ++tries) {
        QTest::qWait(50);
        const QModelIndex folder = model->index(dialog->directory().absolutePath());
        QStringList now;
        for (int r = 0; r < model->rowCount(folder); ++r)
            now << folder.model()->index(r, 0, folder).data().toString();
        settled = now == names && !now.isEmpty() ? settled + 1 : 0;
        names = now;
    }
    return names;
}

}  // namespace kvt::guitest
