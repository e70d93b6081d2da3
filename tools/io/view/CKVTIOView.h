// The Single I/O Access window: the direct and index access groups with their histories and
// the timer group. The rules live in SingleIoTool; this view shows its state.
#pragma once

#include <QTimer>
#include <memory>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/io/single_io_tool.h"

class QButtonGroup;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace kvt {

class CKVTIOView : public ToolView, public TimerControl {
    Q_OBJECT
  public:
    explicit CKVTIOView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKVTIOView() override;

    void WriteReport(ReportStream& out) override;

    // The controls, for the tests and the screenshot.
    QLineEdit* portEdit() const { return port_; }
    QLineEdit* portDataEdit() const { return portData_; }
    QLineEdit* indexPortEdit() const { return indexPort_; }
    QLineEdit* dataPortEdit() const { return dataPort_; }
    QLineEdit* offsetEdit() const { return offset_; }
    QLineEdit* indexDataEdit() const { return indexData_; }
    QLineEdit* intervalEdit() const { return interval_; }
    QPushButton* directReadButton() const { return directRead_; }
    QPushButton* directWriteButton() const { return directWrite_; }
    QPushButton* indexReadButton() const { return indexRead_; }
    QPushButton* indexWriteButton() const { return indexWrite_; }
    QPushButton* timerButton() const { return timerButton_; }
    QRadioButton* timerDirectChoice() const { return timerDirect_; }
    QRadioButton* timerIndexChoice() const { return timerIndex_; }
    QTreeWidget* directHistory() const { return directList_; }
    QTreeWidget* indexHistory() const { return indexList_; }
    QTimer* timer() { return &timer_; }
    void setDirectWidth(uint32_t width);
    void setIndexWidth(uint32_t width);
    const SingleIoTool& model() const { return *model_; }
    // The port field menu's Watch: a chart of the typed port at the direct width.
    void WatchPort();

  private:
    // TimerControl
    void StartTimer(int intervalMs) override;
    void StopTimer() override;

    QWidget* FieldWidget(std::string_view field) const;
    void PullFields();  // entry texts and choices into the model
    void PushState();   // model state into the controls
    void SyncHistories();
    template <typename Fn>
    void Act(Fn action);
    QString FailureTip(const std::string& data, TransportFailure failure) const;
    const DriverCapabilities* capabilities_ = nullptr;
    ToolHost* host_ = nullptr;
    bool acting_ = false;

    std::unique_ptr<ViewMessages> messages_;
    std::unique_ptr<SingleIoTool> model_;
    QTimer timer_;

    QLineEdit *port_ = nullptr, *portData_ = nullptr;
    QLineEdit *indexPort_ = nullptr, *dataPort_ = nullptr, *offset_ = nullptr,
              *indexData_ = nullptr;
    QLineEdit* interval_ = nullptr;
    QButtonGroup *directWidth_ = nullptr, *indexWidth_ = nullptr;
    QPushButton *directRead_ = nullptr, *directWrite_ = nullptr;
    QPushButton *indexRead_ = nullptr, *indexWrite_ = nullptr;
    QRadioButton *timerDirect_ = nullptr, *timerIndex_ = nullptr;
    QPushButton* timerButton_ = nullptr;
    QTreeWidget *directList_ = nullptr, *indexList_ = nullptr;
};

}  // namespace kvt
