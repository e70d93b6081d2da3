#include "driver/board/profile_json.h"

#include <algorithm>

#include "platform/format.h"
#include "platform/hex.h"

namespace kvt::driver::board {

bool ParseNumber(const Json& value, uint64_t max, uint64_t& out, std::string& problem) {
    uint64_t v = 0;
    if (value.is_number_unsigned()) {
        v = value.get<uint64_t>();
    } else if (value.is_number_integer()) {
        problem = "must not be negative";
        return false;
    } else if (value.is_number_float()) {
        problem =
            "must be a number without fraction or exponent (decimal, or hexadecimal with "
            "0x), not " +
            value.dump();
        return false;
    } else if (value.is_string()) {
        const std::string& s = value.get_ref<const std::string&>();
        bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        size_t start = hex ? 2 : 0;
        if (s.size() == start) {
            problem = "must be a number (decimal, or hexadecimal with 0x)";
            return false;
        }
        if (hex) {
            if (!ParseHex(s, UINT64_MAX, v)) {
                const bool digits = std::all_of(s.begin() + 2, s.end(),
                                                [](char c) { return HexDigitValue(c) >= 0; });
                problem =
                    digits ? "is too large" : "must be a number (decimal, or hexadecimal with 0x)";
                return false;
            }
        }
        for (size_t i = start; !hex && i < s.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c < '0' || c > '9') {
                problem = "must be a number (decimal, or hexadecimal with 0x)";
                return false;
            }
            const unsigned digit = c - '0';
            if (v > (UINT64_MAX - digit) / 10) {
                problem = "is too large";
                return false;
            }
            v = v * 10 + digit;
        }
    } else {
        problem = "must be a number (decimal, or hexadecimal with 0x)";
        return false;
    }
    if (v > max) {
        problem = Format("must be at most 0x%llX", (unsigned long long)max);
        return false;
    }
    out = v;
    return true;
}

std::string ProfileNode::PathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

std::string ProfileNode::PathOf(size_t index) const {
    return path_ + Format("[%zu]", index);
}

bool ProfileNode::Fail(const std::string& path, const std::string& what) const {
    if (error_) *error_ = (path.empty() ? std::string("profile") : path) + ": " + what;
    return false;
}

bool ProfileNode::ObjectWithKeys(const std::vector<std::string_view>& keys) const {
    if (!json_->is_object()) return Fail("must be an object");
    for (const auto& item : json_->items()) {
        bool known = false;
        for (std::string_view k : keys) known = known || item.key() == k;
        if (!known) return Fail(PathOf(item.key()), "unknown field");
        if (item.key() == "note" && !item.value().is_string())
            return Fail(PathOf(item.key()), "must be a text");
    }
    return true;
}

const Json* ProfileNode::Find(std::string_view key) const {
    if (!json_->is_object()) return nullptr;
    auto it = json_->find(std::string(key));
    return it == json_->end() ? nullptr : &*it;
}

bool ProfileNode::Has(std::string_view key) const {
    return Find(key) != nullptr;
}

ProfileNode ProfileNode::Child(std::string_view key) const {
    static const Json null;
    const Json* j = Find(key);
    return ProfileNode(j ? *j : null, PathOf(key), error_);
}

bool ProfileNode::Number(std::string_view key, uint64_t max, uint64_t& out, bool required) const {
    const Json* j = Find(key);
    if (!j) return required ? Fail(PathOf(key), "missing") : true;
    std::string problem;
    if (!ParseNumber(*j, max, out, problem)) return Fail(PathOf(key), problem);
    return true;
}

bool ProfileNode::Bool(std::string_view key, bool& out) const {
    const Json* j = Find(key);
    if (!j) return true;
    if (!j->is_boolean()) return Fail(PathOf(key), "must be true or false");
    out = j->get<bool>();
    return true;
}

bool ProfileNode::String(std::string_view key, std::string& out, bool required,
                         size_t maxLength) const {
    const Json* j = Find(key);
    if (!j) return required ? Fail(PathOf(key), "missing") : true;
    if (!j->is_string()) return Fail(PathOf(key), "must be a text");
    const std::string& s = j->get_ref<const std::string&>();
    if (s.size() > maxLength)
        return Fail(PathOf(key), Format("longer than %zu characters", maxLength));
    out = s;
    return true;
}

bool ProfileNode::HexBytes(std::string_view key, std::vector<uint8_t>& out, bool required) const {
    const Json* j = Find(key);
    if (!j) return required ? Fail(PathOf(key), "missing") : true;
    if (!j->is_string()) return Fail(PathOf(key), "must be a text of hexadecimal bytes");
    std::string problem;
    if (!ParseHexBytes(j->get_ref<const std::string&>(), out, problem))
        return Fail(PathOf(key), problem);
    return true;
}

bool ProfileNode::Array(std::string_view key, std::vector<ProfileNode>& out, bool required,
                        size_t maxItems) const {
    out.clear();
    const Json* j = Find(key);
    if (!j) return required ? Fail(PathOf(key), "missing") : true;
    if (!j->is_array()) return Fail(PathOf(key), "must be a list");
    if (j->size() > maxItems) return Fail(PathOf(key), Format("more than %zu entries", maxItems));
    std::string base = PathOf(key);
    for (size_t i = 0; i < j->size(); ++i)
        out.emplace_back((*j)[i], base + Format("[%zu]", i), error_);
    return true;
}

bool ProfileNode::OffsetBytes(std::string_view key, uint64_t limit,
                              std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& out) const {
    out.clear();
    const Json* j = Find(key);
    if (!j) return true;
    if (!j->is_object())
        return Fail(PathOf(key), "must be an object of offsets and hexadecimal bytes");
    for (const auto& item : j->items()) {
        std::string path = PathOf(key) + "." + item.key();
        uint64_t offset = 0;
        std::string problem;
        if (!ParseNumber(Json(item.key()), UINT64_MAX, offset, problem))
            return Fail(path, "the offset " + problem);
        if (!item.value().is_string()) return Fail(path, "must be a text of hexadecimal bytes");
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(item.value().get_ref<const std::string&>(), bytes, problem))
            return Fail(path, problem);
        if (offset > limit || bytes.size() > limit - offset)
            return Fail(path,
                        Format("runs past the end (0x%llX bytes)", (unsigned long long)limit));
        out.emplace_back(offset, std::move(bytes));
    }
    return true;
}

}  // namespace kvt::driver::board
