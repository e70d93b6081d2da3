// The main window: menus, toolbar, status bar, the "My Bar" dock with the tool tree, and
// the tool windows in an MDI client area.
#pragma once

#include <QMainWindow>
#include <QMdiSubWindow>
#include <QPointer>
#include <QUrl>
#include <functional>
#include <map>
#include <vector>

#include "hwaccess/driver_client.h"
#include "shell/report_saver.h"
#include "shell/sizing_control_bar.h"
#include "shell/tool_registry.h"
#include "shell/tool_view.h"

class QMdiArea;
class QTreeWidget;
class QTreeWidgetItem;
class QLabel;
class QMenu;
class QToolBar;
class QDockWidget;
class QToolButton;

namespace kvt {

class HardwareSession;
class DriverWait;

// Command ids of the main window (kept as the data of each QAction).
enum CommandId : int {
    kCmdSave = 32777,
    kCmdSaveAll = 166,
    kCmdCut = 57635,
    kCmdCopy = 57634,
    kCmdPaste = 57637,
    kCmdUndo = 57643,
    kCmdNew = 57600,
    kCmdFileSave = 57603,
    kCmdAbout = 57664,
    kCmdSupport = 32780,
    kCmdClose = 57602,
    kCmdExit = 57665,
    kCmdViewToolbar = 59392,
    kCmdViewStatusBar = 59393,
    kCmdHelpTopics = 57667,
    kCmdHelp = 57670,
    kCmdContextHelp = 57669,
    kCmdNextPane = 57680,
    kCmdPrevPane = 57681,
};
inline constexpr int kMainMenuId = 128;
inline constexpr int kTreeControlId = 107;
// The bar that holds the tool tree.
inline constexpr int kMyBarId = 59424;
inline constexpr int kMyBarWidth = 180;
inline constexpr int kMyBarHeight = 80;
// The program's version as the About box shows it ("1.88.00.8"), made from the project's.
inline constexpr const char* kVersionText = KORVANTA_VERSION_TEXT;

// A tool window: one view of one tool kind, titled with the kind's window title.
class CChildFrame : public QMdiSubWindow {
    Q_OBJECT
  public:
    CChildFrame(const ToolKind& kind, ToolView* view, quint64 serial, QString documentTitle);
    const ToolKind& kind() const { return *kind_; }
    ToolView* view() const { return view_; }
    quint64 serial() const { return serial_; }  // creation order
    // The document name and the running number of its kind ("Single IO1").
    const QString& documentTitle() const { return documentTitle_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    bool fitting_ = false;
    const ToolKind* kind_;
    ToolView* view_;
    quint64 serial_;
    QString documentTitle_;
};

// Watches the whole application for the lock keys.
class LockKeyWatcher : public QObject {
    Q_OBJECT
  public:
    explicit LockKeyWatcher(std::function<void()> changed) : changed_(std::move(changed)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::function<void()> changed_;
};

class CMainFrame : public QMainWindow, public ToolHost {
    Q_OBJECT
  public:
    // Chooses the path of a report file; empty on Cancel. Tests replace the native dialog.
    using SavePathChooser = std::function<QString(QWidget* parent, const QString& folder)>;

