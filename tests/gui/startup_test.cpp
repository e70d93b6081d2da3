// Start-up of the whole program: against a board, when the driver cannot be loaded, and a
// second copy that brings the first to the front.
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTreeWidget>
#include <QtTest>

#include "app/application.h"
#include "app/main_frame.h"
#include "app/single_instance.h"
#include "gui_support.h"
#include "shell/messages.h"
#include "tools/io/view/CKVTIOView.h"

using namespace kvt;

namespace {

// Runs fn once the program's event loop runs (the driver is loaded and the caption set).
void WhenRunning(CKorvantaApp& app, std::function<void()> fn) {
    QTimer::singleShot(10, [&app, fn] {
        if (app.mainFrame() == nullptr || MessageCaption() != QLatin1String(kMessageCaption)) {
            WhenRunning(app, fn);
            return;
        }
        fn();
    });
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
  private:
    QTemporaryDir tmp_;  // the single-instance lock and socket live here (TMPDIR)
    guitest::BoardSession board_;

  private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        setenv("TMPDIR", tmp_.path().toLocal8Bit().constData(), 1);
        // The user's private runtime folder holds the single-instance lock and socket.
        setenv("XDG_RUNTIME_DIR", tmp_.path().toLocal8Bit().constData(), 1);
        QVERIFY2(board_.Start(), board_.error.c_str());
    }

