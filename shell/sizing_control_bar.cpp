#include "shell/sizing_control_bar.h"

#include <QLabel>
#include <QMainWindow>
#include <QMouseEvent>
#include <QSettings>
#include <algorithm>

namespace kvt {

// The strip along the bar's inner edge: pressing it and moving the mouse resizes the bar.
class SizingEdge : public QWidget {
  public:
    explicit SizingEdge(CSizingControlBar* bar) : QWidget(bar), bar_(bar) {
        setObjectName(QStringLiteral("sizingEdge"));
    }

  protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton || bar_->isFloating()) return;
        origin_ = event->globalPosition().toPoint();
        tracking_ = true;
        bar_->BeginTrack();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (!tracking_) return;
        const QPoint d = event->globalPosition().toPoint() - origin_;
        // Moving away from the docked side makes the bar larger.
        int delta = 0;
        switch (bar_->area_) {
            case Qt::LeftDockWidgetArea:
                delta = d.x();
                break;
            case Qt::RightDockWidgetArea:
                delta = -d.x();
                break;
            case Qt::TopDockWidgetArea:
                delta = d.y();
                break;
            default:
                delta = -d.y();
                break;
        }
        bar_->Track(delta);  // the bar is laid out live: no outline is drawn
    }
    void mouseReleaseEvent(QMouseEvent*) override { tracking_ = false; }

  private:
    CSizingControlBar* bar_;
    QPoint origin_;
    bool tracking_ = false;
};

// The bar's caption: its text may be cut, so it never holds the bar above its minimum.
class BarCaption : public QLabel {
  public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override { return {1, QLabel::minimumSizeHint().height()}; }
};

// The bar's client area: lays out the child and the edge strip whenever its size changes.
class SizingBody : public QWidget {
  public:
    SizingBody(CSizingControlBar* bar) : QWidget(bar), bar_(bar) {}

  protected:
    void resizeEvent(QResizeEvent*) override { bar_->PlaceEdge(); }

  private:
    CSizingControlBar* bar_;
};

CSizingControlBar::CSizingControlBar(QWidget* parent) : QDockWidget(parent) {
    body_ = new SizingBody(this);
    edge_ = new SizingEdge(this);
    edge_->setParent(body_);
    setWidget(body_);
    setMinimumSize(kMinWidth, kMinHeight);
    connect(this, &QDockWidget::dockLocationChanged, this, [this](Qt::DockWidgetArea area) {
        if (area == Qt::NoDockWidgetArea) return;
        area_ = area;
        PlaceEdge();
        ApplySideSize();
    });
    connect(this, &QDockWidget::topLevelChanged, this, [this](bool floating) {
        PlaceEdge();
        if (floating) resize(float_);
    });
}

bool CSizingControlBar::Create(const QString& title, QMainWindow* frame, QSize defaultSize,
                               bool withGripper, int controlId) {
    if (frame == nullptr) return false;
    frame_ = frame;
    setParent(frame);
    setWindowTitle(title);
    // A plain caption: the standard one would hold the bar wider than its minimum. Mouse
    // presses on it pass to the bar, which drags it to another side or floats it.
    auto* caption = new BarCaption(title, this);
    caption->setObjectName(QStringLiteral("barCaption"));
    caption->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    caption->setMinimumWidth(1);
    caption->setContentsMargins(4, 2, 4, 2);
    setTitleBarWidget(caption);
    const QSize size(std::max(defaultSize.width(), kMinWidth),
                     std::max(defaultSize.height(), kMinHeight));
    horz_ = vert_ = float_ = size;
    gripper_ = withGripper;
    id_ = controlId;
    setProperty("controlId", controlId);
    QDockWidget::DockWidgetFeatures features =
        QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable;
    if (withGripper) features |= QDockWidget::DockWidgetClosable;
    setFeatures(features);
    setAllowedAreas(Qt::AllDockWidgetAreas);
    return true;
}

void CSizingControlBar::SetChild(QWidget* child) {
    child_ = child;
    child->setParent(body_);
    child->setMinimumSize(0, 0);
    PlaceEdge();
    child->show();
}

void CSizingControlBar::DockOn(Qt::DockWidgetArea area) {
    area_ = area;
    frame_->addDockWidget(area, this);
    PlaceEdge();
    ApplySideSize();
}

bool CSizingControlBar::Vertical() const {
    return area_ == Qt::LeftDockWidgetArea || area_ == Qt::RightDockWidgetArea;
}

