#include "driver/policy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "platform/hex.h"

namespace kvt::driver {

namespace {

using Kind = PolicyRule::Kind;

// An SMBus host controller's ports: BASE to BASE+15; the slave address (bits 7-1) goes to
// BASE+4, as on the Intel-style controllers.
constexpr uint32_t kSmbusPorts = 16;
constexpr uint32_t kSmbusAddressPort = 4;
constexpr size_t kMaxPolicySize = 1 << 20;
constexpr size_t kMaxRules = 4096;

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    return ParseHex(text, max, value);
}

bool ParseRange(const std::string& text, uint64_t max, uint64_t& first, uint64_t& last) {
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (!ParseNumber(text, max, first)) return false;
        last = first;
        return true;
    }
    return ParseNumber(text.substr(0, dash), max, first) &&
           ParseNumber(text.substr(dash + 1), max, last) && first <= last;
}

// BUS:DEVICE.FUNCTION, hexadecimal, as lspci writes it.
bool ParseFunction(const std::string& text, uint32_t& key) {
    size_t colon = text.find(':'), dot = text.find('.');
    if (colon == std::string::npos || dot == std::string::npos || dot < colon) return false;
    uint64_t bus = 0, device = 0, function = 0;
    if (!ParseNumber(text.substr(0, colon), 0xFF, bus) ||
        !ParseNumber(text.substr(colon + 1, dot - colon - 1), 0x1F, device) ||
        !ParseNumber(text.substr(dot + 1), 7, function))
        return false;
    key = static_cast<uint32_t>(bus << 8 | device << 3 | function);
    return true;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        if (end > at) words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// What a line says is wrong with it; empty when the rule was parsed.
std::string ParseRule(const std::vector<std::string>& w, PolicyRule& rule) {
    if (w[0] != "allow" && w[0] != "deny-read")
        return "'" + w[0] + "' is neither 'allow' nor 'deny-read'";
    rule.denyRead = w[0] == "deny-read";
    if (w.size() < 3) return "a rule needs a kind and what it covers";
    const std::string& kind = w[1];
    size_t used = 3;
    if (kind == "msr") {
        rule.kind = Kind::Msr;
        if (!ParseNumber(w[2], 0xFFFFFFFF, rule.first)) return "bad MSR number '" + w[2] + "'";
        rule.last = rule.first;
        if (w.size() >= 4 && w[3] == "mask") {
            if (rule.denyRead) return "a mask belongs to allow rules only";
            if (w.size() < 5 || !ParseNumber(w[4], ~uint64_t{0}, rule.mask))
                return "'mask' needs a 64-bit hexadecimal mask";
            used = 5;
        }
    } else if (kind == "port") {
        rule.kind = Kind::Port;
        if (!ParseRange(w[2], 0xFFFF, rule.first, rule.last))
            return "bad port range '" + w[2] + "'";
    } else if (kind == "pci") {
        rule.kind = Kind::Pci;
        if (!ParseFunction(w[2], rule.key))
            return "bad PCI function '" + w[2] + "' (BUS:DEVICE.FUNCTION)";
        rule.first = 0;
        rule.last = 0xFF;
        if (w.size() >= 4) {
            if (!ParseRange(w[3], 0xFF, rule.first, rule.last))
                return "bad configuration offsets '" + w[3] + "'";
            used = 4;
        }
    } else if (kind == "memory") {
        rule.kind = Kind::Memory;
        if (!ParseRange(w[2], 0xFFFFFFFF, rule.first, rule.last))
            return "bad physical memory range '" + w[2] + "'";
    } else if (kind == "smbus") {
        rule.kind = Kind::Smbus;
        uint64_t base = 0;
        if (!ParseNumber(w[2], 0x10000 - kSmbusPorts, base))
            return "bad SMBus controller base '" + w[2] + "'";
        rule.key = static_cast<uint32_t>(base);
        if (w.size() < 4 || !ParseRange(w[3], 0x7F, rule.first, rule.last))
            return "an SMBus rule needs the slave addresses (00-7F)";
        used = 4;
    } else {
        return "unknown kind '" + kind + "' (msr, port, pci, memory, smbus)";
    }
    if (w.size() > used) return "unexpected '" + w[used] + "'";
    return {};
}

bool Within(const PolicyRule& rule, uint64_t first, uint64_t last) {
    return first >= rule.first && last <= rule.last;
}

bool Overlaps(const PolicyRule& rule, uint64_t first, uint64_t last) {
    return first <= rule.last && last >= rule.first;
}

}  // namespace

