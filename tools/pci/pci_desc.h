// The PCI description files of the data folder: "PciId.txt" (vendor and device names),
// "pcidevcl.txt" (class descriptions) and "regdes.txt" (register descriptions). Each file is
// parsed once into an index and parsed again only when its modification time or size
// changes; every lookup gives what reading the file line by line would give. The names of a
// large "PciId.txt" are kept in the user's cache folder ($XDG_CACHE_HOME or ~/.cache, under
// korvanta/), made once per version of the file, so a new process need not parse it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kvt {

inline constexpr const char* kPciIdFile = "PciId.txt";
inline constexpr const char* kPciClassFile = "pcidevcl.txt";
inline constexpr const char* kRegisterDescriptionFile = "regdes.txt";

inline constexpr const char* kDescriptionReadErrorMessage = "PCI description file read error!";
inline constexpr const char* kDeviceSpecificDescription = "PCI device specific";

// Longest text a line keeps (the reader's 255-byte buffer less its terminator); the rest of
// a longer line is skipped.
inline constexpr size_t kDescriptionLineLimit = 254;

struct ClassLookup {
    bool found = false;  // false only when the file cannot be opened
    std::string description;
};

namespace detail {
struct FileIndex;
}

// "regdes.txt" as opened once for a register list or a report: its lookups do not look at
// the file again.
class RegisterFile {
  public:
    bool available() const { return index_ != nullptr; }
    // As PciDescriptions::LookupRegisterDescription; valid while this object lives.
    const std::string& Lookup(uint32_t offset, uint32_t id00, bool* readError = nullptr) const;

  private:
    friend class PciDescriptions;
    std::shared_ptr<const detail::FileIndex> index_;
};

// The description files of one folder.
class PciDescriptions {
  public:
    // folder: where the files lie; empty means the data folder (DataFolder()).
    explicit PciDescriptions(std::string folder = {});

    // The first class entry whose (value AND mask) equals (classCode AND mask).
    // *readError is set when the file exists but reading it failed.
    ClassLookup LookupClassDescription(uint32_t classCode, bool* readError = nullptr) const;
    // Empty when not found or when the file cannot be opened.
    std::string LookupVendorName(uint32_t vendorId, bool* readError = nullptr) const;
    std::string LookupDeviceName(uint32_t vendorId, uint32_t deviceId,
                                 bool* readError = nullptr) const;

    // True when "regdes.txt" can be opened (the register list then has descriptions).
    bool RegisterFileAvailable() const;
    // The description of a register offset for the function whose register 00h is id00;
    // "PCI device specific" when no applicable entry names it.
    std::string LookupRegisterDescription(uint32_t offset, uint32_t id00,
                                          bool* readError = nullptr) const;
    // The register file as it is now, for many lookups.
    RegisterFile OpenRegisterFile() const;

    const std::string& folder() const { return folder_; }
    std::string PathOf(const char* file) const;

  private:
    std::string folder_;
};

// Reads a number as "%x" does: blanks skipped, an optional 0x, hexadecimal digits up to the
// first other character. False when there are no digits or the value passes 32 bits; *end
// receives the position after the digits.
bool ScanHex32(std::string_view text, size_t pos, uint32_t* value, size_t* end);

}  // namespace kvt
