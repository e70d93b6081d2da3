#include "tools/osinfo/os_info_tool.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/format.h"

namespace kvt {

namespace {

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// The second character of the service-pack text; none when the text is shorter.
char SecondChar(const std::string& csd) {
    return csd.size() >= 2 ? csd[1] : '\0';
}

void AppendNtProductName(std::string& text, const WindowsVersionInfo& v) {
    const uint32_t major = v.majorVersion, minor = v.minorVersion;
    if (major == 6) {
        if (minor == 0) {
            text +=
                v.productType == 1 ? "Microsoft Windows Vista " : "Windows Server \"Longhorn\" ";
            text += v.architecture == kArchX64 ? "x64 " : "x86 ";
        }
    } else if (major == 5 && minor == 2) {
        if (v.r2) {
            text += "Microsoft Windows Server 2003 \"R2\" ";
        } else if (v.productType == 1 && v.architecture == kArchX64) {
            text += "Microsoft Windows XP Professional x64 Edition ";
        } else {
            text += "Microsoft Windows Server 2003, ";
        }
    } else if (major == 5 && minor == 1) {
        text += "Microsoft Windows XP ";
    } else if (major == 5 && minor == 0) {
        text += "Microsoft Windows 2000 ";
    } else if (major <= 4) {
        text += "Microsoft Windows NT ";
    }
}

void AppendExtendedEdition(std::string& text, const WindowsVersionInfo& v) {
    const bool datacenter = (v.suiteMask & kSuiteDatacenter) != 0;
    const bool enterprise = (v.suiteMask & kSuiteEnterprise) != 0;
    const bool v52 = v.majorVersion == 5 && v.minorVersion == 2;
    if (v.productType == 1) {
        if (v.architecture == kArchX64) return;
        if (v.majorVersion == 4) {
            text += "Workstation 4.0 ";
        } else if (v.suiteMask & kSuitePersonal) {
            text += "Home Edition ";
        } else {
            text += "Professional ";
        }
    } else if (v.productType == 2 || v.productType == 3) {
        if (v52 && v.architecture == kArchItanium) {
            if (datacenter) {
                text += "Datacenter Edition for Itanium-based Systems";
            } else if (enterprise) {
                text += "Enterprise Edition for Itanium-based Systems";
            }
        } else if (v52 && v.architecture == kArchX64) {
            text += datacenter   ? "Datacenter x64 Edition "
                    : enterprise ? "Enterprise x64 Edition "
                                 : "Standard x64 Edition ";
        } else if (v52) {
            text += datacenter                   ? "Datacenter Edition "
                    : enterprise                 ? "Enterprise Edition "
                    : v.suiteMask == kSuiteBlade ? "Web Edition "
                                                 : "Standard Edition ";
        } else if (v.majorVersion == 5 && v.minorVersion == 0) {
            text += datacenter ? "Datacenter Server " : enterprise ? "Advanced Server " : "Server ";
        } else {
            text += enterprise ? "Server 4.0, Enterprise Edition " : "Server 4.0 ";
        }
    }
}

void AppendPlainEdition(std::string& text, const WindowsVersionInfo& v) {
    // A product type that cannot be read leaves out only its word.
    if (v.registryProductType && v.registryProductType->size() <= 256) {
        const std::string& type = *v.registryProductType;
        if (EqualsNoCase(type, "WINNT")) {
            text += "Workstation ";
        } else if (EqualsNoCase(type, "LANMANNT")) {
            text += "Server ";
        } else if (EqualsNoCase(type, "SERVERNT")) {
            text += "Advanced Server ";
        }
    }
    AppendFormat(text, "%d.%d ", static_cast<int>(v.majorVersion),
                 static_cast<int>(v.minorVersion));
}

std::string Value(const LinuxSystemFacts& facts, const char* key) {
    auto it = facts.osRelease.find(key);
    return it == facts.osRelease.end() ? std::string() : it->second;
}

}  // namespace

std::string ComposeWindowsVersion(const WindowsVersionInfo& v) {
    std::string text;
    if (v.platformId == 0) {
        text += "Microsoft Win32s";
    } else if (v.platformId == 1) {
        if (v.majorVersion == 4) {
            const char second = SecondChar(v.csdVersion);
            if (v.minorVersion == 0) {
                text += "Microsoft Windows 95 ";
                if (second == 'C' || second == 'B') text += "OSR2 ";
            } else if (v.minorVersion == 10) {
                text += "Microsoft Windows 98 ";
                if (second == 'A') text += "SE ";
            } else if (v.minorVersion == 90) {
                text += "Microsoft Windows Millennium Edition";
            }
        }
    } else if (v.platformId == 2) {
        AppendNtProductName(text, v);
        if (v.extended) {
            AppendExtendedEdition(text, v);
        } else {
            AppendPlainEdition(text, v);
        }
        const int build = static_cast<int>(v.buildNumber & 0xFFFF);
        if (v.majorVersion == 4 && EqualsNoCase(v.csdVersion, "Service Pack 6") &&
            v.hotfixQ246009) {
            AppendFormat(text, "Service Pack 6a (Build %d)", build);
        } else {
            AppendFormat(text, "%s (Build %d)", v.csdVersion.c_str(), build);
        }
    }
    return text;
}

std::vector<OsInfoRow> WindowsOsRows(const WindowsVersionInfo& v) {
    std::vector<OsInfoRow> rows = {
        {"OS Version", ComposeWindowsVersion(v)},
        {"Platform ID", Format("%d", static_cast<int>(v.platformId)),
         static_cast<int>(v.platformId)},
        {"Major Version", Format("%d", static_cast<int>(v.majorVersion)),
         static_cast<int>(v.majorVersion)},
        {"Minor Version", Format("%d", static_cast<int>(v.minorVersion)),
         static_cast<int>(v.minorVersion)},
        {"Build Number", Format("%d", static_cast<int>(v.buildNumber)),
         static_cast<int>(v.buildNumber)},
        {"CSD Version", v.csdVersion},
    };
    if (v.extended) {
        rows.push_back({"ServicePack Major Version",
                        Format("%d", static_cast<int>(v.servicePackMajor)),
                        static_cast<int>(v.servicePackMajor)});
        rows.push_back({"ServicePack Minor Version",
                        Format("%d", static_cast<int>(v.servicePackMinor)),
                        static_cast<int>(v.servicePackMinor)});
        rows.push_back({"Suite Mask", Format("%d", static_cast<int>(v.suiteMask)),
                        static_cast<int>(v.suiteMask)});
        rows.push_back({"Product Type", Format("%d", static_cast<int>(v.productType)),
                        static_cast<int>(v.productType)});
    }
    return rows;
}

std::vector<OsInfoRow> LinuxOsRows(const LinuxSystemFacts& f, const std::string& computerName) {
    std::string pretty = Value(f, "PRETTY_NAME");
    if (f.osRelease.find("PRETTY_NAME") == f.osRelease.end()) pretty = "Linux";
    // The kernel release's first three numbers ("6.8.0-45-generic": 6, 8, 0); missing ones 0.
    unsigned numbers[3] = {0, 0, 0};
    std::sscanf(f.release.c_str(), "%u.%u.%u", &numbers[0], &numbers[1], &numbers[2]);
    std::string distribution = Value(f, "ID");
    const std::string versionId = Value(f, "VERSION_ID");
    if (!distribution.empty() && !versionId.empty()) distribution += ' ';
    distribution += versionId;
    std::string architecture;
    if (!f.machine.empty()) architecture = f.machine + (f.kernel64 ? " (64-bit)" : " (32-bit)");
    return {
        {"OS Version", pretty + " (Kernel " + f.release + ")"},
        {"Platform ID", f.sysname},
        {"Major Version", Format("%u", numbers[0]), numbers[0]},
        {"Minor Version", Format("%u", numbers[1]), numbers[1]},
        {"Build Number", Format("%u", numbers[2]), numbers[2]},
        {"Kernel Release", f.release},
        {"Kernel Build", f.version},
        {"Distribution", distribution},
        {"Architecture", architecture},
        {"Computer Name", computerName},
    };
}

std::map<std::string, std::string> ParseOsRelease(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq <= first) continue;
        std::string key = line.substr(first, eq - first);
        bool validKey = true;
        for (char c : key) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') validKey = false;
        }
        if (!validKey) continue;
        std::string raw = line.substr(eq + 1);
        while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\r')) {
            raw.pop_back();
        }
        // Quoted in double or single quotes, or bare; a backslash escapes $ " \ and `.
        std::string value;
        char quote = '\0';
        size_t i = 0;
        if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) quote = raw[i++];
        bool closed = quote == '\0';
        for (; i < raw.size(); ++i) {
            char c = raw[i];
            if (quote != '\0' && c == quote) {
                closed = true;
                break;
            }
            if (c == '\\' && quote != '\'' && i + 1 < raw.size() &&
                std::string_view("$\"\\`").find(raw[i + 1]) != std::string_view::npos) {
                c = raw[++i];
            }
            value += c;
        }
        if (!closed) continue;
        values[key] = value;
    }
    return values;
}

