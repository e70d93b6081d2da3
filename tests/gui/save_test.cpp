// Report saving: Save All and Save with real files, the save dialog's settings, the order
// and line ends of the file, and the messages.
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "platform/report_stream.h"
#include "shell/messages.h"
#include "tools/io/view/CKVTIOView.h"

using namespace kvt;

namespace {

// A view for kinds whose tools are not built yet: writes a fixed text, raw.
class FixedReportView : public ToolView {
  public:
    explicit FixedReportView(QByteArray bytes) : bytes_(std::move(bytes)) {}
    void WriteReport(ReportStream& out) override { out.Write(bytes_.toStdString()); }

  private:
    QByteArray bytes_;
};

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll();
}

const char kBanner[] =
    "========================= Single I/O Dump ==========================\r\n\r\n";
const char kDirectHeader[] =
    "Direct I/O:\r\n      Port (Hex)      Read/Write      Data (Hex)           Width\r\n";
const char kIndexHeader[] =
    "Index I/O:\r\n      Index Port       Data Port          Offset      Read/Write"
    "      Data (Hex)           Width\r\n";

}  // namespace

class SaveTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    QTemporaryDir dir_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;
    QString chosen_;
    int dialogs_ = 0;

    void MakeFrame(const std::function<void(ToolRegistry&)>& adjust = {}) {
        frame_.reset();
        registry_ = std::make_unique<ToolRegistry>();
        RegisterBuiltinTools(*registry_);
        if (adjust) adjust(*registry_);
        frame_ = std::make_unique<CMainFrame>(*registry_, *board_.session);
        frame_->setSavePathChooser([this](QWidget*, const QString&) {
            ++dialogs_;
            return chosen_;
        });
        frame_->show();
        dialogs_ = 0;
    }

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        QVERIFY(dir_.isValid());
        SetMessageCaption(kMessageCaption);
    }
    void init() { MakeFrame(); }
    void cleanup() { frame_.reset(); }

    void saveAllWritesTheExactBytes() {
        auto* view = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        // A direct read of CMOS byte 2Fh, an index write, then a read the driver refuses.
        view->portEdit()->setText("70");
        view->portDataEdit()->setText("2F");
        view->directWriteButton()->click();
        view->portEdit()->setText("71");
        view->directReadButton()->click();
        view->indexPortEdit()->setText("70");
        view->dataPortEdit()->setText("71");
        view->offsetEdit()->setText("44");
        view->indexDataEdit()->setText("9");
        view->indexWriteButton()->click();
        // The driver goes away for the last read, which then fails.
        QVERIFY(board_.daemon.Stop());
        view->offsetEdit()->setText("2f");
        view->indexReadButton()->click();
        test::DaemonOptions options;
        options.board = test::BoardProfile("intel-desktop");
        options.runtimeDir = board_.daemon.runtimeDir();
        QVERIFY(board_.daemon.Start(options));

        chosen_ = dir_.filePath("all.log");
        frame_->action(kCmdSaveAll)->trigger();
        QCOMPARE(dialogs_, 1);
        QByteArray expected = QByteArray("\r\n\r\n") + kBanner + kDirectHeader +
                              "              71               R              C3            Byte\r\n"
                              "              70               W              2F            Byte\r\n"
                              "\r\n" +
                              kIndexHeader +
                              "              70              71              2f               R"
                              "          Failed            Byte\r\n"
                              "              70              71              44               W"
                              "               9            Byte\r\n"
                              "\r\n\r\n\r\n\r\n\r\n";
        QCOMPARE(ReadAll(chosen_), expected);

        // Save of the active window writes its report alone, over the old file.
        frame_->action(kCmdSave)->trigger();
        QByteArray alone = ReadAll(chosen_);
        QVERIFY(alone.startsWith(kBanner));
        QCOMPARE(alone, expected.mid(4, expected.size() - 4 - 10));
    }

    void saveAllOrderAndEmptyGroups() {
        MakeFrame([](ToolRegistry& r) {
            r.Register(kOsInfoName, [](const ToolContext&) { return new FixedReportView("os\n"); });
            r.Register(kSmbusName, [](const ToolContext&) { return new FixedReportView("sm\n"); });
            r.Register(kMemoryDumpName,
                       [](const ToolContext&) { return new FixedReportView("mem"); });
        });
        frame_->OpenTool(kSmbusName);
        frame_->OpenTool(kMemoryDumpName);  // takes no part in Save All
        auto* first = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        auto* second = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        frame_->OpenTool(kOsInfoName);
        first->portEdit()->setText("1");
        first->portDataEdit()->setText("1");
        first->directWriteButton()->click();
        second->portEdit()->setText("2");
        second->portDataEdit()->setText("2");
        second->directWriteButton()->click();

        chosen_ = dir_.filePath("order.log");
        frame_->SaveAllReports();
        QByteArray bytes = ReadAll(chosen_);
        auto rowOf = [](const char* port, const char* data) {
            return QByteArray(12 + 3, ' ') + port + QByteArray(15, ' ') + "W" +
                   QByteArray(15, ' ') + data + "            Byte\r\n";
        };
        QByteArray report1 =
            QByteArray(kBanner) + kDirectHeader + rowOf("1", "1") + "\r\n" + kIndexHeader;
        QByteArray report2 =
            QByteArray(kBanner) + kDirectHeader + rowOf("2", "2") + "\r\n" + kIndexHeader;
        QCOMPARE(bytes, QByteArray("os\r\n") + "\r\n" + "\r\n" + report1 + report2 + "\r\n" +
                            "\r\n\r\n\r\n\r\n" + "sm\r\n");
    }

    void saveActiveByKind() {
        MakeFrame([](ToolRegistry& r) {
            r.Register(kMemoryDumpName,
                       [](const ToolContext&) { return new FixedReportView("a\nb\n"); });
            r.Register(kHexEditName, [](const ToolContext&) { return new FixedReportView("x"); });
        });
        guitest::MessageBoxCatcher catcher;
        // Memory Dump: raw bytes, no line-end translation.
        frame_->OpenTool(kMemoryDumpName);
        chosen_ = dir_.filePath("dump.bin");
        frame_->SaveActiveReport();
        QCOMPARE(ReadAll(chosen_), QByteArray("a\nb\n"));

        // Hex Viewer/Editor: the file is created empty and the user is told how to save.
        frame_->OpenTool(kHexEditName);
        chosen_ = dir_.filePath("hex.log");
        QFile old(chosen_);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old contents");
        old.close();
        frame_->SaveActiveReport();
        QTRY_COMPARE(catcher.seen().size(), 1);
        QCOMPARE(catcher.seen()[0].caption, QStringLiteral("KORVANTA"));
        QCOMPARE(catcher.seen()[0].text,
                 QStringLiteral("Please use the SAVE button in HexEditView!"));
        QCOMPARE(ReadAll(chosen_), QByteArray());
    }

    void cancelAndUnopenableFiles() {
        guitest::MessageBoxCatcher catcher;
        // No tool window: both commands are greyed and show no dialog.
        frame_->SaveAllReports();
        frame_->SaveActiveReport();
        QCOMPARE(dialogs_, 0);
        frame_->OpenTool(kSingleIoName);
        chosen_.clear();  // Cancel
        frame_->SaveAllReports();
        frame_->SaveActiveReport();
        QCOMPARE(dialogs_, 2);
        QVERIFY(catcher.seen().isEmpty());

        chosen_ = dir_.filePath("no-such-folder/x.log");
        frame_->SaveAllReports();
        QTRY_COMPARE(catcher.seen().size(), 1);
        frame_->SaveActiveReport();
        QTRY_COMPARE(catcher.seen().size(), 2);
        QCOMPARE(catcher.texts(),
                 (QStringList{"Error! Unable to open file!", "Error! Unable to open file!"}));
        QCOMPARE(catcher.seen()[0].caption, QStringLiteral("KORVANTA"));
        QCOMPARE(dialogs_, 4);  // the dialog is not shown again after the message

        // A full disk is not reported as saved.
        if (QFile::exists("/dev/full")) {
            chosen_ = "/dev/full";
            frame_->SaveAllReports();
            QTRY_COMPARE(catcher.seen().size(), 3);
            QCOMPARE(catcher.seen()[2].text, QStringLiteral("Error! Unable to write file!"));
        }
    }

    void saveDialogSettings() {
        QString folder, suffix, file;
        QStringList filters, everyFile, logFiles;
        bool overwriteAsked = true;
        QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
        QTimer::singleShot(100, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            folder = dialog->directory().absolutePath();
            suffix = dialog->defaultSuffix();
            filters = guitest::ShownFileTypes(dialog);
            logFiles = guitest::ListedFiles(dialog, 0);
            everyFile = guitest::ListedFiles(dialog, 1);
            mode = dialog->acceptMode();
            overwriteAsked = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
            file = dialog->selectedFiles().value(0);
            dialog->reject();
        });
        QString path =
            CMainFrame::ChooseSavePathWithDialog(frame_.get(), frame_->GetProgramFolder());
        QCOMPARE(path, QString());
        QCOMPARE(folder, QCoreApplication::applicationDirPath());
        QCOMPARE(suffix, QStringLiteral("log"));
        QCOMPARE(filters, (QStringList{"Save Files (*.log)", "All Files (*.*)"}));
        // All files means names without a dot too, as this test program's own.
        QVERIFY(!logFiles.contains("gui_save_test"));
        QVERIFY2(everyFile.contains("gui_save_test"), qPrintable(everyFile.join(' ')));
        QCOMPARE(mode, QFileDialog::AcceptSave);
        QVERIFY(overwriteAsked);
        QVERIFY2(file.endsWith("/hwinfo.log"), qPrintable(file));  // not hwinfo.* after All Files
    }
};

QTEST_MAIN(SaveTest)
#include "save_test.moc"
