// The program's icons, drawn at run time (no image files to install).
#pragma once

#include <QIcon>
#include <QString>

namespace kvt {

QIcon AppIcon();
QIcon ComputerIcon();
QIcon FolderIcon();
QIcon ToolIcon(const QString& toolName);
QIcon CommandIcon(int commandId);

}  // namespace kvt