    CMainFrame(const ToolRegistry& registry, HardwareSession& session, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Opens a new window of the named tool (exact name) and returns its view; null when the
    // name matches no tool or the tool has no view yet.
    ToolView* OpenTool(const QString& name);
    void OpenGroupIoAt(uint32_t firstPort, uint32_t count) override;
    void OpenMemoryDumpAt(uint32_t physicalAddress, uint32_t size) override;
    void OpenWatch(const WatchTarget& target) override;
    QString GetProgramFolder() override;
    uint32_t GetProcessorCount() override;

    // Report saving (Save All, Save).
    void SaveAllReports();
    void SaveActiveReport();
    void setSavePathChooser(SavePathChooser chooser) { chooseSavePath_ = std::move(chooser); }
    static QString ChooseSavePathWithDialog(QWidget* parent, const QString& folder);

    // Opens at most of the screen's work area (at least 1024 x 700 where it fits), centred.
    void FitToWorkArea();

    void ShowAbout();
    void OpenSupportPage();
    static QUrl SupportPageUrl();
    // The folder the save dialog opens in, given the program folder (with its "/").
    static QString ReportFolder(const QString& programFolder);

    // A simulated board answers only once its driver runs: the tree's root item is filled
    // again once loading the driver has succeeded or failed. Until the computer's name is
    // known the root says what the program waits for, never an empty name.
    void RefreshComputerItem(bool driverLoaded = true);

    // Asks the driver what this machine offers and, when some kind of access is missing,
    // shows a warning in the status bar whose tooltip (and click) gives each reason.
    void ShowAccessProblems();
    QToolButton* accessPane() const { return accessPane_; }
    const DriverCapabilities* capabilities() const {
        return capabilitiesKnown_ ? &capabilities_ : nullptr;
    }
    DriverWait* driverWait() const { return wait_; }

    // Raises and activates the window (a second copy of the program asked for it).
    void BringToFront();

    // Inspection for the status bar, menus and tests.
    QAction* action(int commandId) const;
    QTreeWidget* toolTree() const { return tree_; }
    QMdiArea* mdiArea() const { return mdi_; }
    CSizingControlBar* toolDock() const { return dock_; }
    QLabel* sessionPane() const { return sessionPane_; }
    QList<CChildFrame*> toolWindows() const;  // in creation order
    CChildFrame* activeToolWindow() const;
    int currentMenuId() const { return currentMenuId_; }
    QMenu* newMenu() const { return newMenu_; }

  signals:
    void shown();
    void broughtToFront();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildActions();
    void BuildMenus();
    void BuildToolBar();
    void BuildStatusBar();
    void BuildToolTree();
    enum class DriverState { Loading, Loaded, Failed };
    QString ComputerItemText();
    QString BaseTitle() const;
    QAction* MakeAction(int id, const QString& text, const QString& prompt = QString());
    void OnSubWindowActivated(QMdiSubWindow* window);
    void ApplyMenuFor(const ToolKind* kind);
    void UpdateCommandStates();
    void UpdateTitleLater();
    void UpdateEditCommands();
    void UpdateLockIndicators();
    void OnFocusChanged(QWidget* old, QWidget* now);
    // make: the view, when not the kind's factory's (a chart window for its register).
    CChildFrame* OpenKind(const ToolKind& kind, const ViewFactory& make = {});
    void PlaceNewWindow(CChildFrame* frame);
    QString ChooseReportPath();
    void ShowSaveResult(SaveResult result);

    const ToolRegistry& registry_;
    HardwareSession& session_;
    QMdiArea* mdi_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    CSizingControlBar* dock_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QMenu* newMenu_ = nullptr;
    std::vector<QMenu*> folderMenus_;  // the New submenus of the tree's folders
    QLabel* capPane_ = nullptr;
    QLabel* numPane_ = nullptr;
    QLabel* scrlPane_ = nullptr;
    QLabel* sessionPane_ = nullptr;
    QToolButton* accessPane_ = nullptr;
    DriverWait* wait_ = nullptr;
    DriverCapabilities capabilities_;
    bool capabilitiesKnown_ = false;
    std::map<int, QAction*> actions_;
    std::map<int, QAction*> newActions_;  // File ▸ New items by command id
    QPointer<CChildFrame> lastActive_;
    QPointer<CChildFrame> lastPlaced_;
    QPointer<QWidget> watchedEntry_;
    quint64 nextSerial_ = 1;
    std::map<QString, int> documentCounts_;  // running number per kind, never reused
    int currentMenuId_ = kMainMenuId;
    bool shownOnce_ = false;
    bool tearingDown_ = false;
    LockKeyWatcher* lockKeyWatcher_ = nullptr;
    SavePathChooser chooseSavePath_;
    DriverState driverState_ = DriverState::Loading;
};

}  // namespace kvt
