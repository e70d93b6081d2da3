// `korvanta --screenshot FOLDER`: PNG pictures for the documentation, taken on whatever the
// program works on (normally a simulated board): the main window at 1280 x 800 with two Single
// I/O windows ("korvanta-main-window.png"), then each tool window alone at the size it opens
// at, with some content ("korvanta-<tool>.png").
#pragma once

#include <QString>

namespace kvt {

class CMainFrame;
bool TakeScreenshots(CMainFrame& frame, const QString& folder);

}  // namespace kvt
