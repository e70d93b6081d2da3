// The main window on a board of another machine (--remote): the title, the status bar and the
// tree name what the tools work on, through a real sshd on 127.0.0.1.
#include <signal.h>
#include <sys/stat.h>

#include <QLabel>
#include <QTest>
#include <QTreeWidget>
#include <cstdlib>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "hwaccess/session.h"
#include "shell/tool_registry.h"
#include "support/process.h"
#include "support/sshd.h"

namespace kvt {

class RemoteFrameTest : public QObject {
    Q_OBJECT

    test::SshServer server_;
    std::unique_ptr<HardwareSession> session_;

  private slots:
    void initTestCase() {
        std::string why;
        if (!test::SshServer::Available(&why)) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true") QFAIL(why.c_str());
            QSKIP(why.c_str());
        }
        QVERIFY2(server_.Start(&why), why.c_str());
        const std::string runtime = server_.folder() + "/runtime";
        mkdir(runtime.c_str(), 0700);
        setenv("KORVANTA_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("KORVANTA_SSH", server_.SshVariable().substr(13).c_str(), 1);
        setenv("KORVANTA_REMOTE_CLI", KORVANTA_CLI_BIN, 1);
        session_ = HardwareSession::CreateRemote(server_.Target(), "intel-desktop", &why);
        QVERIFY2(session_ != nullptr, why.c_str());
    }
    void cleanupTestCase() {
        session_.reset();
        test::RunProcess({KORVANTA_CLI_BIN, "--board", "intel-desktop", "driver", "stop"});
    }

    void titleStatusBarAndTreeNameTheRemoteBoard() {
        ToolRegistry registry;
        RegisterBuiltinTools(registry);
        CMainFrame frame(registry, *session_);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        std::string why;
        QVERIFY2(session_->LoadDriver(&why), why.c_str());
        frame.RefreshComputerItem();
        const QString target = QString::fromStdString(server_.Target());
        QCOMPARE(frame.windowTitle(),
                 QStringLiteral("Korvanta (Simulated board: intel-desktop on %1)").arg(target));
        QCOMPARE(frame.sessionPane()->text(),
                 QStringLiteral("Simulated board: intel-desktop on %1").arg(target));
        // The board's own name and processors, asked of the daemon behind the tunnel.
        QCOMPARE(frame.toolTree()->topLevelItem(0)->text(0),
                 QStringLiteral("KVT-P35-ICH9 (4-Processor System)"));
    }
};

}  // namespace kvt

QTEST_MAIN(kvt::RemoteFrameTest)
#include "remote_frame_test.moc"