bool Policy::Parse(const std::string& text, const std::string& origin, std::string* error) {
    rules_.clear();
    origin_ = origin;
    auto fail = [&](int line, const std::string& what) {
        if (error) *error = EscapeControls(origin + " line " + std::to_string(line) + ": " + what);
        rules_.clear();
        return false;
    };
    if (text.size() > kMaxPolicySize) return fail(1, "the policy is larger than 1 MiB");
    int number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        line = line.substr(0, line.find('#'));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words = Words(line);
        if (words.empty()) continue;
        PolicyRule rule;
        std::string problem = ParseRule(words, rule);
        if (!problem.empty()) return fail(number, problem);
        if (rules_.size() >= kMaxRules) return fail(number, "more than 4096 rules");
        rule.line = number;
        for (const std::string& word : words) rule.text += (rule.text.empty() ? "" : " ") + word;
        rules_.push_back(std::move(rule));
    }
    return true;
}

bool Policy::Load(const std::string& path, std::string* error) {
    rules_.clear();
    origin_ = path;
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        if (error) *error = EscapeControls(path + ": cannot be read: " + std::strerror(errno));
        return false;
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() <= kMaxPolicySize)
        text.append(chunk, n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        if (error) *error = EscapeControls(path + ": cannot be read");
        return false;
    }
    return Parse(text, path, error);
}

std::string Policy::StatusLine() const {
    if (!Restricts())
        return "policy: none" +
               (origin_.empty() ? std::string() : " (no rules in " + origin_ + ")") +
               ": members may do what root may";
    size_t allow = 0;
    for (const PolicyRule& rule : rules_) allow += !rule.denyRead;
    return Format("policy: %s (%zu allow, %zu deny-read rules) for members", origin_.c_str(), allow,
                  rules_.size() - allow);
}

std::string Policy::Denied(const PolicyRule& rule) const {
    return Format("refused by %s line %d (%s)", origin_.c_str(), rule.line, rule.text.c_str());
}

std::string Policy::NoRule(const std::string& what) const {
    return "refused by " + origin_ + ": no allow rule covers " + what;
}

const PolicyRule* Policy::FindRead(Kind kind, uint32_t key, uint64_t first, uint64_t last) const {
    for (const PolicyRule& rule : rules_)
        if (rule.denyRead && rule.kind == kind && rule.key == key && Overlaps(rule, first, last))
            return &rule;
    return nullptr;
}

std::string Policy::CheckPortWrite(uint32_t port, uint32_t width, uint32_t value) const {
    if (!Restricts()) return {};
    uint64_t last = uint64_t{port} + width - 1;
    for (const PolicyRule& rule : rules_)
        if (!rule.denyRead && rule.kind == Kind::Port && Within(rule, port, last)) return {};
    // The ports of a controller an smbus rule names: any register, but as the slave address
    // (bits 7-1 of BASE+4) only one of the rules for that controller.
    const PolicyRule* controller = nullptr;
    for (const PolicyRule& rule : rules_) {
        if (rule.denyRead || rule.kind != Kind::Smbus || port < rule.key ||
            last > rule.key + kSmbusPorts - 1)
            continue;
        uint32_t addressPort = rule.key + kSmbusAddressPort;
        if (addressPort < port || addressPort > last) return {};
        uint32_t slave = ((value >> (8 * (addressPort - port))) & 0xFF) >> 1;
        if (Within(rule, slave, slave)) return {};
        controller = &rule;
    }
    if (controller != nullptr) {
        uint32_t slave =
            ((value >> (8 * (controller->key + kSmbusAddressPort - port))) & 0xFF) >> 1;
        return NoRule(
            Format("SMBus slave 0x%02X of the controller at 0x%04X", slave, controller->key));
    }
    return NoRule(Format("writing port 0x%04X (width %u)", port, width));
}

