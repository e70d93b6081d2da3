#include "protocol/endpoint.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kvt {

std::string ProfileStatusLine(const std::string& profilePath) {
    struct stat st;
    if (stat(profilePath.c_str(), &st) != 0) return {};
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, " (%lld bytes, modified %lld.%09ld, file %llu)",
                  static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                  static_cast<long>(st.st_mtim.tv_nsec),
                  static_cast<unsigned long long>(st.st_ino));
    return "profile: " + profilePath + stamp;
}

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

}  // namespace

std::string HostRuntimeDir() {
    return EnvOr("KORVANTA_RUNTIME_DIR", "/run");
}

std::string BoardRuntimeDir(const std::string& profilePath) {
    std::string base = EnvOr("KORVANTA_RUNTIME_DIR",
                             EnvOr("XDG_RUNTIME_DIR", "/tmp/korvanta-" + std::to_string(getuid())));
    return BoardRuntimeDirUnder(base, profilePath);
}

std::string BoardRuntimeDirUnder(const std::string& base, const std::string& profilePath) {
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(profilePath, ec);
    if (ec) canonical = profilePath;
    // FNV-1a of the profile's full path tells apart profiles of the same file name.
    uint32_t hash = 2166136261u;
    for (unsigned char c : canonical.string()) hash = (hash ^ c) * 16777619u;
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", hash);
    // A socket path holds at most 107 bytes: the folder name stays short, with at most 12
    // characters of the file name for the eye and the hash to tell profiles apart.
    return base + "/kb-" + canonical.stem().string().substr(0, 12) + "-" + tag;
}

std::vector<uid_t> TrustedDaemonUsers(bool board) {
    std::vector<uid_t> users = {geteuid()};
    if (board) return users;
    users.push_back(0);
    const char* name = std::getenv("KORVANTA_DRIVER_USER");
    if (name != nullptr && *name != '\0') {
        char* end = nullptr;
        unsigned long number = std::strtoul(name, &end, 10);
        if (*end == '\0') {
            users.push_back(static_cast<uid_t>(number));
        } else {
            std::vector<char> text(16384);
            passwd entry;
            passwd* found = nullptr;
            if (getpwnam_r(name, &entry, text.data(), text.size(), &found) == 0 && found != nullptr)
                users.push_back(found->pw_uid);
        }
    }
    return users;
}

bool CheckSocketFolders(const std::string& runtimeDir, bool board, std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why != nullptr) *why = reason;
        return false;
    };
    if (runtimeDir.empty() || runtimeDir[0] != '/')
        return fail("the runtime folder " + runtimeDir + " is not an absolute path");
    const std::string socketFolder = runtimeDir + "/korvanta";
    // The daemon's own folders: from here down to the socket folder.
    std::string ownFrom = socketFolder;
    if (board) {
        size_t slash = runtimeDir.find_last_of('/');
        ownFrom = slash == 0 ? runtimeDir : runtimeDir.substr(0, slash);
    }
    const std::vector<uid_t> trusted = TrustedDaemonUsers(board);
    auto isTrusted = [&](uid_t uid) {
        return uid == 0 || std::find(trusted.begin(), trusted.end(), uid) != trusted.end();
    };
    std::string path;
    size_t at = 0;
    while (at < socketFolder.size()) {
        size_t next = socketFolder.find('/', at + 1);
        if (next == std::string::npos) next = socketFolder.size();
        path = socketFolder.substr(0, next);
        at = next;
        if (path.size() > 1 && path.back() == '/') continue;  // doubled slash
        bool own = path.size() >= ownFrom.size();
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return fail(path + ": " + std::strerror(errno));
            // Missing: a board's folders are made here, private, before a daemon is started
            // in them, so that nobody else can take their names first.
            if (!board || !own) return true;  // nothing listens there: "no daemon"
            if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
                return fail("cannot create " + path + ": " + std::strerror(errno));
            if (lstat(path.c_str(), &st) != 0) return fail(path + ": " + std::strerror(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            if (own || st.st_uid != 0)
                return fail(path + " is a symbolic link: refusing to use it");
            struct stat target;
            if (stat(path.c_str(), &target) != 0) return true;
            st = target;
        }
        if (!S_ISDIR(st.st_mode)) return fail(path + " is not a folder");
        if (!isTrusted(st.st_uid))
            return fail(path + " belongs to uid " + std::to_string(st.st_uid) +
                        ": refusing to use it");
        if (own && board && (st.st_uid != geteuid() || (st.st_mode & 077) != 0))
            return fail(path + " is not private to uid " + std::to_string(geteuid()) + " (mode " +
                        std::to_string((st.st_mode >> 6) & 7) +
                        std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) +
                        "): refusing to use it");
        if ((st.st_mode & 022) != 0 && ((st.st_mode & S_ISVTX) == 0 || own))
            return fail(path + " can be changed by other users: refusing to use it");
    }
    return true;
}

std::string SocketPath(const std::string& runtimeDir, const std::string& device) {
    return runtimeDir + "/korvanta/" + device;
}

}  // namespace kvt
