// Every key a board profile may hold, in one table: the loader rejects keys it does not list,
// capture writes none other, diff walks it and boards/README.md documents it.
#pragma once

#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::board_profile {

enum class KeyType {
    kObject,     // {...} with keys of its own
    kList,       // [{...}, ...]: the element's keys sit under "<path>[]"
    kNumber,     // JSON integer, "0x..." or decimal text
    kText,       // string
    kBool,       // true or false
    kBytes,      // "55 aa 40"
    kOffsetMap,  // {"0x40": "01 02"}
    kTextMap,    // {"0x40": "text"}
    kAddress,    // "bb:dd.f"
};

struct SchemaKey {
    // Dotted path from the top level; "[]" stands for every element of a list
    // ("pci.functions[].config").
    std::string_view path;
    KeyType type;
    bool required;
    std::string_view description;
    // Objects (and list elements) that may carry a "note" text.
    bool notes = false;
};

// The whole table, parents before their children.
std::span<const SchemaKey> Schema();

// The entry of a path, or nullptr.
const SchemaKey* FindKey(std::string_view path);

// The keys an object at `parent` may hold ("" is the top level, "pci.functions[]" a
// function), "note" included where the object takes one, in table order.
const std::vector<std::string_view>& KeysOf(std::string_view parent);

// Removes every key the schema does not know (recursively) and returns their paths
// ("pci.functions[3].colour").
std::vector<std::string> RemoveUnknownKeys(nlohmann::json& profile);
std::vector<std::string> RemoveUnknownKeys(nlohmann::ordered_json& profile);

}  // namespace kvt::board_profile
