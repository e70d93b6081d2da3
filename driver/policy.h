// The access policy for members of the daemon's group (/etc/korvanta/policy): what they may
// write, and what they may not read. Root, and the user a daemon runs as, are never restricted.
//
// One rule a line; '#' starts a comment; numbers are hexadecimal with an optional 0x, ranges
// FIRST-LAST inclusive:
//   allow msr NUMBER [mask MASK]        write the MSR; with a mask, change only the mask's bits
//   allow port FIRST[-LAST]             write the ports
//   allow pci BUS:DEVICE.FUNCTION [OFFSET[-LAST]]   write the function's configuration bytes
//   allow memory FIRST-LAST             write the physical bytes
//   allow smbus BASE ADDRESS[-LAST]     drive the SMBus host controller whose I/O ports start at
//                                       BASE (16 ports) with transactions to these slaves only
//   deny-read KIND ...                  the same forms (without mask): reads refused
// A policy without rules (the shipped file, all comments) leaves members unrestricted; once it
// holds any rule, a member's write that no allow rule covers is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::driver {

struct PolicyRule {
    enum class Kind { Msr, Port, Pci, Memory, Smbus };
    bool denyRead = false;
    Kind kind = Kind::Port;
    uint32_t key = 0;  // PCI: bus << 8 | device << 3 | function; SMBus: the controller's base
    uint64_t first = 0, last = 0;  // MSR number, ports, configuration offsets, bytes, slaves
    uint64_t mask = ~uint64_t{0};  // MSR bits that may change
    int line = 0;
    std::string text;  // the rule as written, for messages
};

class Policy {
  public:
    // Parses a policy; false with "ORIGIN line N: what is wrong" in *error.
    bool Parse(const std::string& text, const std::string& origin, std::string* error);
    // Reads and parses a file. A missing file is no policy (true, no rules).
    bool Load(const std::string& path, std::string* error);

    bool Restricts() const { return !rules_.empty(); }
    const std::string& origin() const { return origin_; }
    size_t size() const { return rules_.size(); }
    // The status line: "policy: /etc/korvanta/policy (5 rules) for members" or "policy: none".
    std::string StatusLine() const;

    // Empty when a member may do it, else which rule (or the lack of one) refuses it.
    std::string CheckPortWrite(uint32_t port, uint32_t width, uint32_t value) const;
    std::string CheckPortRead(uint32_t port, uint32_t width) const;
    std::string CheckPciWrite(uint32_t configAddress) const;
    std::string CheckPciRead(uint32_t configAddress) const;
    // A write of `width` bytes at any offset of one function (bus << 8 | device << 3 |
    // function): an allow rule must cover every byte written.
    std::string CheckPciWrite(uint32_t function, uint32_t offset, uint32_t width) const;
    // A range of one function's configuration bytes (function = bus << 8 | device << 3 |
    // function): refused as a read of any double word in it would be.
    std::string CheckPciBlockRead(uint32_t function, uint32_t offset, uint32_t length) const;
    std::string CheckMemoryWrite(uint64_t address, uint64_t length) const;
    std::string CheckMemoryRead(uint64_t address, uint64_t length) const;
    // `current` is the MSR's value now, when it could be read (a masked rule needs it).
    std::string CheckMsrWrite(uint32_t msr, uint64_t value, const uint64_t* current) const;
    std::string CheckMsrRead(uint32_t msr) const;
    // A transaction through the kernel's adapter for the controller at `base`: as through its
    // ports, only with a slave an smbus rule for that controller names.
    std::string CheckSmbusTransfer(uint32_t base, uint32_t slave) const;

  private:
    std::string Denied(const PolicyRule& rule) const;
    std::string NoRule(const std::string& what) const;
    const PolicyRule* FindRead(PolicyRule::Kind kind, uint32_t key, uint64_t first,
                               uint64_t last) const;

    std::vector<PolicyRule> rules_;
    std::string origin_;
};

}  // namespace kvt::driver
