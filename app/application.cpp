#include "app/application.h"

#include <time.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "app/screenshot.h"
#include "app/single_instance.h"
#include "hwaccess/session.h"
#include "shell/messages.h"

namespace kvt {

CKorvantaApp::CKorvantaApp() = default;

CKorvantaApp::~CKorvantaApp() {
    frame_.reset();
    session_.reset();
    instance_.reset();
}

int CKorvantaApp::Run(const QStringList& arguments) {
    int status = Start(arguments);
    if (status >= 0) return status;
    status = QApplication::exec();
    // Exit: the tool windows close with the frame, the caption goes back, the lock is freed.
    frame_.reset();
    SetMessageCaption(savedCaption_);
    instance_.reset();
    return status;
}

// Returns an exit status to end with at once, or -1 to run the event loop.
int CKorvantaApp::Start(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Korvanta desktop program"));
    const QCommandLineOption helpOption = parser.addHelpOption();
    QCommandLineOption boardOption(
        QStringLiteral("board"),
        QStringLiteral("Work on a simulated board: a profile name in boards/ or a file."),
        QStringLiteral("NAME|FILE"));
    QCommandLineOption remoteOption(
        QStringLiteral("remote"),
        QStringLiteral("Work on another machine's daemon through ssh (with --board: a profile "
                       "name known there)."),
        QStringLiteral("[USER@]HOST[:PORT]"));
    QCommandLineOption shownTimeOption(QStringLiteral("print-shown-time"));
    shownTimeOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption screenshotOption(QStringLiteral("screenshot"), QString(),
                                        QStringLiteral("FOLDER"));
    screenshotOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(boardOption);
    parser.addOption(remoteOption);
    parser.addOption(shownTimeOption);
    parser.addOption(screenshotOption);
    // The program acts on no option but its own: anything else is named on standard error,
    // in one line, and the program starts all the same. Only an option of its own that lacks
    // its value ends it, so that a board asked for is never replaced by the host.
    parser.parse(arguments);
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) parser.showHelp(0);
    for (const QCommandLineOption* option : {&boardOption, &remoteOption, &screenshotOption}) {
        if (parser.isSet(*option) && parser.value(*option).isEmpty()) {
            std::fprintf(stderr, "korvanta: missing value after --%s\n",
                         qPrintable(option->names().first()));
            return 1;
        }
    }
    QStringList ignored;
    for (const QString& name : parser.unknownOptionNames()) {
        ignored << (name.size() == 1 ? "-" : "--") + name;
    }
    ignored << parser.positionalArguments();
    if (!ignored.isEmpty()) {
        std::fprintf(stderr, "korvanta: ignoring %s\n", qPrintable(ignored.join(", ")));
    }

    // One copy per target (the host, each board). A second copy for the same target brings
    // the first to the front and ends, saying on standard error which window serves it.
    const std::string boardArg = parser.value(boardOption).toStdString();
    const std::string remoteArg = parser.value(remoteOption).toStdString();
    const std::string profile = remoteArg.empty() ? FindBoardProfile(boardArg) : std::string();
    const QString profilePath = QString::fromStdString(profile.empty() ? boardArg : profile);
    QString target = profilePath.isEmpty() ? QStringLiteral("Host")
                                           : QStringLiteral("Simulated board: ") +
                                                 QFileInfo(profilePath).completeBaseName();
    QString instanceTarget = SingleInstance::InstanceTarget(profilePath);
    if (!remoteArg.empty()) {
        // A copy per remote target and board, apart from this machine's.
        const QString remote = QString::fromStdString(remoteArg);
        target = boardArg.empty() ? QStringLiteral("Remote host: ") + remote
                                  : QStringLiteral("Simulated board: %1 on %2")
                                        .arg(QString::fromStdString(boardArg), remote);
        instanceTarget = QStringLiteral("remote-") +
                         QString::fromLatin1(
                             QCryptographicHash::hash(target.toUtf8(), QCryptographicHash::Sha256)
                                 .toHex()
                                 .left(16));
    }
    instance_ = std::make_unique<SingleInstance>(instanceTarget, target);
    if (!instance_->Claim()) {
        QString servedBy;
        if (instance_->ActivateRunningCopy(3000, &servedBy)) {
            std::fprintf(stderr,
                         "korvanta: already running for %s; its window was brought to "
                         "the front\n",
                         qPrintable(servedBy.isEmpty() ? target : servedBy));
        } else {
            std::fprintf(stderr, "korvanta: another copy for %s is starting or not answering\n",
                         qPrintable(target));
            return 1;
        }
        return 0;
    }
    if (!instance_->problem().isEmpty()) {
        std::fprintf(stderr, "korvanta: not guarding against a second copy: %s\n",
                     qPrintable(instance_->problem()));
    }

    // Settings (QSettings) live under the organisation and application names; the program
    // keeps no settings of its own between runs.
    QCoreApplication::setOrganizationName(QString::fromLatin1(kSettingsOrganisation));
    QCoreApplication::setApplicationName(QString::fromLatin1(kSettingsApplication));

    // Register the tool kinds in their fixed order, each with its view where there is one.
    RegisterBuiltinTools(registry_);

    std::string error;
    session_ = remoteArg.empty() ? HardwareSession::Create(boardArg, &error)
                                 : HardwareSession::CreateRemote(remoteArg, boardArg, &error);
    if (!session_) {
        SetMessageCaption(QString::fromLatin1(kMessageCaption));
        ShowKorvantaMessage(nullptr,
                            QStringLiteral("Error! %1").arg(QString::fromStdString(error)));
        return 1;
    }

    // The main window, shown and painted before the driver is loaded.
    frame_ = std::make_unique<CMainFrame>(registry_, *session_);
    QObject::connect(instance_.get(), &SingleInstance::activationRequested, frame_.get(),
                     &CMainFrame::BringToFront);
    // Named relative to where the program was started.
    const QString screenshotFolder = QFileInfo(parser.value(screenshotOption)).absoluteFilePath();
    frame_->GetProgramFolder();  // the program folder is the current directory from now on
    frame_->FitToWorkArea();
    frame_->show();
    if (parser.isSet(shownTimeOption)) {
        // Start-up measurement: the time the window is on screen and painted, then end.
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired() &&
               (frame_->windowHandle() == nullptr || !frame_->windowHandle()->isExposed())) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        QApplication::processEvents();
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        std::printf("shown %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
        std::fflush(stdout);
        return 0;
    }
    QApplication::processEvents();

    // From here on every message box is captioned "KORVANTA".
    savedCaption_ = MessageCaption();
    SetMessageCaption(QString::fromLatin1(kMessageCaption));

    std::string why;
    if (!session_->LoadDriver(&why)) {
        frame_->RefreshComputerItem(false);
        ShowKorvantaMessage(frame_.get(), QString::fromLatin1(kLoadDriverFailed));
        std::fprintf(stderr, "korvanta: %s\n",
                     why.empty() ? "the driver is not ready" : why.c_str());
        return 1;
    }
    frame_->RefreshComputerItem();
    frame_->ShowAccessProblems();

    if (parser.isSet(screenshotOption)) {
        const QString path = screenshotFolder;
        QTimer::singleShot(0, frame_.get(), [this, path] {
            int status = TakeScreenshots(*frame_, path) ? 0 : 1;
            QApplication::exit(status);
        });
    }
    return -1;
}

}  // namespace kvt
