// OS Info: a two-column list describing the operating system and the processor count, and
// its text report. A simulated board that declares a Windows version record is described by
// that record (the plain record only: no extended fields, no registry); the host, and boards
// without one, are described by what Linux reports.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/report_stream.h"

namespace kvt {

// Everything the Windows version text is composed from.
struct WindowsVersionInfo {
    uint32_t platformId = 0;  // 0 Win32s, 1 Windows 95/98/Me, 2 NT
    uint32_t majorVersion = 0, minorVersion = 0, buildNumber = 0;
    std::string csdVersion;
    bool extended = false;  // the extended record was obtained
    uint32_t servicePackMajor = 0, servicePackMinor = 0;
    uint32_t suiteMask = 0;
    uint32_t productType = 0;   // 1 workstation, 2 domain controller, 3 server
    uint32_t architecture = 0;  // 0 x86, 6 Itanium, 9 x64
    bool r2 = false;            // the R2 system metric is non-zero
    // The "ProductType" registry value (plain record on NT); empty when it cannot be read.
    std::optional<std::string> registryProductType;
    bool hotfixQ246009 = false;  // the NT 4.0 Service Pack 6a hot-fix key exists
};

inline constexpr uint32_t kArchX86 = 0;
inline constexpr uint32_t kArchItanium = 6;
inline constexpr uint32_t kArchX64 = 9;
inline constexpr uint32_t kSuiteEnterprise = 0x0002;
inline constexpr uint32_t kSuiteDatacenter = 0x0080;
inline constexpr uint32_t kSuitePersonal = 0x0200;
inline constexpr uint32_t kSuiteBlade = 0x0400;

// The composed "OS Version" text.
std::string ComposeWindowsVersion(const WindowsVersionInfo& info);

// What Linux reports: uname and os-release.
struct LinuxSystemFacts {
    std::string sysname, release, version, machine;  // uname -s, -r, -v, -m
    bool kernel64 = false;                           // the kernel's word size is 64 bits
    std::map<std::string, std::string> osRelease;    // parsed os-release
};

// Parses os-release text: KEY=VALUE lines, values unquoted and unescaped; comments and
// malformed lines are skipped.
std::map<std::string, std::string> ParseOsRelease(const std::string& text);
// uname and /etc/os-release (or /usr/lib/os-release) of this machine.
LinuxSystemFacts HostLinuxFacts();

// A row of the list: Info Field, Detail, and the detail's value where it is a number.
struct OsInfoRow {
    OsInfoRow(std::string field, std::string detail, std::optional<int64_t> value = std::nullopt)
        : first(std::move(field)), second(std::move(detail)), number(value) {}
    std::string first;   // Info Field
    std::string second;  // Detail
    std::optional<int64_t> number;
    // Rows are equal when they show the same texts (the number follows from the detail).
    bool operator==(const OsInfoRow& other) const {
        return first == other.first && second == other.second;
    }
};

std::vector<OsInfoRow> WindowsOsRows(const WindowsVersionInfo& info);
std::vector<OsInfoRow> LinuxOsRows(const LinuxSystemFacts& facts, const std::string& computerName);

class OsInfoTool {
  public:
    using FactsSource = std::function<LinuxSystemFacts()>;
    explicit OsInfoTool(Platform& platform, FactsSource facts = HostLinuxFacts);

    // Fills the list: the system's rows, then the processor count on top.
    void Open();
    void FillOsInfo();
    void FillProcessorCount();

    const std::vector<OsInfoRow>& rows() const { return rows_; }
    void WriteReport(ReportStream& out) const;

  private:
    Platform& platform_;
    FactsSource facts_;
    std::vector<OsInfoRow> rows_;
};

}  // namespace kvt
