// `korvanta --screenshot FILE`: the main window at 1280 x 800 with two Single I/O windows,
// saved as a PNG for the documentation.
#pragma once

#include <QString>

namespace kvt {

class CMainFrame;
bool TakeScreenshot(CMainFrame& frame, const QString& path);

}  // namespace kvt
