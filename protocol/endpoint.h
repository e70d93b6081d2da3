// Where a driver daemon listens: <runtime>/korvanta/<device>.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kvt {

// Runtime folder of the host daemon: $KORVANTA_RUNTIME_DIR when set, else /run.
std::string HostRuntimeDir();

// Runtime folder of the daemon of a simulated board: a folder per board profile under
// $KORVANTA_RUNTIME_DIR when set, else under the user's runtime folder ($XDG_RUNTIME_DIR, or
// /tmp/korvanta-<uid>), so boards of different profiles run side by side, each on its socket.
std::string BoardRuntimeDir(const std::string& profilePath);
// The same folder under a given base folder.
std::string BoardRuntimeDirUnder(const std::string& base, const std::string& profilePath);

// The status line a board daemon gives for the profile it serves, as it stands in the file now:
// "profile: PATH (SIZE bytes, modified SECONDS.NANOSECONDS)". Empty when the file cannot be
// examined. A client that finds another line in the status restarts the daemon.
std::string ProfileStatusLine(const std::string& profilePath);

// The users a client trusts to serve the socket of a daemon: for a board daemon only the
// client's own user; for the host daemon root, the client's own user and the user named by
// $KORVANTA_DRIVER_USER (a name or a number) when set.
std::vector<uid_t> TrustedDaemonUsers(bool board);

// Checks, before anything is sent, the folders on the way to the sockets under a runtime
// folder (<runtimeDir>/korvanta and every folder above it). Each is examined with lstat, so a
// link is seen as a link: folders above must belong to root or a trusted user and be open to
// writing by others only when sticky (/tmp); a link is followed only when root owns it. The
// daemon's own folders (for a board its base folder, runtimeDir and runtimeDir/korvanta, which
// are created with mode 0700 when missing; for the host runtimeDir/korvanta) must belong to a
// trusted user, not be links, and for a board be open to no one else. False, with the reason
// in *why, when one fails.
bool CheckSocketFolders(const std::string& runtimeDir, bool board, std::string* why);

// Socket of one device ("Korvanta" or "korvavxd.vxd") under a runtime folder.
std::string SocketPath(const std::string& runtimeDir, const std::string& device);

}  // namespace kvt
