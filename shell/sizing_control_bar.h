// A docking bar whose size the user changes by dragging its inner edge. It keeps one size per
// placement (docked top/bottom, docked left/right, floating), takes the size of the side it
// is docked on, and never becomes smaller than its minimum.
#pragma once

#include <QDockWidget>
#include <QSize>

class QMainWindow;

namespace kvt {

class CSizingControlBar : public QDockWidget {
    Q_OBJECT
  public:
    static constexpr int kMinWidth = 33;
    static constexpr int kMinHeight = 32;
    static constexpr int kEdgeWidth = 5;
    static constexpr int kGripperHeight = 12;
    static constexpr int kNewBarSize = 200;
    // Room the dragged edge leaves to the rest of the frame's client area.
    static constexpr int kFreeAreaMargin = 4;

    explicit CSizingControlBar(QWidget* parent = nullptr);

    // Creates the bar in `frame` with `defaultSize` for all three placements. A bar with a
    // gripper can be closed; one without cannot. The bar is not docked yet.
    bool Create(const QString& title, QMainWindow* frame, QSize defaultSize, bool withGripper,
                int controlId);
    // The bar's one child, which fills its client area.
    void SetChild(QWidget* child);
    // Docks the bar on a side at that side's size.
    void DockOn(Qt::DockWidgetArea area);

    QSize horzSize() const { return horz_; }
    QSize vertSize() const { return vert_; }
    QSize floatSize() const { return float_; }
    int gripperHeight() const { return gripper_ ? kGripperHeight : 0; }
    int controlId() const { return id_; }
    QWidget* sizingEdge() const { return edge_; }

    // Settings: section "<prefix>-SCBar-<control id>", sizes never below the minimum.
    void LoadState(const QString& prefix);
    void SaveState(const QString& prefix) const;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    friend class SizingEdge;
    friend class SizingBody;
    bool Vertical() const;  // docked left or right
    void PlaceEdge();
    void BeginTrack();
    void Track(int delta);
    void ApplySideSize();

    QMainWindow* frame_ = nullptr;
    QWidget* body_ = nullptr;
    QWidget* child_ = nullptr;
    QWidget* edge_ = nullptr;
    QSize horz_{kNewBarSize, kNewBarSize}, vert_{kNewBarSize, kNewBarSize},
        float_{kNewBarSize, kNewBarSize};
    bool gripper_ = false;
    int id_ = 0;
    Qt::DockWidgetArea area_ = Qt::LeftDockWidgetArea;
    int trackStart_ = 0;  // the size when the drag began
    int trackMax_ = 0;
};

}  // namespace kvt
