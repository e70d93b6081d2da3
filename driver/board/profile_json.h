// Checked reading of a board profile: every value is tested for type and range, and a
// problem becomes one message naming the field ("pci.functions[2].bars[0].size: ...").
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hex.h"  // ParseHexBytes for the byte strings of a profile

namespace kvt::driver::board {

using Json = nlohmann::json;

// Numbers are JSON integers or strings: "0x..." hexadecimal or plain decimal digits.
bool ParseNumber(const Json& value, uint64_t max, uint64_t& out, std::string& problem);

class ProfileNode {
  public:
    ProfileNode(const Json& json, std::string path, std::string* error)
        : json_(&json), path_(std::move(path)), error_(error) {}

    const Json& json() const { return *json_; }
    const std::string& path() const { return path_; }
    std::string PathOf(std::string_view key) const;
    std::string PathOf(size_t index) const;

    // Records "<path>: <what>" and returns false.
    bool Fail(const std::string& path, const std::string& what) const;
    bool Fail(const std::string& what) const { return Fail(path_, what); }

    // The node is an object holding no keys but these (a misspelt key is an error); the
    // keys come from the profile schema (board_profile::KeysOf).
    bool ObjectWithKeys(const std::vector<std::string_view>& keys) const;
    bool Has(std::string_view key) const;
    ProfileNode Child(std::string_view key) const;
    // Element i of a list node (the caller checks the index).
    ProfileNode Element(size_t index) const {
        return ProfileNode((*json_)[index], PathOf(index), error_);
    }

    // Optional fields leave `out` as it is when the key is absent.
    bool Number(std::string_view key, uint64_t max, uint64_t& out, bool required) const;
    template <typename T>
    bool Number(std::string_view key, uint64_t max, T& out, bool required) const {
        uint64_t v = out;
        if (!Number(key, max, v, required)) return false;
        out = static_cast<T>(v);
        return true;
    }
    bool Bool(std::string_view key, bool& out) const;
    bool String(std::string_view key, std::string& out, bool required, size_t maxLength) const;
    bool HexBytes(std::string_view key, std::vector<uint8_t>& out, bool required) const;
    // The elements of an array field (an absent optional array gives none).
    bool Array(std::string_view key, std::vector<ProfileNode>& out, bool required,
               size_t maxItems) const;
    // An object whose keys are offsets and whose values are hexadecimal bytes
    // ({"0x40": "01 02"}), each offset + length within limit.
    bool OffsetBytes(std::string_view key, uint64_t limit,
                     std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& out) const;

  private:
    const Json* Find(std::string_view key) const;

    const Json* json_;
    std::string path_;
    std::string* error_;
};

}  // namespace kvt::driver::board
