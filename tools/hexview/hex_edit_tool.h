// Hex Viewer/Editor: a file is copied into the window's working copy, edited there in the
// hex edit control and written back only by Save or Save As.
#pragma once

#include <cstdint>
#include <string>

#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/hexview/hex_document.h"
#include "tools/hexview/search_panel.h"

namespace kvt {

class HexEditTool {
  public:
    // baseName: the path of the window's working copy and map without extension (…/Hex1).
    HexEditTool(UserMessages& messages, HexDocument& document, std::string baseName);

    SearchPanel search;

    // Opens a regular, writable file: its working copy is made and shown. On failure the
    // control stays empty and Save, Save As and Search stay disabled.
    bool Open(const std::string& path, const ProgressFn& progress = {});
    // Writes the edited bytes over the stored path (see SaveDocumentAs) and clears the marks.
    bool Save(const ProgressFn& progress = {});
    // The path becomes the stored one, then as Save.
    bool SaveAs(const std::string& path, const ProgressFn& progress = {});
    FindResult Search(const ProgressFn& progress = {});
    void WriteReport(ReportStream& out);

    const std::string& path() const { return path_; }
    uint64_t fileSize() const { return fileSize_; }
    bool opened() const { return opened_; }  // enables Save, Save As, Search and the control
    HexDocument& document() { return document_; }

  private:
    UserMessages& messages_;
    HexDocument& document_;
    std::string baseName_;
    std::string path_;
    uint64_t fileSize_ = 0;
    bool opened_ = false;
};

}  // namespace kvt