LinuxSystemFacts HostLinuxFacts() {
    LinuxSystemFacts facts;
    utsname u{};
    if (uname(&u) == 0) {
        facts.sysname = u.sysname;
        facts.release = u.release;
        facts.version = u.version;
        facts.machine = u.machine;
    }
    // The kernel's word size: the machine names of 64-bit kernels.
    const std::string& m = facts.machine;
    facts.kernel64 = m.find("64") != std::string::npos || m == "s390x";
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream file(path);
        if (!file) continue;
        std::stringstream text;
        text << file.rdbuf();
        facts.osRelease = ParseOsRelease(text.str());
        break;
    }
    return facts;
}

OsInfoTool::OsInfoTool(Platform& platform, FactsSource facts)
    : platform_(platform), facts_(std::move(facts)) {}

void OsInfoTool::Open() {
    FillOsInfo();
    FillProcessorCount();
}

void OsInfoTool::FillOsInfo() {
    const VersionRecord version = platform_.Version();
    if (version.platformId == kPlatformLinux) {
        rows_ = LinuxOsRows(facts_(), platform_.ComputerName());
        return;
    }
    // A declared Windows version: the plain record only, and no registry to ask.
    WindowsVersionInfo info;
    info.platformId = version.platformId;
    info.majorVersion = version.majorVersion;
    info.minorVersion = version.minorVersion;
    info.buildNumber = version.buildNumber;
    info.csdVersion = version.csdVersion.substr(0, 127);
    rows_ = WindowsOsRows(info);
}

void OsInfoTool::FillProcessorCount() {
    const uint32_t count = platform_.ProcessorCount();
    rows_.insert(rows_.begin(), OsInfoRow("No. of Processors", Format("%u", count), count));
}

void OsInfoTool::WriteReport(ReportStream& out) const {
    out.Write(
        "========================= Operating System Information==========================\n\n");
    for (const OsInfoRow& row : rows_) {
        out.Printf("%32s\t%s\n", row.first.c_str(), row.second.c_str());
    }
}

}  // namespace kvt
