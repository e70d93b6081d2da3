#include "hwaccess/protocol/endpoint.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

std::string SocketPath(const std::string& runtimeDir, const std::string& device) {
    return runtimeDir + "/korvanta/" + device;
}

}  // namespace kvt
