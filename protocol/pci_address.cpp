#include "protocol/pci_address.h"

#include <cstdio>

#include "platform/hex.h"

namespace kvt {

std::string PciAddress::FunctionText(bool lower) const {
    char text[16];
    if (domain != 0)
        std::snprintf(text, sizeof text, lower ? "%04x:%02x:%02x.%x" : "%04X:%02X:%02X.%X", domain,
                      bus, device, function);
    else
        std::snprintf(text, sizeof text, lower ? "%02x:%02x.%x" : "%02X:%02X.%X", bus, device,
                      function);
    return text;
}

std::string PciAddress::SysfsName() const {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", domain, bus, device, function);
    return text;
}

std::optional<PciAddress> ParsePciFunction(std::string_view text, bool allowDomain) {
    // Up to three ':'-separated parts before ".F": [domain:]bus:device.
    const size_t dot = text.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    std::string_view head = text.substr(0, dot), fn = text.substr(dot + 1);
    std::string_view parts[3];
    size_t count = 0;
    while (count < 3) {
        const size_t colon = head.find(':');
        parts[count++] = head.substr(0, colon);
        if (colon == std::string_view::npos) break;
        head.remove_prefix(colon + 1);
        if (count == 3) return std::nullopt;
    }
    if (count < 2 || (count == 3 && !allowDomain)) return std::nullopt;
    const std::string_view domainText = count == 3 ? parts[0] : std::string_view("0");
    const std::string_view busText = parts[count - 2], deviceText = parts[count - 1];
    uint64_t domain = 0, bus = 0, device = 0, function = 0;
    if (domainText.size() > 4 || busText.size() > 2 || deviceText.size() > 2 || fn.size() != 1 ||
        !ParseHex(domainText, 0xFFFF, domain, HexPrefix::Refused) ||
        !ParseHex(busText, 0xFF, bus, HexPrefix::Refused) ||
        !ParseHex(deviceText, 0x1F, device, HexPrefix::Refused) ||
        !ParseHex(fn, 7, function, HexPrefix::Refused))
        return std::nullopt;
    return PciAddress(uint32_t(bus), uint32_t(device), uint32_t(function), 0, uint32_t(domain));
}

}  // namespace kvt
