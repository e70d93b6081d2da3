// Saving the Hex Viewer/Editor's edits. Save writes only the typed runs back into the file
// that was opened, through the descriptor taken at Open, so inode, links, owner, mode and
// holes stay and no path is resolved again. Before a byte changes, the old bytes of the runs
// go to a synced undo journal in the user's state folder, named after the file's device and
// inode; a save cut short (crash, kill) is rolled back at the next Open of that file.
// Save As to another name makes a whole new file (a reflink or a copy, holes kept) that
// appears under the name only once it is complete and synced.
#pragma once

#include <cstdint>
#include <string>

#include "tools/hexview/hex_document.h"

namespace kvt {

// $XDG_STATE_HOME/korvanta/journal, else ~/.local/state/korvanta/journal, made 0700; each
// folder made on the way must be the user's own and no link. Empty when it cannot be had.
std::string SaveJournalFolder();

// The journal of the file behind fd in folder ("<device>-<inode>.journal", hexadecimal).
std::string SaveJournalPath(const std::string& folder, int fd);

// Writes the marked runs of document (an overlay over fd) into fd. Cancel is honoured while
// the journal is written, before the file changes. A failure after the file began to change
// rolls it back from the journal; if even that fails the journal stays for the next Open.
FileResult SaveInPlace(const HexDocument& document, int fd, const std::string& journalFolder,
                       const ProgressFn& progress = {});

enum class Recovery { None, RolledBack, Failed };
// Rolls back a save of the file behind fd that was cut short, when its journal is there and
// complete, and removes the journal (also a half-written one, from a save that had not yet
// touched the file).
Recovery RecoverInterruptedSave(int fd, const std::string& journalFolder);

// Writes the document (its base file with the typed bytes on top) to target as a whole new
// file: made unnamed in target's folder, filled (a reflink or a copy of the base, then the
// runs), synced, then given the name; an existing target is replaced by rename, keeping its
// mode and, where allowed, its owner, and a link target is followed so the link stays.
// OpenFailed when the target is no regular file, is read-only, or its folder cannot take
// the file; WriteFailed when writing fails. On failure or cancel nothing is left behind. On
// success *newFd is the new file, open for reading and writing.
FileResult SaveCopyAs(const HexDocument& document, const std::string& target, int* newFd,
                      const ProgressFn& progress = {});

}  // namespace kvt
