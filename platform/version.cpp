#include "platform/version.h"

namespace kvt {

OsKind ClassifyOsKind(const VersionRecord& v) {
    if (v.majorVersion == 5 && v.minorVersion == 2) return OsKindWin2003;
    if (v.platformId == kPlatformNt) {
        if (v.majorVersion == 5 && v.minorVersion == 0) return OsKindWin2000;
        if (v.majorVersion == 5 && v.minorVersion == 1) return OsKindWinXp;
        return OsKindOther;
    }
    if (v.platformId == kPlatformWindows) {
        return (v.majorVersion == 4 && v.minorVersion == 90) ? OsKindWinMe : OsKindWin9x;
    }
    return OsKindOther;
}

}  // namespace kvt
