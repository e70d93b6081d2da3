// The chart window of a watched register: samples taken on a thread of their own through the
// driver client, the value plotted over time, and a cursor that reads the sample under the
// mouse.
#pragma once

#include <QLabel>
#include <QWidget>
#include <memory>
#include <thread>
#include <vector>

#include "shell/tool_registry.h"
#include "shell/tool_view.h"
#include "tools/watch/watch.h"

class QPushButton;
class QSpinBox;

namespace kvt {

// Value over time; the mouse moves a cursor over the samples.
class WatchChart : public QWidget {
    Q_OBJECT
  public:
    explicit WatchChart(QWidget* parent = nullptr);
    void SetSamples(const std::vector<WatchSample>* samples);
    // The sample nearest to the horizontal position, or -1 when there is none.
    int SampleAt(int x) const;
    // The sample the cursor stands on, or -1.
    int cursor() const { return cursor_; }
    // The horizontal position of a sample in the plot.
    int XOf(size_t sample) const;

  signals:
    void cursorMoved(int sample);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    QSize sizeHint() const override { return {480, 220}; }

  private:
    QRect Plot() const;
    const std::vector<WatchSample>* samples_ = nullptr;
    int cursor_ = -1;
};

class CKvtWatchView : public ToolView {
    Q_OBJECT
  public:
    static constexpr int kDefaultIntervalMs = 250;
    static constexpr size_t kMaxSamples = 10000;  // the oldest go first

    CKvtWatchView(const ToolContext& context, const WatchTarget& target, QWidget* parent = nullptr);
    ~CKvtWatchView() override;

    // The samples, as lines with their time stamps.
    void WriteReport(ReportStream& out) override;

    void Start();
    void Stop();
    bool running() const { return worker_.joinable(); }

    const std::vector<WatchSample>& samples() const { return samples_; }
    WatchChart* chart() const { return chart_; }
    QLabel* cursorLabel() const { return cursorLabel_; }
    QLabel* statusLabel() const { return status_; }
    QSpinBox* intervalBox() const { return interval_; }
    QPushButton* startStopButton() const { return startStop_; }
    const WatchTarget& target() const { return target_; }

  private:
    void Add(unsigned generation, const WatchSample& sample);
    void Ended(unsigned generation, WatchEnd end, const std::string& why);
    void ShowCursor(int sample);

    DriverClient* client_;
    const DriverCapabilities* capabilities_;
    WatchTarget target_;
    std::vector<WatchSample> samples_;
    std::unique_ptr<WatchStop> stop_;
    std::thread worker_;
    unsigned generation_ = 0;  // of the running worker; late posts of an earlier one are dropped
    WatchChart* chart_ = nullptr;
    QLabel* cursorLabel_ = nullptr;
    QLabel* status_ = nullptr;
    QSpinBox* interval_ = nullptr;
    QPushButton* startStop_ = nullptr;
};

// The kind the chart windows belong to: not in the tool tree, not part of Save All.
const ToolKind& WatchToolKind();

}  // namespace kvt
