#include "tools/watch/view/CKvtWatchView.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/format.h"
#include "platform/report_stream.h"

namespace kvt {

namespace {

constexpr size_t kMaxSeries = 8;
const QColor kSeriesColors[kMaxSeries] = {Qt::darkBlue,    Qt::darkRed,  Qt::darkGreen,
                                          Qt::darkMagenta, Qt::darkCyan, Qt::darkYellow,
                                          Qt::black,       Qt::gray};

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

WatchChart::WatchChart(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("watchChart"));
    setMouseTracking(true);
    setMinimumSize(240, 120);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
}

void WatchChart::SetSamples(const std::vector<WatchSample>* samples) {
    samples_ = samples;
    if (samples_ == nullptr || cursor_ >= static_cast<int>(samples_->size())) cursor_ = -1;
    update();
}

QRect WatchChart::Plot() const {
    const int label = fontMetrics().horizontalAdvance(QStringLiteral("0000000000000000")) + 8;
    return rect().adjusted(std::min(label, width() / 3), 8, -8, -fontMetrics().height() - 6);
}

int WatchChart::XOf(size_t sample) const {
    const QRect plot = Plot();
    if (samples_ == nullptr || samples_->size() < 2) return plot.center().x();
    const auto first = samples_->front().steady, last = samples_->back().steady;
    const double span = std::chrono::duration<double>(last - first).count();
    const double at = std::chrono::duration<double>((*samples_)[sample].steady - first).count();
    return plot.left() + static_cast<int>(span > 0 ? at / span * plot.width() : 0);
}

int WatchChart::SampleAt(int x) const {
    if (samples_ == nullptr || samples_->empty()) return -1;
    // Samples are in time order: the first at or right of x, or the one before it.
    size_t low = 0, high = samples_->size();
    while (low < high) {
        size_t mid = (low + high) / 2;
        if (XOf(mid) < x)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == samples_->size()) return static_cast<int>(low - 1);
    if (low > 0 && x - XOf(low - 1) < XOf(low) - x) return static_cast<int>(low - 1);
    return static_cast<int>(low);
}

void WatchChart::mouseMoveEvent(QMouseEvent* event) {
    int at = SampleAt(event->position().toPoint().x());
    if (at != cursor_) {
        cursor_ = at;
        update();
        emit cursorMoved(at);
    }
}

void WatchChart::leaveEvent(QEvent*) {
    // The cursor stays where it was read.
}

void WatchChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect plot = Plot();
    painter.setPen(Qt::lightGray);
    painter.drawRect(plot);
    if (samples_ == nullptr || samples_->empty()) return;
    const std::vector<WatchSample>& samples = *samples_;

    uint64_t low = UINT64_MAX, high = 0;
    size_t series = 0;
    for (const WatchSample& s : samples) {
        if (!s.ok) continue;
        series = std::max(series, std::min(s.values.size(), kMaxSeries));
        for (size_t k = 0; k < std::min(s.values.size(), kMaxSeries); ++k) {
            low = std::min(low, s.values[k]);
            high = std::max(high, s.values[k]);
        }
    }
    auto yOf = [&](uint64_t v) {
        if (high == low) return plot.center().y();
        const double f = double(v - low) / double(high - low);
        return plot.bottom() - static_cast<int>(f * plot.height());
    };
    if (series > 0) {
        painter.setPen(Qt::black);
        const int h = fontMetrics().height();
        painter.drawText(QRect(0, plot.top(), plot.left() - 4, h), Qt::AlignRight,
                         Q(Format("%llX", static_cast<unsigned long long>(high))));
        painter.drawText(QRect(0, plot.bottom() - h, plot.left() - 4, h), Qt::AlignRight,
                         Q(Format("%llX", static_cast<unsigned long long>(low))));
    }
    painter.setPen(Qt::black);
    const int textY = plot.bottom() + 4;
    const int h = fontMetrics().height();
    painter.drawText(QRect(plot.left(), textY, plot.width(), h), Qt::AlignLeft,
                     Q(WatchTimeText(samples.front().time)));
    painter.drawText(QRect(plot.left(), textY, plot.width(), h), Qt::AlignRight,
                     Q(WatchTimeText(samples.back().time)));

    painter.setRenderHint(QPainter::Antialiasing);
    for (size_t k = 0; k < series; ++k) {
        painter.setPen(QPen(kSeriesColors[k], 1.5));
        QPainterPath path;
        bool drawing = false;
        for (size_t i = 0; i < samples.size(); ++i) {
            const WatchSample& s = samples[i];
            if (!s.ok || k >= s.values.size()) {
                drawing = false;  // no line across a read that did not happen
                continue;
            }
            QPointF at(XOf(i), yOf(s.values[k]));
            if (drawing) {
                // A step: the value held until the next sample.
                path.lineTo(at.x(), path.currentPosition().y());
                path.lineTo(at);
            } else {
                path.moveTo(at);
                drawing = true;
            }
        }
        painter.drawPath(path);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::red);
    for (size_t i = 0; i < samples.size(); ++i)
        if (!samples[i].ok) painter.drawLine(XOf(i), plot.bottom(), XOf(i), plot.bottom() - 6);

