// Hex Viewer/Editor: a file is shown as it is on disk with the typed bytes on top (kept in
// the window's overlay file until saved), and written back only by Save or Save As.
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
    static constexpr const char* kReplacedMessage =
        "Error! The file was replaced or moved after it was opened! Nothing was saved.";
    static constexpr const char* kRolledBackMessage =
        "An interrupted save of this file was rolled back: it holds the bytes it had before "
        "that save.";
    static constexpr const char* kRollbackFailedMessage =
        "Error! An interrupted save of this file could not be rolled back! Its journal is "
        "kept in ";

    // baseName: the path of the window's overlay and map without extension (…/Hex1).
    // journalFolder: where saves keep their undo journals; empty for SaveJournalFolder(),
    // looked up at the first Open.
    HexEditTool(UserMessages& messages, HexDocument& document, std::string baseName,
                std::string journalFolder = {});

    SearchPanel search;

    // Opens a regular, writable file and keeps it open; a save of it that was cut short is
    // rolled back first (and the user told). On failure the control stays empty and Save,
    // Save As and Search stay disabled.
    bool Open(const std::string& path, const ProgressFn& progress = {});
    // Writes the typed runs into the opened file in place (see SaveInPlace) and clears the
    // marks; refused when the path no longer names the file that was opened.
    bool Save(const ProgressFn& progress = {});
    // The opened file itself (by any name): as Save. Another file: a whole new file under
    // that name (see SaveCopyAs), which becomes the one later Saves write.
    bool SaveAs(const std::string& path, const ProgressFn& progress = {});
    FindResult Search(const ProgressFn& progress = {});
    // F3 / Shift+F3: see SearchPanel::SearchAgain.
    FindResult SearchAgain(bool backward, bool& wrapped, const ProgressFn& progress = {});
    static constexpr const char* kOffsetBeyondEndMessage =
        "The offset is beyond the end of the file!";
    // Go to offset: text is a hexadecimal offset into the file ("1f0", no "0x"); the caret
    // moves there. A bad text says "Input data invalid!", one past the data the message
    // above; neither moves anything.
    bool GoTo(const std::string& text);
    void WriteReport(ReportStream& out);

    const std::string& path() const { return path_; }
    uint64_t fileSize() const { return fileSize_; }
    bool opened() const { return opened_; }  // enables Save, Save As, Search and the control
    // Typed bytes not yet saved.
    bool unsaved() const { return opened_ && document_.modified(); }
    HexDocument& document() { return document_; }

  private:
    // Shows the message of a failed save; true when it succeeded.
    bool SaveSucceeded(FileResult result);
    // Whether path names the file being edited.
    bool IsOpenFile(const std::string& path) const;
    const std::string& JournalFolder();

    UserMessages& messages_;
    HexDocument& document_;
    std::string baseName_;
    std::string journalFolder_;
    std::string path_;
    uint64_t fileSize_ = 0;
    bool opened_ = false;
};

}  // namespace kvt
