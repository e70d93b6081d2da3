// The base of every tool view: a widget that lives in one tool window, writes its report,
// takes the presets of OpenGroupIoAt/OpenMemoryDumpAt and handles Copy, Cut and Paste for
// its entry fields.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

class QLineEdit;

namespace kvt {

class ReportStream;
class DriverClient;
class DriverWait;
struct DriverCapabilities;
class Platform;
class ToolHost;
struct WatchTarget;

// What a view is given when its window is created.
struct ToolContext {
    DriverClient* client = nullptr;
    Platform* platform = nullptr;
    ToolHost* host = nullptr;  // OpenGroupIoAt, OpenMemoryDumpAt, GetProgramFolder
    // Shows the progress of long actions and lets them be cancelled; may be null.
    DriverWait* wait = nullptr;
    // What the daemon's backend can do, once known (for the causes of failed requests); the
    // record lives as long as the window. May be null.
    const DriverCapabilities* capabilities = nullptr;
    // The window's document title: the kind's document name and a running number per kind
    // ("Memory1"); the Memory Dump and Hex Viewer/Editor name their files after it.
    QString documentTitle;
};

class ToolView : public QWidget {
    Q_OBJECT
  public:
    explicit ToolView(QWidget* parent = nullptr) : QWidget(parent) {}

    // Writes the view's current content at the stream's position. Views without a report
    // write nothing.
    virtual void WriteReport(ReportStream& out) { (void)out; }

    // OpenGroupIoAt / OpenMemoryDumpAt hand their two numbers to the new view.
    virtual void Preset(uint32_t first, uint32_t second) {
        (void)first;
        (void)second;
    }

    // Copy, Cut and Paste go to the focused entry field of the view (a QLineEdit): Copy and
    // Cut need a selection, Paste an editable field and text on the clipboard.
    virtual bool CanCopy() const;
    virtual bool CanCut() const;
    virtual bool CanPaste() const;
    virtual void Copy();
    virtual void Cut();
    virtual void Paste();

    // Before the window closes (or the program exits): a view with unsaved work may ask the
    // user; false keeps the window open.
    virtual bool ConfirmClose() { return true; }

  protected:
    // The focused entry field when it belongs to this view.
    QLineEdit* FocusedEntry() const;
};

// The services a view may ask of the main window.
class ToolHost {
  public:
    virtual ~ToolHost() = default;
    virtual void OpenGroupIoAt(uint32_t firstPort, uint32_t count) = 0;
    virtual void OpenMemoryDumpAt(uint32_t physicalAddress, uint32_t size) = 0;
    // The folder of the program with a trailing "/"; also made the current directory.
    virtual QString GetProgramFolder() = 0;
    virtual uint32_t GetProcessorCount() = 0;
    // Opens a chart window that samples the register over time (a view's Watch action).
    virtual void OpenWatch(const WatchTarget& target) { (void)target; }
};

}  // namespace kvt
