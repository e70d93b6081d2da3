// The version record of the system the program runs on, and the operating-system kind that
// selects the request form of the driver client.
#pragma once

#include <cstdint>
#include <string>

namespace kvt {

enum OsKind : uint32_t {
    OsKindOther = 0,
    OsKindWin9x = 1,
    OsKindWinMe = 4,
    OsKindWin2000 = 8,
    OsKindWinXp = 16,
    OsKindWin2003 = 32,
};

// Plain version record: what the system reports of its version.
struct VersionRecord {
    uint32_t majorVersion = 0;
    uint32_t minorVersion = 0;
    uint32_t buildNumber = 0;
    uint32_t platformId = 0;  // 1 = Windows 95 family, 2 = NT family; anything else elsewhere
    std::string csdVersion;
};
inline constexpr uint32_t kPlatformWindows = 1;
inline constexpr uint32_t kPlatformNt = 2;
inline constexpr uint32_t kPlatformLinux = 0x4C;  // what a Linux version record carries

OsKind ClassifyOsKind(const VersionRecord& version);
inline bool ConsumerWindows(OsKind kind) {
    return kind == OsKindWin9x || kind == OsKindWinMe;
}

}  // namespace kvt
