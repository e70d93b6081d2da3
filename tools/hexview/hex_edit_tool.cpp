#include "tools/hexview/hex_edit_tool.h"

namespace kvt {

HexEditTool::HexEditTool(UserMessages& messages, HexDocument& document, std::string baseName)
    : messages_(messages), document_(document), baseName_(std::move(baseName)) {}

bool HexEditTool::Open(const std::string& path, const ProgressFn& progress) {
    document_.Attach(0, 0, baseName_);
    opened_ = false;
    path_ = path;
    uint64_t size = 0;
    if (CheckEditableFile(path, size) != FileResult::Ok) {
        messages_.ShowMessage("Error! Open File Error!");
        return false;
    }
    FileResult copy = baseName_.empty()
                          ? FileResult::OpenFailed
                          : MakeWorkingCopy(path, HexDocument::DataPath(baseName_), size, progress);
    if (copy == FileResult::Ok && document_.Attach(size, 0, baseName_) != 0) {
        copy = FileResult::WriteFailed;
    }
    if (copy != FileResult::Ok) {
        document_.RemoveFiles();
        messages_.ShowMessage("Error! Copy File Error!");
        return false;
    }
    fileSize_ = size;
    opened_ = true;
    return true;
}

bool HexEditTool::Save(const ProgressFn& progress) {
    if (!opened_) return false;
    switch (SaveDocumentAs(document_, path_, progress)) {
        case FileResult::Ok:
            document_.ClearMap();
            return true;
        case FileResult::OpenFailed:
            messages_.ShowMessage("Error! Open File Error!");
            return false;
        case FileResult::WriteFailed:
            messages_.ShowMessage("Error! Save File Error!");
            return false;
        case FileResult::Cancelled:
            return false;
    }
    return false;
}

bool HexEditTool::SaveAs(const std::string& path, const ProgressFn& progress) {
    if (!opened_) return false;
    path_ = path;
    return Save(progress);
}

FindResult HexEditTool::Search(const ProgressFn& progress) {
    return search.Search(document_, messages_, progress);
}

void HexEditTool::WriteReport(ReportStream& out) {
    (void)out;
    messages_.ShowMessage("Please use the SAVE button in HexEditView!");
}

}  // namespace kvt
