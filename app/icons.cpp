#include "app/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

#include "app/main_frame.h"
#include "app/tool_table.h"

namespace kvt {

namespace {

constexpr int kSize = 32;  // drawn at 32 px, shown at 16 px (sharp on high-density screens)

QIcon Draw(const std::function<void(QPainter&)>& paint) {
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    paint(p);
    p.end();
    return QIcon(pixmap);
}

// A rounded tile in the tool's colour with a short label: easy to tell apart in the tree.
QIcon Tile(const QColor& color, const QString& label) {
    return Draw([&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
        QFont font = p.font();
        font.setBold(true);
        font.setPixelSize(label.size() > 2 ? 11 : 14);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(0, 0, kSize, kSize), Qt::AlignCenter, label);
    });
}

}  // namespace

QIcon AppIcon() {
    return Draw([](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1f, 0x6f, 0xb2));
        p.drawRoundedRect(QRectF(1, 1, 30, 30), 7, 7);
        p.setBrush(QColor(0xe8, 0xf1, 0xfa));
        p.drawRect(QRectF(9, 9, 14, 14));
        p.setPen(QPen(QColor(0xe8, 0xf1, 0xfa), 2));
        for (int i = 0; i < 3; ++i) {
            int c = 11 + i * 5;
            p.drawLine(c, 4, c, 8);
            p.drawLine(c, 24, c, 28);
            p.drawLine(4, c, 8, c);
            p.drawLine(24, c, 28, c);
        }
    });
}

QIcon ComputerIcon() {
    return Draw([](QPainter& p) {
        p.setPen(QPen(QColor(0x44, 0x4c, 0x56), 2));
        p.setBrush(QColor(0xd6, 0xe4, 0xf0));
        p.drawRoundedRect(QRectF(3, 4, 26, 18), 2, 2);
        p.setBrush(QColor(0x44, 0x4c, 0x56));
        p.drawRect(QRectF(13, 22, 6, 4));
        p.drawRect(QRectF(8, 26, 16, 2));
    });
}

QIcon FolderIcon() {
    return Draw([](QPainter& p) {
        p.setPen(QPen(QColor(0xb0, 0x80, 0x20), 1.5));
        p.setBrush(QColor(0xf4, 0xc4, 0x5a));
        QPainterPath path;
        path.moveTo(3, 8);
        path.lineTo(12, 8);
        path.lineTo(15, 11);
        path.lineTo(29, 11);
        path.lineTo(29, 26);
        path.lineTo(3, 26);
        path.closeSubpath();
        p.drawPath(path);
    });
}

// The tile of the tool's entry in the tool table.
QIcon ToolIcon(const QString& name) {
    const ToolEntry* entry = FindToolEntry(name);
    return entry == nullptr ? QIcon() : Tile(entry->iconColor, entry->iconLabel);
}

QIcon CommandIcon(int id) {
    const QColor ink(0x37, 0x47, 0x4f);
    switch (id) {
        case kCmdSave:
        case kCmdSaveAll:
            return Draw([id, ink](QPainter& p) {
                auto disk = [&](qreal x, qreal y, qreal s) {
                    p.setPen(QPen(ink, 2));
                    p.setBrush(QColor(0x42, 0x85, 0xf4));
                    p.drawRoundedRect(QRectF(x, y, s, s), 2, 2);
                    p.setBrush(Qt::white);
                    p.drawRect(QRectF(x + s * 0.22, y + 2, s * 0.56, s * 0.32));
                };
                if (id == kCmdSaveAll) {
                    disk(9, 2, 20);
                    disk(3, 10, 20);
                } else {
                    disk(4, 4, 24);
                }
            });
        case kCmdCut:
            return Draw([ink](QPainter& p) {
                p.setPen(QPen(ink, 2.2));
                p.drawLine(QPointF(9, 3), QPointF(20, 21));
                p.drawLine(QPointF(23, 3), QPointF(12, 21));
                p.setBrush(Qt::NoBrush);
                p.drawEllipse(QPointF(9, 25), 4.5, 4.5);
                p.drawEllipse(QPointF(23, 25), 4.5, 4.5);
            });
        case kCmdCopy:
            return Draw([ink](QPainter& p) {
                p.setPen(QPen(ink, 2));
                p.setBrush(Qt::white);
                p.drawRoundedRect(QRectF(4, 4, 16, 20), 2, 2);
                p.drawRoundedRect(QRectF(12, 9, 16, 20), 2, 2);
            });
        case kCmdPaste:
            return Draw([ink](QPainter& p) {
                p.setPen(QPen(ink, 2));
                p.setBrush(QColor(0xd7, 0xa8, 0x5a));
                p.drawRoundedRect(QRectF(5, 5, 22, 25), 3, 3);
                p.setBrush(Qt::white);
                p.drawRoundedRect(QRectF(11, 2, 10, 6), 2, 2);
                p.drawRect(QRectF(10, 12, 13, 14));
            });
        case kCmdAbout:
            return Draw([](QPainter& p) {
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(0x1f, 0x6f, 0xb2));
                p.drawEllipse(QRectF(2, 2, 28, 28));
                QFont font = p.font();
                font.setBold(true);
                font.setPixelSize(20);
                p.setFont(font);
                p.setPen(Qt::white);
                p.drawText(QRectF(0, 0, kSize, kSize), Qt::AlignCenter, QStringLiteral("?"));
            });
        case kCmdSupport:
            return Draw([](QPainter& p) {
                p.setPen(QPen(QColor(0x2e, 0x7d, 0x32), 2));
                p.setBrush(QColor(0xe8, 0xf5, 0xe9));
                p.drawEllipse(QRectF(3, 3, 26, 26));
                p.drawLine(QPointF(3, 16), QPointF(29, 16));
                p.drawEllipse(QRectF(10, 3, 12, 26));
            });
        default:
            return QIcon();
    }
}

}  // namespace kvt
