// Where a driver daemon listens: <runtime>/korvanta/<device>.
#pragma once

#include <string>

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

// Socket of one device ("Korvanta" or "korvavxd.vxd") under a runtime folder.
std::string SocketPath(const std::string& runtimeDir, const std::string& device);

}  // namespace kvt