    if (cursor_ >= 0 && cursor_ < static_cast<int>(samples.size())) {
        const int x = XOf(static_cast<size_t>(cursor_));
        painter.setPen(QPen(Qt::darkGray, 1, Qt::DashLine));
        painter.drawLine(x, plot.top(), x, plot.bottom());
        const WatchSample& s = samples[static_cast<size_t>(cursor_)];
        painter.setPen(Qt::black);
        for (size_t k = 0; s.ok && k < std::min(s.values.size(), kMaxSeries); ++k)
            painter.drawEllipse(QPoint(x, yOf(s.values[k])), 3, 3);
    }
}

const ToolKind& WatchToolKind() {
    static const ToolKind kind{QStringLiteral("Watch"),
                               0,
                               0,
                               QStringLiteral("Watch\nWatch"),
                               0,
                               ReportMode::Text,
                               false,
                               QStringLiteral("CKvtWatchView"),
                               {}};
    return kind;
}

CKvtWatchView::CKvtWatchView(const ToolContext& context, const WatchTarget& target, QWidget* parent)
    : ToolView(parent),
      client_(context.client),
      capabilities_(context.capabilities),
      target_(target) {
    setObjectName(QStringLiteral("CKvtWatchView"));
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(Q(WatchTitle(target_)), this));
    top->addStretch(1);
    top->addWidget(new QLabel(tr("Interval (ms)"), this));
    interval_ = new QSpinBox(this);
    interval_->setRange(1, 3600000);
    interval_->setValue(kDefaultIntervalMs);
    top->addWidget(interval_);
    startStop_ = new QPushButton(tr("Stop"), this);
    top->addWidget(startStop_);
    layout->addLayout(top);
    chart_ = new WatchChart(this);
    chart_->SetSamples(&samples_);
    layout->addWidget(chart_, 1);
    cursorLabel_ = new QLabel(this);
    cursorLabel_->setObjectName(QStringLiteral("cursorLabel"));
    cursorLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("watchStatus"));
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(cursorLabel_, 1);
    bottom->addWidget(status_);
    layout->addLayout(bottom);

    connect(chart_, &WatchChart::cursorMoved, this, &CKvtWatchView::ShowCursor);
    connect(startStop_, &QPushButton::clicked, this, [this] { running() ? Stop() : Start(); });
    connect(interval_, &QSpinBox::editingFinished, this, [this] {
        if (running()) {
            Stop();
            Start();
        }
    });
    Start();
}

CKvtWatchView::~CKvtWatchView() {
    Stop();
}

void CKvtWatchView::Start() {
    if (running() || client_ == nullptr) return;
    stop_ = std::make_unique<WatchStop>();
    WatchOptions options;
    options.interval = std::chrono::milliseconds(interval_->value());
    const unsigned generation = ++generation_;
    status_->setText(tr("Watching"));
    startStop_->setText(tr("Stop"));
    // The samples are taken off the window's thread; each reaches the window as an event, so
    // the window never waits for the driver.
    worker_ = std::thread([this, options, generation, stop = stop_.get(), client = client_,
                           target = target_, caps = capabilities_] {
        WatchSampler sampler(*client, target, caps);
        std::string why;
        WatchEnd end = WatchEnd::Fatal;
        if (sampler.Prepare(why)) {
            end = RunWatch(sampler, options, *stop, [&](const WatchSample& sample) {
                if (sample.fatal) why = sample.text;
                QMetaObject::invokeMethod(
                    this, [this, generation, sample] { Add(generation, sample); },
                    Qt::QueuedConnection);
                return true;
            });
        }
        QMetaObject::invokeMethod(
            this, [this, generation, end, why] { Ended(generation, end, why); },
            Qt::QueuedConnection);
    });
}

void CKvtWatchView::Stop() {
    if (!running()) return;
    stop_->Request();
    worker_.join();
    ++generation_;
    status_->setText(tr("Stopped"));
    startStop_->setText(tr("Start"));
}

void CKvtWatchView::Add(unsigned generation, const WatchSample& sample) {
    if (generation != generation_) return;
    if (samples_.size() >= kMaxSamples) {
        samples_.erase(samples_.begin());
        ShowCursor(std::max(-1, chart_->cursor() - 1));
    }
    samples_.push_back(sample);
    chart_->SetSamples(&samples_);
}

void CKvtWatchView::Ended(unsigned generation, WatchEnd end, const std::string& why) {
    if (generation != generation_) return;
    if (worker_.joinable()) worker_.join();
    ++generation_;
    startStop_->setText(tr("Start"));
    status_->setText(end == WatchEnd::Fatal ? Q("Ended: " + why) : tr("Stopped"));
}

void CKvtWatchView::ShowCursor(int sample) {
    cursorLabel_->setText(sample < 0 || sample >= static_cast<int>(samples_.size())
                              ? QString()
                              : Q(WatchLine(samples_[static_cast<size_t>(sample)])));
}

void CKvtWatchView::WriteReport(ReportStream& out) {
    std::string text = "Watch " + WatchTitle(target_) + "\n";
    for (const WatchSample& s : samples_) text += WatchLine(s) + "\n";
    out.Write(text);
}

}  // namespace kvt