// The child fills the bar; the edge strip lies over the side that faces the client area.
void CSizingControlBar::PlaceEdge() {
    const QRect r = body_->rect();
    QRect strip;
    if (isFloating()) {
        strip = QRect();
    } else if (area_ == Qt::LeftDockWidgetArea) {
        strip = QRect(r.right() - kEdgeWidth + 1, 0, kEdgeWidth, r.height());
    } else if (area_ == Qt::RightDockWidgetArea) {
        strip = QRect(0, 0, kEdgeWidth, r.height());
    } else if (area_ == Qt::TopDockWidgetArea) {
        strip = QRect(0, r.bottom() - kEdgeWidth + 1, r.width(), kEdgeWidth);
    } else {
        strip = QRect(0, 0, r.width(), kEdgeWidth);
    }
    edge_->setGeometry(strip);
    edge_->setVisible(!strip.isEmpty());
    edge_->setCursor(Vertical() ? Qt::SizeHorCursor : Qt::SizeVerCursor);
    edge_->raise();
    if (child_ != nullptr) {
        QRect inner = r;
        if (!strip.isEmpty()) {
            if (area_ == Qt::LeftDockWidgetArea) inner.setRight(strip.left() - 1);
            if (area_ == Qt::RightDockWidgetArea) inner.setLeft(strip.right() + 1);
            if (area_ == Qt::TopDockWidgetArea) inner.setBottom(strip.top() - 1);
            if (area_ == Qt::BottomDockWidgetArea) inner.setTop(strip.bottom() + 1);
        }
        child_->setGeometry(inner);
    }
}

void CSizingControlBar::BeginTrack() {
    trackStart_ = Vertical() ? width() : height();
    // The bar may take the frame's free client area, less a margin.
    int free = trackStart_;
    if (frame_ != nullptr && frame_->centralWidget() != nullptr) {
        const QWidget* client = frame_->centralWidget();
        free += Vertical() ? client->width() : client->height();
    }
    trackMax_ = std::max(free - kFreeAreaMargin, Vertical() ? kMinWidth : kMinHeight);
}

void CSizingControlBar::Track(int delta) {
    const int minimum = Vertical() ? kMinWidth : kMinHeight;
    const int size = std::clamp(trackStart_ + delta, minimum, trackMax_);
    if (Vertical()) {
        vert_.setWidth(size);
    } else {
        horz_.setHeight(size);
    }
    ApplySideSize();
}

void CSizingControlBar::ApplySideSize() {
    if (frame_ == nullptr || isFloating()) return;
    if (Vertical()) {
        frame_->resizeDocks({this}, {vert_.width()}, Qt::Horizontal);
    } else {
        frame_->resizeDocks({this}, {horz_.height()}, Qt::Vertical);
    }
}

void CSizingControlBar::resizeEvent(QResizeEvent* event) {
    QDockWidget::resizeEvent(event);
    if (isFloating() && isVisible()) {
        float_ = QSize(std::max(width(), kMinWidth), std::max(height(), kMinHeight));
    }
}

void CSizingControlBar::LoadState(const QString& prefix) {
    QSettings settings;
    settings.beginGroup(QStringLiteral("%1-SCBar-%2").arg(prefix).arg(id_));
    auto load = [&](const char* key, int current, int minimum) {
        return std::max(settings.value(QLatin1String(key), current).toInt(), minimum);
    };
    horz_ = {load("sizeHorzCX", horz_.width(), kMinWidth),
             load("sizeHorzCY", horz_.height(), kMinHeight)};
    vert_ = {load("sizeVertCX", vert_.width(), kMinWidth),
             load("sizeVertCY", vert_.height(), kMinHeight)};
    float_ = {load("sizeFloatCX", float_.width(), kMinWidth),
              load("sizeFloatCY", float_.height(), kMinHeight)};
}

void CSizingControlBar::SaveState(const QString& prefix) const {
    QSettings settings;
    settings.beginGroup(QStringLiteral("%1-SCBar-%2").arg(prefix).arg(id_));
    settings.setValue(QStringLiteral("sizeHorzCX"), horz_.width());
    settings.setValue(QStringLiteral("sizeHorzCY"), horz_.height());
    settings.setValue(QStringLiteral("sizeVertCX"), vert_.width());
    settings.setValue(QStringLiteral("sizeVertCY"), vert_.height());
    settings.setValue(QStringLiteral("sizeFloatCX"), float_.width());
    settings.setValue(QStringLiteral("sizeFloatCY"), float_.height());
}

}  // namespace kvt
