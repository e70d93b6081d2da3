// The description-file lookups read line by line with a 255-byte line buffer, each lookup
// from the top of the file: what the indexed lookups must give for every file.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pci/pci_desc.h"

namespace kvt::test {

ClassLookup ReferenceClassDescription(const std::string& path, uint32_t classCode);
std::string ReferenceVendorName(const std::string& path, uint32_t vendorId);
std::string ReferenceDeviceName(const std::string& path, uint32_t vendorId, uint32_t deviceId);
// Empty string (not "PCI device specific") when the file cannot be opened.
std::string ReferenceRegisterDescription(const std::string& path, uint32_t offset, uint32_t id00);

}  // namespace kvt::test
