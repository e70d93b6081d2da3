// The configuration write planner: checks, masked read-modify-write, the write-1-to-clear bits
// found through the capabilities, and field writes by name.
#include <gtest/gtest.h>

#include "pcicaps/caps_spaces.h"
#include "tools/pci/pci_write.h"

namespace kvt {
namespace {

using test::ConfigSpace;

PciWritePlan Plan(const ConfigSpace& s, uint32_t offset, uint32_t width, uint32_t value,
                  std::optional<uint32_t> mask = {}, bool clearStatus = false) {
    return PlanPciWrite(s.bytes.data(), uint32_t(s.bytes.size()),
                        {offset, width, value, mask, clearStatus});
}

TEST(PciWritePlan, RefusesBadWidthsAlignmentsOffsetsAndValues) {
    ConfigSpace endpoint = test::EndpointSpace();
    EXPECT_EQ(Plan(endpoint, 0x40, 3, 0).error, "the width is 1, 2 or 4 bytes, not 3");
    EXPECT_EQ(Plan(endpoint, 0x42, 4, 0).error, "offset 042 is not a multiple of the width (4)");
    EXPECT_EQ(Plan(endpoint, 0x41, 2, 0).error, "offset 041 is not a multiple of the width (2)");
    EXPECT_EQ(Plan(endpoint, 0x1000, 1, 0).error,
              "offset 1000 lies past the 4 KiB configuration space");
    EXPECT_EQ(Plan(endpoint, 0x3C, 1, 0x100).error, "value 100 does not fit 1 byte");
    EXPECT_EQ(Plan(endpoint, 0x3C, 2, 0x3, 0x10000).error, "mask 10000 does not fit 2 bytes");
    EXPECT_EQ(Plan(endpoint, 0x3C, 1, 0x3, 0x1).error, "value 3 has bits outside the mask 1");
    EXPECT_EQ(Plan(endpoint, 0x3C, 1, 0, 0).error, "the mask selects no bit");
    // A conventional function has no extended space.
    ConfigSpace conventional = test::ConventionalSpace();
    EXPECT_EQ(Plan(conventional, 0x100, 4, 0).error,
              "offset 100 lies past the function's 256 configuration bytes (it has no extended "
              "configuration space)");
    EXPECT_TRUE(Plan(conventional, 0xFF, 1, 0).ok());
}

TEST(PciWritePlan, MaskChangesOnlyItsBitsAndNeverWritesStatusBitsBack) {
    ConfigSpace s = test::EndpointSpace();
    s.Put(0x04, 2, 0x0406);
    s.Put(0x06, 2, 0xF910);  // every write-1-to-clear bit of Status set, capability list
    // Command bit 2 off through a double word at 04h: Status comes back as zeros.
    PciWritePlan p = Plan(s, 0x04, 4, 0, 0x4);
    ASSERT_TRUE(p.ok()) << p.error;
    EXPECT_EQ(p.old, 0xF9100406u);
    EXPECT_EQ(p.value, 0x00100402u);
    EXPECT_EQ(p.protect, 0xF9000000u);
    EXPECT_EQ(p.dropped, 0u);
    EXPECT_EQ(p.clears, 0u);
    EXPECT_EQ(p.registers, std::vector<std::string>{"status"});
    // A mask covering a status bit asks for it: that bit is cleared, the others kept.
    p = Plan(s, 0x04, 4, 0x20000000, 0x20000004);
    EXPECT_EQ(p.value, 0x20100402u);
    EXPECT_EQ(p.clears, 0x20000000u);
    EXPECT_EQ(p.protect, 0xD9000000u);
    // A whole value keeps its status bits 0 unless --clear-status.
    p = Plan(s, 0x04, 4, 0xF9100406);
    EXPECT_EQ(p.value, 0x00100406u);
    EXPECT_EQ(p.dropped, 0xF9000000u);
    p = Plan(s, 0x04, 4, 0xF9100406, {}, true);
    EXPECT_EQ(p.value, 0xF9100406u);
    EXPECT_EQ(p.protect, 0u);
    EXPECT_EQ(p.clears, 0xF9000000u);
    // Byte and word writes of Command do not reach Status: nothing to protect.
    p = Plan(s, 0x04, 2, 0x0402);
    EXPECT_EQ(p.value, 0x0402u);
    EXPECT_EQ(p.protect, 0u);
    EXPECT_TRUE(p.registers.empty());
    // The byte of Status that holds bit 8 only.
    p = Plan(s, 0x06, 1, 0x10, {}, false);
    EXPECT_EQ(p.protect, 0x00u);
    p = Plan(s, 0x07, 1, 0xFF);
    EXPECT_EQ(p.protect, 0xF9u);
    EXPECT_EQ(p.value, 0x06u);
}

TEST(PciWritePlan, FindsTheStatusRegistersOfTheCapabilities) {
    auto names = [](const ConfigSpace& s) {
        std::vector<std::string> out;
        for (const PciClearBits& c : FindPciClearBits(s.bytes.data(), uint32_t(s.bytes.size())))
            out.push_back(c.name);
        return out;
    };
    ConfigSpace endpoint = test::EndpointSpace();
    std::vector<std::string> found = names(endpoint);
    for (const char* name :
         {"status", "pm.control_status", "pcie.device_status", "pcie.link_status",
          "pcie.link_status_2", "aer.uncorrectable_error_status", "aer.correctable_error_status"})
        EXPECT_NE(std::find(found.begin(), found.end(), name), found.end()) << name;
    EXPECT_EQ(std::find(found.begin(), found.end(), "pcie.root_status"), found.end());
    found = names(test::RootPortSpace());
    for (const char* name : {"secondary_status", "pcie.slot_status", "pcie.root_status",
                             "aer.root_error_status", "dpc.status"})
        EXPECT_NE(std::find(found.begin(), found.end(), name), found.end()) << name;

    // A masked write of PCI Express Device Control (08h of the capability, at 78h) as a
    // double word keeps Device Status' error bits; PMCSR keeps PME_Status.
    endpoint.Put(0x7A, 2, 0x000F);
    PciWritePlan p = Plan(endpoint, 0x78, 4, 0x1, 0x1);
    EXPECT_EQ(p.protect, 0x004F0000u);
    EXPECT_EQ(p.value & 0xFFFF0000u, 0u);
    endpoint.Put(0x44, 2, 0x8003);
    p = Plan(endpoint, 0x44, 2, 0x0, 0x3);
    EXPECT_EQ(p.value, 0x0000u);
    EXPECT_EQ(p.protect, 0x8000u);
    // AER's correctable status is all write-1-to-clear.
    endpoint.Put(0x110, 4, 0x41);
    p = Plan(endpoint, 0x110, 4, 0x1, 0x1);
    EXPECT_EQ(p.value, 0x1u);
    EXPECT_EQ(p.protect, 0xFFFFFFFEu);
}

PciFieldWrite Field(const ConfigSpace& s, const char* name, uint64_t value) {
    const uint32_t n = uint32_t(s.bytes.size());
    return PlanPciFieldWrite(DecodePciCapabilities(s.bytes.data(), n), name, value,
                             FindPciClearBits(s.bytes.data(), n));
}

TEST(PciWritePlan, FieldWritesTouchOnlyTheFieldsBytes) {
    ConfigSpace s = test::EndpointSpace();  // PCI Express at 70h
    PciFieldWrite f = Field(s, "pcie.link_control.aspm", 0);
    ASSERT_TRUE(f.ok()) << f.error;
    EXPECT_EQ(f.request.offset, 0x80u);
    EXPECT_EQ(f.request.width, 1u);
    EXPECT_EQ(f.request.mask, 0x3u);
    EXPECT_EQ(f.request.value, 0u);
    // Max read request size, bits 14-12 of Device Control (78h): its upper byte alone.
    f = Field(s, "pcie.device_control.max_read_request_size", 5);
    EXPECT_EQ(f.request.offset, 0x79u);
    EXPECT_EQ(f.request.width, 1u);
    EXPECT_EQ(f.request.mask, 0x70u);
    EXPECT_EQ(f.request.value, 0x50u);
    // A field across a byte boundary (transmit margin, bits 9-7 of Link Control 2 at A0h):
    // the word that holds it.
    f = Field(s, "pcie.link_control_2.transmit_margin", 5);
    ASSERT_TRUE(f.ok()) << f.error;
    EXPECT_EQ(f.request.offset, 0xA0u);
    EXPECT_EQ(f.request.width, 2u);
    EXPECT_EQ(f.request.mask, 0x0380u);
    EXPECT_EQ(f.request.value, 0x0280u);

    EXPECT_EQ(Field(s, "pcie.link_status.link_width", 1).error,
              "pcie.link_status.link_width is read-only");
    EXPECT_EQ(Field(s, "msix.message_control.table_size", 1).error,
              "msix.message_control.table_size is read-only");
    EXPECT_EQ(Field(s, "pcie.link_control.aspm", 4).error,
              "pcie.link_control.aspm holds 2 bits: value 4 does not fit (0 to 3)");
    EXPECT_EQ(Field(s, "pcie.link_control.nothing", 0).error,
              "this function has no field pcie.link_control.nothing ('pci caps' lists its "
              "fields)");
    // A write-1-to-clear bit takes 1, and only its own bit is sent as 1.
    EXPECT_EQ(Field(s, "pcie.device_status.fatal_error_detected", 0).error,
              "pcie.device_status.fatal_error_detected is a write-1-to-clear status bit: writing "
              "0 changes nothing; 1 clears it");
    s.Put(0x7A, 2, 0x000F);
    f = Field(s, "pcie.device_status.fatal_error_detected", 1);
    ASSERT_TRUE(f.ok()) << f.error;
    EXPECT_TRUE(f.clearField);
    PciWritePlan p = PlanPciWrite(s.bytes.data(), uint32_t(s.bytes.size()), f.request);
    EXPECT_EQ(p.offset, 0x7Au);
    EXPECT_EQ(p.value, 0x04u);
    EXPECT_EQ(p.clears, 0x04u);
}

}  // namespace
}  // namespace kvt
