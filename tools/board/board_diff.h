// What differs between two board profiles (two captures of one machine, or a machine before
// and after a firmware update): per processor and CPUID function or MSR, per PCI function and
// configuration register, per CMOS bank and offset, per port, per SMBus device and byte, per
// memory region and byte. Values marked volatile in either profile are skipped.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kvt {

// A decoded field that changed within a difference: a PCI capability or one of its fields
// ("pcie.link_control.aspm"), a CPUID bit or field, an MSR field.
struct BoardFieldChange {
    std::string name;
    std::optional<std::string> a, b;  // empty where one profile lacks the capability
};

struct BoardDifference {
    std::string section;  // "processor 1", "pci", "cmos", "memory", "smbus", "board", ...
    std::string item;     // "00:1f.3", "bank70", ... (may be empty)
    std::string field;    // "register 40h", "MSR 0000001Bh", ... (may be empty)
    std::optional<std::string> a, b;       // the values; empty when the profile lacks the thing
    std::vector<BoardFieldChange> fields;  // the decoded fields within it that changed
};

struct BoardDiff {
    std::vector<BoardDifference> differences;
    size_t skippedVolatile = 0;  // values that differ but are marked volatile
};

// Compares two profile texts. False with *error naming the profile ("A" or "B" prefixed by
// the caller's names) when one is not a JSON object.
bool DiffBoardProfiles(const std::string& textA, const std::string& textB, BoardDiff& diff,
                       std::string& error);

// One line per difference: "pci 00:1f.3 register 40h: 00000401 -> 00000400"; a thing one
// profile lacks is "absent". Below a difference, each decoded field that changed, indented:
// "    pcie.link_status.current_link_speed: 8.0 -> 2.5". Ends with a count line.
std::string BoardDiffText(const BoardDiff& diff);
// {"differences": [{section, item, field, a, b}], "count", "skipped_volatile"}; a missing value
// is null. A difference with decoded fields also has "fields": [{name, a, b}].
nlohmann::ordered_json BoardDiffJson(const BoardDiff& diff);

}  // namespace kvt
