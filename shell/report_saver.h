// Writes tool reports into a file: Save All joins the reports of every open window in the
// fixed tool order; Save writes the active window's report.
#pragma once

#include <string>
#include <vector>

#include "shell/tool_registry.h"

namespace kvt {

struct ReportWindow {
    const ToolKind* kind;
    ToolView* view;
};

// Number of tool groups in a Save All file; a "\n" follows every group but the last.
inline constexpr int kSaveAllGroups = 8;

enum class SaveResult {
    Written,
    OpenFailed,   // "Error! Unable to open file!"
    WriteFailed,  // the file is incomplete (disk full, I/O error)
    UseOwnSave,   // the tool saves through its own command; the file stays empty
};
inline constexpr const char* kOpenFailedMessage = "Error! Unable to open file!";
inline constexpr const char* kWriteFailedMessage = "Error! Unable to write file!";
inline constexpr const char* kUseOwnSaveMessage = "Please use the SAVE button in HexEditView!";

// windows: every open tool window, oldest first.
SaveResult SaveAllReports(const std::string& path, const std::vector<ReportWindow>& windows);
SaveResult SaveActiveReport(const std::string& path, const ReportWindow& active);

}  // namespace kvt