std::string Policy::CheckSmbusTransfer(uint32_t base, uint32_t slave) const {
    if (!Restricts()) return {};
    for (const PolicyRule& rule : rules_)
        if (!rule.denyRead && rule.kind == Kind::Smbus && rule.key == base &&
            Within(rule, slave, slave))
            return {};
    return NoRule(Format("SMBus slave 0x%02X of the controller at 0x%04X", slave, base));
}

std::string Policy::CheckPortRead(uint32_t port, uint32_t width) const {
    if (!Restricts()) return {};
    const PolicyRule* rule = FindRead(Kind::Port, 0, port, uint64_t{port} + width - 1);
    return rule ? Denied(*rule) : std::string();
}

std::string Policy::CheckPciWrite(uint32_t configAddress) const {
    if (!Restricts()) return {};
    uint32_t key = (configAddress >> 8) & 0xFFFF;
    uint32_t offset = configAddress & 0xFC;
    for (const PolicyRule& rule : rules_)
        if (!rule.denyRead && rule.kind == Kind::Pci && rule.key == key &&
            Within(rule, offset, offset + 3))
            return {};
    return NoRule(
        Format("writing %02X:%02X.%X offset 0x%02X", key >> 8, (key >> 3) & 0x1F, key & 7, offset));
}

std::string Policy::CheckPciWrite(uint32_t function, uint32_t offset, uint32_t width) const {
    if (!Restricts()) return {};
    for (const PolicyRule& rule : rules_)
        if (!rule.denyRead && rule.kind == Kind::Pci && rule.key == function &&
            Within(rule, offset, uint64_t{offset} + width - 1))
            return {};
    return NoRule(Format("writing %02X:%02X.%X offset 0x%03X (width %u)", function >> 8,
                         (function >> 3) & 0x1F, function & 7, offset, width));
}

std::string Policy::CheckPciBlockRead(uint32_t function, uint32_t offset, uint32_t length) const {
    if (!Restricts() || length == 0) return {};
    const PolicyRule* rule = FindRead(Kind::Pci, function, offset, uint64_t{offset} + length - 1);
    return rule ? Denied(*rule) : std::string();
}

std::string Policy::CheckPciRead(uint32_t configAddress) const {
    if (!Restricts()) return {};
    uint32_t offset = configAddress & 0xFC;
    const PolicyRule* rule = FindRead(Kind::Pci, (configAddress >> 8) & 0xFFFF, offset, offset + 3);
    return rule ? Denied(*rule) : std::string();
}

std::string Policy::CheckMemoryWrite(uint64_t address, uint64_t length) const {
    if (!Restricts()) return {};
    for (const PolicyRule& rule : rules_)
        if (!rule.denyRead && rule.kind == Kind::Memory &&
            Within(rule, address, address + length - 1))
            return {};
    return NoRule(Format("writing 0x%llX bytes at 0x%08llX",
                         static_cast<unsigned long long>(length),
                         static_cast<unsigned long long>(address)));
}

std::string Policy::CheckMemoryRead(uint64_t address, uint64_t length) const {
    if (!Restricts()) return {};
    const PolicyRule* rule = FindRead(Kind::Memory, 0, address, address + length - 1);
    return rule ? Denied(*rule) : std::string();
}

std::string Policy::CheckMsrWrite(uint32_t msr, uint64_t value, const uint64_t* current) const {
    if (!Restricts()) return {};
    const PolicyRule* masked = nullptr;
    for (const PolicyRule& rule : rules_) {
        if (rule.denyRead || rule.kind != Kind::Msr || rule.first != msr) continue;
        if (rule.mask == ~uint64_t{0}) return {};
        // Only the mask's bits may change: the others must keep the value the MSR holds.
        if (current != nullptr && ((value ^ *current) & ~rule.mask) == 0) return {};
        masked = &rule;
    }
    if (masked != nullptr)
        return Denied(*masked) + Format(": only bits 0x%016llX may change",
                                        static_cast<unsigned long long>(masked->mask));
    return NoRule(Format("writing MSR 0x%08X", msr));
}

std::string Policy::CheckMsrRead(uint32_t msr) const {
    if (!Restricts()) return {};
    const PolicyRule* rule = FindRead(Kind::Msr, 0, msr, msr);
    return rule ? Denied(*rule) : std::string();
}

}  // namespace kvt::driver
