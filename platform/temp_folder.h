// The program's private folder for temporary files: one folder per run, made with mkdtemp
// (mode 0700) under $TMPDIR, else the system's temporary folder, else the program folder,
// named korvanta-<pid>-XXXXXX. The files of each window are named inside it; the folder goes
// at exit, also on SIGINT and SIGTERM. Folders that dead processes of this user left there
// (kill -9, a crash) are removed when the next run makes its own.
#pragma once

#include <string>

namespace kvt {

// The folder with a trailing "/", made on first use; empty when it cannot be made anywhere.
// programFolder is the last place tried.
const std::string& PrivateTempFolder(const std::string& programFolder = {});

// Removes the folder and everything in it now (also done at exit).
void RemovePrivateTempFolder();

// The folder a candidate list would choose (for tests): $TMPDIR when it names a folder, else
// P_tmpdir/"/tmp", else the program folder.
std::string TempFolderParent(const std::string& programFolder);

}  // namespace kvt
