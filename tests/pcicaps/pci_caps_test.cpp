// The capability decoder on generated spaces: broken chains end with a note, bytes past the
// valid length are never used, field names are unique, and dotted names find their bits.
#include "tools/pci/pci_caps.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "pcicaps/caps_spaces.h"

namespace kvt {
namespace {

using test::ConfigSpace;

const PciCapField* FieldOf(const PciCapability& cap, const std::string& name) {
    for (const PciCapField& f : cap.fields)
        if (f.name == name) return &f;
    return nullptr;
}

PciCapabilityList Decode(const ConfigSpace& s, uint32_t length = 0) {
    return DecodePciCapabilities(s.bytes.data(), length ? length : uint32_t(s.bytes.size()));
}

TEST(PciCaps, EveryCapabilityIsNamedAndItsFieldNamesAreUnique) {
    for (const test::PlacedSpace& p : test::AllSpaces()) {
        SCOPED_TRACE(p.address);
        const PciCapabilityList list = Decode(p.space);
        EXPECT_TRUE(list.notes.empty()) << list.notes.front();
        for (const PciCapability& cap : list.capabilities) {
            SCOPED_TRACE(cap.key);
            EXPECT_EQ(cap.key.find("cap_"), std::string::npos);
            std::set<std::string> names;
            for (const PciCapField& f : cap.fields) {
                EXPECT_TRUE(names.insert(f.name).second) << "twice: " << f.name;
                EXPECT_LE(f.bit + f.bits, f.width * 8) << f.name;
                EXPECT_LE(f.offset + f.width, p.space.bytes.size()) << f.name;
            }
        }
    }
}

TEST(PciCaps, DecodesTheRegistersThatDependOnTheCapabilitysOwnFlags) {
    const PciCapabilityList endpoint = Decode(test::EndpointSpace());
    ASSERT_EQ(endpoint.capabilities.size(), 8u + 21u);
    const PciCapability& msi = endpoint.capabilities[1];
    ASSERT_EQ(msi.key, "msi");
    EXPECT_EQ(FieldOf(msi, "vectors_capable")->number, 8u);
    EXPECT_EQ(FieldOf(msi, "vectors_enabled")->number, 2u);
    EXPECT_NE(FieldOf(msi, "mask_bits_64"), nullptr);  // 64-bit layout, maskable
    EXPECT_EQ(FieldOf(msi, "message_data"), nullptr);
    const PciCapability& pcie = endpoint.capabilities[2];
    EXPECT_EQ(FieldOf(pcie, "port_type")->text, "endpoint");
    EXPECT_EQ(FieldOf(pcie, "slot_power_limit_value"), nullptr);  // no slot, no root
    EXPECT_EQ(FieldOf(pcie, "root_pme_status"), nullptr);
    EXPECT_EQ(FieldOf(pcie, "max_payload_size_supported")->number, 512u);
    EXPECT_EQ(FieldOf(pcie, "max_read_request_size")->number, 512u);
    EXPECT_EQ(FieldOf(pcie, "aspm_support")->text, "l0s_l1");
    const PciCapability& ea = endpoint.capabilities[7];
    EXPECT_EQ(FieldOf(ea, "entry0_base")->number, 0xFE000000u);
    EXPECT_EQ(FieldOf(ea, "entry0_max_offset")->number, 0x00000FFCu);
    const PciCapability& dsn = endpoint.capabilities[10];
    EXPECT_EQ(FieldOf(dsn, "serial_number")->number, 0x0123456789ABCDEFull);
    const PciCapability& vc = endpoint.capabilities[9];
    EXPECT_NE(FieldOf(vc, "vc1_enable"), nullptr);
    EXPECT_EQ(FieldOf(vc, "vc2_enable"), nullptr);
    const PciCapability& rebar = endpoint.capabilities[21];
    ASSERT_EQ(rebar.key, "rebar");
    EXPECT_EQ(FieldOf(rebar, "bar0_bar_size_mb")->number, 256u);
    // Lane registers follow the link's maximum width (x16).
    EXPECT_NE(FieldOf(endpoint.capabilities[18], "lane15_downstream_transmitter_preset"), nullptr);
    EXPECT_EQ(FieldOf(endpoint.capabilities[18], "lane16_downstream_transmitter_preset"), nullptr);

    const PciCapabilityList root = Decode(test::RootPortSpace());
    const PciCapability& rootPcie = root.capabilities[2];
    EXPECT_EQ(FieldOf(rootPcie, "physical_slot_number")->number, 2u);
    EXPECT_NE(FieldOf(rootPcie, "root_pme_status"), nullptr);
    EXPECT_NE(FieldOf(root.capabilities[1], "message_data"), nullptr);  // 32-bit MSI
    EXPECT_EQ(FieldOf(root.capabilities[4], "bus"), nullptr);           // PCI-X, bridge form
    EXPECT_NE(FieldOf(root.capabilities[4], "secondary_clock_frequency"), nullptr);
    EXPECT_EQ(FieldOf(root.capabilities[5], "fixed_secondary_bus")->number, 1u);
    const PciCapability& aer = root.capabilities[6];
    EXPECT_EQ(FieldOf(aer, "err_fatal_nonfatal_source_id")->number, 0x0008u);
    EXPECT_TRUE(FieldOf(aer, "fatal_error_reporting_enable")->flag);
}

TEST(PciCaps, BrokenChainsEndWithANote) {
    // A loop in the standard list.
    ConfigSpace loop(256);
    loop.Header(0x8086, 1, 0);
    loop.Std(0x40, 0x01);
    loop.Std(0x48, 0x05);
    loop.Put(0x49, 1, 0x40);
    PciCapabilityList list = Decode(loop);
    EXPECT_EQ(list.capabilities.size(), 2u);
    ASSERT_EQ(list.notes.size(), 1u);
    EXPECT_EQ(list.notes[0], "capability list loops back to 40h");

    // A pointer into the header, an ID of FFh.
    ConfigSpace header(256);
    header.Header(0x8086, 1, 0);
    header.Std(0x40, 0x01);
    header.Put(0x41, 1, 0x20);
    EXPECT_EQ(Decode(header).notes.at(0), "capability pointer 20h points into the header");
    header.Put(0x41, 1, 0x80);
    header.Put(0x80, 1, 0xFF);
    EXPECT_EQ(Decode(header).notes.at(0), "capability list broken at 80h (ID FFh)");

    // Every double word from 40h holds an entry: all 48 are followed, then the walk ends.
    ConfigSpace many(256);
    many.Header(0x8086, 1, 0);
    for (uint32_t at = 0x40; at < 0x100; at += 4) many.Std(at, 0x09);
    list = Decode(many);
    EXPECT_EQ(list.capabilities.size(), size_t(kMaxStandardCapabilities));
    EXPECT_TRUE(list.notes.empty());
    many.Put(0xFD, 1, 0x40);
    EXPECT_EQ(Decode(many).notes.at(0), "capability list loops back to 40h");
}

TEST(PciCaps, ExtendedChainIsBoundedAndIgnoresBytesPastTheValidLength) {
    ConfigSpace s;
    s.Header(0x8086, 1, 0);
    s.Std(0x40, 0x10);
    s.Ext(0x100, 0x0003);
    s.Ext(0x200, 0x000D);
    s.Put(0x200, 4, s.Get(0x200, 4) | 0x100u << 20);  // back to the first
    PciCapabilityList list = Decode(s);
    EXPECT_EQ(list.capabilities.size(), 3u);
    EXPECT_EQ(list.notes.at(0), "extended capability list loops back to 100h");

    s.Put(0x200, 4, 0x000D | 0x0C0u << 20);
    EXPECT_EQ(Decode(s).notes.at(0), "extended capability pointer 0C0h points below 100h");

    s.Put(0x200, 4, 0x000D | 0x300u << 20);  // 300h holds nothing
    EXPECT_EQ(Decode(s).notes.at(0), "extended capability list broken at 300h");

    // With 256 valid bytes nothing above FFh is read; a PCI Express capability at FCh keeps
    // only the registers that fit below 100h.
    list = Decode(s, 256);
    EXPECT_EQ(list.capabilities.size(), 1u);
    EXPECT_TRUE(list.notes.empty());
    ConfigSpace edge(256);
    edge.Header(0x8086, 1, 0);
    edge.Std(0xFC, 0x10);
    edge.Put(0xFE, 2, 0x0042);
    list = Decode(edge);
    ASSERT_EQ(list.capabilities.size(), 1u);
    EXPECT_EQ(list.capabilities[0].fields.back().reg, "capabilities");

    // A chain through every double word of the extended space ends at its bound.
    ConfigSpace full;
    full.Header(0x8086, 1, 0);
    for (uint32_t at = 0x100; at < 0x1000; at += 4) full.Ext(at, 0x000B);
    list = Decode(full);
    EXPECT_EQ(list.capabilities.size(), size_t(kMaxExtendedCapabilities));
    EXPECT_TRUE(list.notes.empty());
}

TEST(PciCaps, DottedNamesGiveTheFieldsPlace) {
    const PciCapabilityList list = Decode(test::EndpointSpace());
    PciFieldLocation at;
    ASSERT_TRUE(FindPciCapField(list, "pcie.link_control.aspm", &at));
    EXPECT_EQ(at.offset, 0x80u);
    EXPECT_EQ(at.width, 2u);
    EXPECT_EQ(at.bit, 0u);
    EXPECT_EQ(at.bits, 2u);
    ASSERT_TRUE(FindPciCapField(list, "msix.message_control.enabled", &at));
    EXPECT_EQ(at.offset, 0xB2u);
    EXPECT_EQ(at.bit, 15u);
    EXPECT_EQ(at.bits, 1u);
    ASSERT_TRUE(FindPciCapField(list, "aer.capabilities_control.ecrc_check_enable", &at));
    EXPECT_EQ(at.offset, 0x118u);
    EXPECT_EQ(at.width, 4u);
    EXPECT_EQ(at.bit, 8u);
    ASSERT_TRUE(FindPciCapField(list, "vc[0].vc1_resource_control.vc1_enable", &at));
    EXPECT_EQ(at.offset, 0x168u);
    EXPECT_FALSE(FindPciCapField(list, "vc[1].port_vc_control.vc_arbitration_select", &at));
    EXPECT_FALSE(FindPciCapField(list, "pcie.link_status.aspm", &at));
    EXPECT_FALSE(FindPciCapField(list, "pcie.link_control", &at));
    EXPECT_FALSE(FindPciCapField(list, "msi[x].message_control.enabled", &at));
}

}  // namespace
}  // namespace kvt
