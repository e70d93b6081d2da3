#include "shell/report_saver.h"

#include <cstdio>
#include <memory>

#include "platform/report_stream.h"

namespace kvt {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reports are opened in binary stdio mode: the text mode of the report stream makes the
// CR LF line ends itself, the same on every platform.
File OpenForWriting(const std::string& path) {
    return File(std::fopen(path.c_str(), "wb"));
}

// A report that could not be written whole is not reported as saved.
SaveResult Finish(File file, const ReportStream& out) {
    bool failed = out.failed();
    if (std::fflush(file.get()) != 0) failed = true;
    if (std::fclose(file.release()) != 0) failed = true;
    return failed ? SaveResult::WriteFailed : SaveResult::Written;
}

}  // namespace

SaveResult SaveAllReports(const std::string& path, const std::vector<ReportWindow>& windows) {
    File file = OpenForWriting(path);
    if (!file) return SaveResult::OpenFailed;
    ReportStream out(file.get(), true);
    for (int position = 1; position <= kSaveAllGroups; ++position) {
        for (const ReportWindow& w : windows) {
            if (w.kind->saveAllPosition == position && w.kind->reportMode == ReportMode::Text) {
                w.view->WriteReport(out);
            }
        }
        if (position != kSaveAllGroups) out.Write("\n");
    }
    return Finish(std::move(file), out);
}

SaveResult SaveActiveReport(const std::string& path, const ReportWindow& active) {
    File file = OpenForWriting(path);
    if (!file) return SaveResult::OpenFailed;
    switch (active.kind->reportMode) {
        case ReportMode::Text: {
            ReportStream out(file.get(), true);
            active.view->WriteReport(out);
            return Finish(std::move(file), out);
        }
        case ReportMode::Binary: {
            // The text stream is closed and the same file opened again for raw bytes.
            file.reset();
            File raw = OpenForWriting(path);
            if (!raw) return SaveResult::OpenFailed;  // said, not passed over in silence
            ReportStream out(raw.get(), false);
            active.view->WriteReport(out);
            return Finish(std::move(raw), out);
        }
        case ReportMode::OwnSaveOnly:
            // The file stays as created (empty); the view saves through its own command.
            return SaveResult::UseOwnSave;
    }
    return SaveResult::Written;
}

}  // namespace kvt
