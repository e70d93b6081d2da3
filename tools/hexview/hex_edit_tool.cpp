#include "tools/hexview/hex_edit_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/hex.h"
#include "tools/hexview/file_save.h"

namespace kvt {

HexEditTool::HexEditTool(UserMessages& messages, HexDocument& document, std::string baseName,
                         std::string journalFolder)
    : messages_(messages),
      document_(document),
      baseName_(std::move(baseName)),
      journalFolder_(std::move(journalFolder)) {}

const std::string& HexEditTool::JournalFolder() {
    if (journalFolder_.empty()) journalFolder_ = SaveJournalFolder();
    return journalFolder_;
}

bool HexEditTool::Open(const std::string& path, const ProgressFn& progress) {
    (void)progress;  // nothing is copied: opening takes no time worth showing
    document_.Attach(0, 0, baseName_);
    opened_ = false;
    path_ = path;
    struct stat st {};
    // A FIFO or device is refused before it is opened (opening a FIFO could block).
    int fd = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                 ? open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)
                 : -1;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        messages_.ShowMessage("Error! Open File Error!");
        return false;
    }
    switch (RecoverInterruptedSave(fd, JournalFolder())) {
        case Recovery::None:
            break;
        case Recovery::RolledBack:
            messages_.ShowMessage(kRolledBackMessage);
            break;
        case Recovery::Failed:
            close(fd);
            messages_.ShowMessage(std::string(kRollbackFailedMessage) + journalFolder_ + ".");
            return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (baseName_.empty() || document_.AttachOverlay(fd, size, baseName_) != 0) {
        close(fd);
        document_.RemoveFiles();
        messages_.ShowMessage("Error! Copy File Error!");
        return false;
    }
    fileSize_ = size;
    opened_ = true;
    return true;
}

bool HexEditTool::IsOpenFile(const std::string& path) const {
    struct stat now {
    }, opened{};
    return stat(path.c_str(), &now) == 0 && fstat(document_.baseFd(), &opened) == 0 &&
           now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

bool HexEditTool::Save(const ProgressFn& progress) {
    if (!opened_ || document_.baseFd() < 0) return false;
    // Written through the descriptor of Open; a path that names another file by now (a link
    // swapped in, the file moved or replaced) means the user would not get what they expect.
    if (!IsOpenFile(path_)) {
        messages_.ShowMessage(kReplacedMessage);
        return false;
    }
    if (!SaveSucceeded(SaveInPlace(document_, document_.baseFd(), JournalFolder(), progress))) {
        return false;
    }
    document_.Rebase(document_.baseFd());
    return true;
}

bool HexEditTool::SaveAs(const std::string& path, const ProgressFn& progress) {
    if (!opened_ || document_.baseFd() < 0) return false;
    if (IsOpenFile(path)) {
        path_ = path;
        return Save(progress);
    }
    int fd = -1;
    if (!SaveSucceeded(SaveCopyAs(document_, path, &fd, progress))) return false;
    path_ = path;
    document_.Rebase(fd);
    return true;
}

bool HexEditTool::SaveSucceeded(FileResult result) {
    switch (result) {
        case FileResult::Ok:
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

FindResult HexEditTool::Search(const ProgressFn& progress) {
    return search.Search(document_, messages_, progress);
}

FindResult HexEditTool::SearchAgain(bool backward, bool& wrapped, const ProgressFn& progress) {
    return search.SearchAgain(document_, messages_, backward, wrapped, progress);
}

bool HexEditTool::GoTo(const std::string& text) {
    if (!opened_) return false;
    // Up to 16 hexadecimal digits, blanks around them allowed.
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    const std::string digits =
        first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    uint64_t offset = 0;
    const bool valid =
        digits.size() <= 16 && ParseHex(digits, UINT64_MAX, offset, HexPrefix::Refused);
    if (!valid) {
        messages_.ShowMessage("Input data invalid!");
        return false;
    }
    if (offset >= document_.length()) {
        messages_.ShowMessage(kOffsetBeyondEndMessage);
        return false;
    }
    return document_.MoveTo(offset);
}

void HexEditTool::WriteReport(ReportStream& out) {
    (void)out;
    messages_.ShowMessage("Please use the SAVE button in HexEditView!");
}

}  // namespace kvt