    void startsAgainstABoardWithoutToolWindows() {
        CKorvantaApp app;
        bool shownBeforeDriver = false;
        bool checked = false;
        QString rootText, rootBeforeDriver, pane;
        int toolWindows = -1;
        // Runs first inside start-up (window shown, driver not yet loaded), then again once
        // the event loop runs.
        std::function<void()> check = [&] {
            CMainFrame* frame = app.mainFrame();
            if (frame == nullptr) return;
            if (MessageCaption() != QLatin1String(kMessageCaption)) {
                shownBeforeDriver = frame->isVisible();
                rootBeforeDriver = frame->toolTree()->topLevelItem(0)->text(0);
                QTimer::singleShot(0, check);
                return;
            }
            rootText = frame->toolTree()->topLevelItem(0)->text(0);
            pane = frame->sessionPane()->text();
            toolWindows = static_cast<int>(frame->toolWindows().size());
            checked = true;
            // Exit with tool windows open and a timer running: everything closes cleanly.
            frame->OpenTool(kSingleIoName);
            auto* view = qobject_cast<CKVTIOView*>(frame->OpenTool(kSingleIoName));
            view->portEdit()->setText("71");
            view->timerButton()->click();
            QApplication::exit(7);
        };
        QTimer::singleShot(0, check);
        int status = app.Run({"korvanta", "--board", guitest::BoardPath()});
        QVERIFY(checked);
        QCOMPARE(status, 7);
        QVERIFY(shownBeforeDriver);
        QVERIFY2(!rootBeforeDriver.startsWith(' '), qPrintable(rootBeforeDriver));
        QCOMPARE(rootText, QStringLiteral("KVT-P35-ICH9 (4-Processor System)"));
        QCOMPARE(pane, QStringLiteral("Simulated board: intel-desktop"));
        QCOMPARE(toolWindows, 0);
        QCOMPARE(QCoreApplication::organizationName(),
                 QStringLiteral("Local AppWizard-Generated Applications"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Korvanta"));
        // At exit the caption goes back and the single-instance lock is free again.
        QVERIFY(MessageCaption() != QLatin1String(kMessageCaption));
        SingleInstance again;
        QVERIFY(again.Claim());
    }

    void driverThatCannotLoadEndsWithAMessage() {
        // A board profile the driver refuses: the driver cannot be started.
        QFile bad(tmp_.filePath("broken-board.json"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("{ this is not a board");
        bad.close();
        QTemporaryDir runtime;
        setenv("KORVANTA_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);

        CKorvantaApp app;
        QStringList seen;
        bool visibleAtMessage = false;
        QString root;
        SetMessageHook([&](const QString& caption, const QString& text) {
            seen << caption + "|" + text;
            visibleAtMessage = app.mainFrame() != nullptr && app.mainFrame()->isVisible();
            if (visibleAtMessage) root = app.mainFrame()->toolTree()->topLevelItem(0)->text(0);
        });
        int status = app.Run({"korvanta", "--board", bad.fileName()});
        SetMessageHook({});
        setenv("KORVANTA_RUNTIME_DIR", board_.daemon.runtimeDir().c_str(), 1);
        QVERIFY(status != 0);
        QCOMPARE(seen, QStringList{"KORVANTA|Error! Load driver failed!"});
        QVERIFY(visibleAtMessage);
        // Behind the message the board's name is unknown: the root says so, with no count.
        QCOMPARE(root, QStringLiteral("Driver not loaded"));
    }

    void unknownBoardIsReportedBeforeAnyWindow() {
        CKorvantaApp app;
        QStringList seen;
        SetMessageHook(
            [&](const QString& caption, const QString& text) { seen << caption + "|" + text; });
        int status = app.Run({"korvanta", "--board", "no-such-board"});
        SetMessageHook({});
        QVERIFY(status != 0);
        QCOMPARE(seen, QStringList{"KORVANTA|Error! no board profile named 'no-such-board'"});
        QVERIFY(app.mainFrame() == nullptr);
    }

    // Options the program does not know are named on standard error and do not stop it; the
    // board option without its board does.
    void unknownOptionsAreIgnored() {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        const QString binary = QStringLiteral(KORVANTA_BINARY_DIR "/korvanta");
        program.start(binary, {"--no-such-option", "-z", "--board", guitest::BoardPath(),
                               "stray.txt", "--print-shown-time"});
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(program.readAllStandardOutput().startsWith("shown "));  // the window was shown
        const QStringList errors =
            QString::fromLocal8Bit(program.readAllStandardError()).split('\n').filter("korvanta:");
        QCOMPARE(errors, QStringList{"korvanta: ignoring --no-such-option, -z, stray.txt"});

        program.start(binary, {"--print-shown-time", "--board"});
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 1);
        QVERIFY(program.readAllStandardOutput().isEmpty());
    }

    void secondCopyActivatesTheFirstAndEnds() {
        CKorvantaApp app;
        bool activated = false;
        bool minimizedBefore = false;
        int broughtToFront = 0;
        int secondStatus = -1;
        QProcess::ExitStatus secondExit = QProcess::CrashExit;
        QProcess second, otherBoard;
        int otherStatus = -1;
        QByteArray otherOut;
        WhenRunning(app, [&] {
            CMainFrame* frame = app.mainFrame();
            frame->showMinimized();
            minimizedBefore = frame->isMinimized();
            QObject::connect(frame, &CMainFrame::broughtToFront, [&] { ++broughtToFront; });
            QObject::connect(&second, &QProcess::finished,
                             [&, frame](int code, QProcess::ExitStatus s) {
                                 secondStatus = code;
                                 secondExit = s;
                                 QTimer::singleShot(300, [&, frame] {
                                     activated = !frame->isMinimized();
                                     QApplication::exit(0);
                                 });
                             });
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("QT_QPA_PLATFORM", "offscreen");
            second.setProcessEnvironment(env);
            // A copy for another board is a program of its own: it shows its window.
            otherBoard.setProcessEnvironment(env);
            otherBoard.start(QStringLiteral(KORVANTA_BINARY_DIR "/korvanta"),
                             {"--board", QString::fromStdString(test::BoardProfile("via")),
                              "--print-shown-time"});
            otherBoard.waitForFinished(20000);
            otherStatus = otherBoard.exitCode();
            otherOut = otherBoard.readAllStandardOutput();
            second.start(QStringLiteral(KORVANTA_BINARY_DIR "/korvanta"),
                         {"--board", guitest::BoardPath()});
        });
        QTimer::singleShot(20000, [] { QApplication::exit(98); });
        int status = app.Run({"korvanta", "--board", guitest::BoardPath()});
        QCOMPARE(status, 0);
        QCOMPARE(secondExit, QProcess::NormalExit);
        QCOMPARE(secondStatus, 0);
        QCOMPARE(QString::fromLocal8Bit(second.readAllStandardError()).trimmed(),
                 QStringLiteral("korvanta: already running for Simulated board: intel-desktop; "
                                "its window was brought to the front"));
        QCOMPARE(otherStatus, 0);
        QVERIFY2(otherOut.startsWith("shown "), otherOut.constData());
        QVERIFY(minimizedBefore);
        QVERIFY(activated);
        QCOMPARE(broughtToFront, 1);
    }

    // The lock and socket live only in a folder of the user's own that nobody else enters.
    void instanceFolderIsPrivate() {
        QTemporaryDir base;
        QVERIFY(base.isValid());
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", base.path().toLocal8Bit());
        QString why;
        const QString folder = PrivateInstanceFolder(&why);
        QCOMPARE(folder, base.filePath("korvanta"));
        QCOMPARE(QFile::permissions(folder) & 0x0077, QFileDevice::Permissions());
        // Opened up to others: refused, and the copy carries on alone.
        QFile::setPermissions(
            folder, QFile::permissions(folder) | QFileDevice::ReadOther | QFileDevice::ExeOther);
        QVERIFY(PrivateInstanceFolder(&why).isEmpty());
        QVERIFY2(why.contains("other users"), qPrintable(why));
        SingleInstance alone;
        QVERIFY(alone.Claim());
        QVERIFY(!alone.owned());
        QVERIFY(!alone.problem().isEmpty());
        // A link in its place, even to a private folder, is refused.
        QDir(folder).removeRecursively();
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(elsewhere.path(), folder));
        QVERIFY(PrivateInstanceFolder(&why).isEmpty());
        QVERIFY2(why.contains("link"), qPrintable(why));
        qputenv("XDG_RUNTIME_DIR", saved);
    }

    // Boards are told apart by their profile files, the host by name.
    void targetsHaveTheirOwnLocks() {
        SingleInstance host, board(SingleInstance::InstanceTarget(guitest::BoardPath()));
        QVERIFY(host.Claim());
        QVERIFY(board.Claim());
        QVERIFY(host.owned() && board.owned());
        QCOMPARE(SingleInstance::InstanceTarget(QString()), QStringLiteral("host"));
        QVERIFY(SingleInstance::InstanceTarget("/a/intel-desktop.json") !=
                SingleInstance::InstanceTarget("/b/intel-desktop.json"));
        QVERIFY(board.serverName().startsWith(tmp_.filePath("korvanta/")));
    }

    void twoStartingCopiesCannotBothWin() {
        SingleInstance a, b;
        QVERIFY(a.Claim());
        QVERIFY(!b.Claim());
        QSignalSpy spy(&a, &SingleInstance::activationRequested);
        // The asking copy blocks on its socket, so it runs on its own thread here.
        bool answered = false;
        QThread* asker = QThread::create([&] {
            SingleInstance c;
            answered = c.ActivateRunningCopy(3000);
        });
        asker->start();
        QTRY_COMPARE(spy.count(), 1);
        QVERIFY(asker->wait(5000));
        delete asker;
        QVERIFY(answered);
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
