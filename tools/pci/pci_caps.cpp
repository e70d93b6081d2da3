#include "tools/pci/pci_caps.h"

#include <bitset>
#include <cstdio>

#include "platform/format.h"

namespace kvt {

namespace {

// How a field's bits become its value.
enum class Show : uint8_t {
    Dec,    // the bits as a number
    Hex,    // the same, best read in hexadecimal
    Bool,   // one bit
    Plus1,  // bits + 1 (sizes encoded as N - 1)
    Shl,    // scale << bits (powers of two: vectors, payload sizes)
    Times,  // bits × scale (offsets kept in the upper bits of a register)
    Speed,  // a PCI Express link speed code, shown in GT/s
    Enum,   // a name from a list; bits past the list show "reserved (N)"
};

struct FieldSpec {
    const char* name;
    uint8_t bit, bits;
    Show show;
    uint32_t scale = 1;
    const std::vector<const char*>* names = nullptr;
};

FieldSpec B(const char* name, uint8_t bit) {
    return {name, bit, 1, Show::Bool};
}
FieldSpec N(const char* name, uint8_t bit, uint8_t bits) {
    return {name, bit, bits, Show::Dec};
}
FieldSpec H(const char* name, uint8_t bit, uint8_t bits) {
    return {name, bit, bits, Show::Hex};
}
FieldSpec E(const char* name, uint8_t bit, uint8_t bits, const std::vector<const char*>& names) {
    return {name, bit, bits, Show::Enum, 1, &names};
}
FieldSpec Shl(const char* name, uint8_t bit, uint8_t bits, uint32_t base) {
    return {name, bit, bits, Show::Shl, base};
}
FieldSpec Times(const char* name, uint8_t bit, uint8_t bits, uint32_t scale) {
    return {name, bit, bits, Show::Times, scale};
}
FieldSpec Plus1(const char* name, uint8_t bit, uint8_t bits) {
    return {name, bit, bits, Show::Plus1};
}
FieldSpec Speed(const char* name, uint8_t bit, uint8_t bits) {
    return {name, bit, bits, Show::Speed};
}

// When a register is present: most always; some depend on the header or on the capability's
// own flags (PCI Express port type and version, MSI address width).
enum class When : uint8_t {
    Always,
    Header0,
    Header1,
    PcieLink,
    PcieSlot,
    PcieRoot,
    PcieV2,
    PcieV2Link,
    PcieV2Slot,
    Msi32,
    Msi64,
    Msi32Mask,
    Msi64Mask,
    RootPortOrCollector,
};

struct RegSpec {
    std::string name;
    uint32_t offset;  // from the capability's start
    uint32_t width;   // 1, 2, 4 or 8 bytes
    std::vector<FieldSpec> fields;
    When when = When::Always;
};

// What the registers' presence depends on.
struct Context {
    const uint8_t* config;
    uint32_t length;
    uint32_t headerType;
    bool pcie = false;
    uint32_t portType = 0, pcieVersion = 0, maxLinkWidth = 0;
    bool slot = false;
    uint32_t capOffset = 0;  // of the capability being decoded
    uint32_t bound = 0;      // registers of the capability end below this offset

    uint64_t Get(uint32_t offset, uint32_t width) const {
        uint64_t v = 0;
        for (uint32_t i = width; i-- > 0;) v = v << 8 | config[offset + i];
        return v;
    }
    bool Fits(uint32_t offset, uint32_t width) const {
        return offset <= bound && width <= bound - offset;
    }
};

struct CapSpec {
    uint32_t id;
    const char* key;
    const char* name;
    std::vector<RegSpec> regs;
    // Registers whose number or place the capability's own contents decide.
    void (*more)(const Context& c, std::vector<RegSpec>& regs) = nullptr;
};

constexpr uint32_t kPortRoot = 4, kPortDownstream = 6, kPortIntegrated = 9, kPortCollector = 10;

bool Present(When when, const Context& c) {
    const uint32_t msiControl = c.Fits(c.capOffset + 2, 2) ? c.Get(c.capOffset + 2, 2) : 0;
    const bool msi64 = msiControl & 0x80, mask = msiControl & 0x100;
    const bool link = c.portType != kPortIntegrated && c.portType != kPortCollector;
    const bool root = c.portType == kPortRoot || c.portType == kPortCollector;
    const bool v2 = c.pcieVersion >= 2;
    switch (when) {
        case When::Always:
            return true;
        case When::Header0:
            return c.headerType == 0;
        case When::Header1:
            return c.headerType == 1;
        case When::PcieLink:
            return link;
        case When::PcieSlot:
            return c.slot;
        case When::PcieRoot:
            return root;
        case When::PcieV2:
            return v2;
        case When::PcieV2Link:
            return v2 && link;
        case When::PcieV2Slot:
            return v2 && c.slot;
        case When::Msi32:
            return !msi64;
        case When::Msi64:
            return msi64;
        case When::Msi32Mask:
            return !msi64 && mask;
        case When::Msi64Mask:
            return msi64 && mask;
        case When::RootPortOrCollector:
            return c.pcie && root;
    }
    return false;
}

const std::vector<const char*> kPowerStates = {"D0", "D1", "D2", "D3hot"};
const std::vector<const char*> kPortTypes = {
    "endpoint",           "legacy_endpoint",     "reserved (2)",    "reserved (3)",
    "root_port",          "upstream_port",       "downstream_port", "pcie_to_pci_bridge",
    "pci_to_pcie_bridge", "integrated_endpoint", "event_collector"};
const std::vector<const char*> kAspm = {"disabled", "l0s", "l1", "l0s_l1"};
const std::vector<const char*> kIndicator = {"reserved (0)", "on", "blink", "off"};
const std::vector<const char*> kDpcTrigger = {"disabled", "fatal", "non_fatal_or_fatal",
                                              "reserved (3)"};
const std::vector<const char*> kDpcReason = {"unmasked_uncorrectable", "err_nonfatal", "err_fatal",
                                             "extension"};

std::vector<FieldSpec> AerErrors(bool correctable) {
    if (correctable) {
        return {B("receiver_error", 0),
                B("bad_tlp", 6),
                B("bad_dllp", 7),
                B("replay_num_rollover", 8),
                B("replay_timer_timeout", 12),
                B("advisory_non_fatal", 13),
                B("corrected_internal", 14),
                B("header_log_overflow", 15)};
    }
    return {B("data_link_protocol", 4),
            B("surprise_down", 5),
            B("poisoned_tlp", 12),
            B("flow_control_protocol", 13),
            B("completion_timeout", 14),
            B("completer_abort", 15),
            B("unexpected_completion", 16),
            B("receiver_overflow", 17),
            B("malformed_tlp", 18),
            B("ecrc", 19),
            B("unsupported_request", 20),
            B("acs_violation", 21),
            B("uncorrectable_internal", 22),
            B("mc_blocked_tlp", 23),
            B("atomicop_egress_blocked", 24),
            B("tlp_prefix_blocked", 25),
            B("poisoned_tlp_egress_blocked", 26)};
}

// The same fields under other names: the status, mask and severity registers of AER share
// their bit layout, yet each field name must be unique within the capability.
std::vector<FieldSpec> Suffixed(std::vector<FieldSpec> fields, const char* suffix,
                                std::vector<std::string>& names) {
    for (FieldSpec& f : fields) {
        names.push_back(std::string(f.name) + suffix);
        f.name = nullptr;  // filled below from the stable storage
    }
    return fields;
}

void VcMore(const Context& c, std::vector<RegSpec>& regs) {
    if (!c.Fits(c.capOffset + 4, 4)) return;
    const uint32_t count = (c.Get(c.capOffset + 4, 4) & 7) + 1;
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (int i = 0; i < 8; ++i) {
            for (const char* f :
                 {"port_arbitration_capability", "reject_snoop_transactions", "maximum_time_slots",
                  "port_arbitration_table_offset", "tc_vc_map", "load_port_arbitration_table",
                  "port_arbitration_select", "vc_id", "enable", "port_arbitration_table_status",
                  "negotiation_pending"}) {
                n.push_back(Format("vc%d_%s", i, f));
            }
        }
        return n;
    }();
    for (uint32_t i = 0; i < count; ++i) {
        const std::string* n = &names[i * 11];
        const uint32_t at = 0x10 + 12 * i;
        regs.push_back({Format("vc%u_resource_capability", i),
                        at,
                        4,
                        {H(n[0].c_str(), 0, 8), B(n[1].c_str(), 15), Plus1(n[2].c_str(), 16, 7),
                         Times(n[3].c_str(), 24, 8, 16)}});
        regs.push_back({Format("vc%u_resource_control", i),
                        at + 4,
                        4,
                        {H(n[4].c_str(), 0, 8), B(n[5].c_str(), 16), N(n[6].c_str(), 17, 3),
                         N(n[7].c_str(), 24, 3), B(n[8].c_str(), 31)}});
        regs.push_back({Format("vc%u_resource_status", i),
                        at + 10,
                        2,
                        {B(n[9].c_str(), 0), B(n[10].c_str(), 1)}});
    }
}

void RebarMore(const Context& c, std::vector<RegSpec>& regs) {
    if (!c.Fits(c.capOffset + 8, 4)) return;
    uint32_t count = (c.Get(c.capOffset + 8, 4) >> 5) & 7;
    if (count == 0 || count > 6) count = 1;
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (int i = 0; i < 6; ++i) {
            for (const char* f : {"supported_sizes", "bar_index", "bar_size_mb"})
                n.push_back(Format("bar%d_%s", i, f));
        }
        return n;
    }();
    for (uint32_t i = 0; i < count; ++i) {
        const std::string* n = &names[i * 3];
        regs.push_back({Format("bar%u_capability", i), 4 + 8 * i, 4, {H(n[0].c_str(), 4, 28)}});
        std::vector<FieldSpec> control = {N(n[1].c_str(), 0, 3), Shl(n[2].c_str(), 8, 6, 1)};
        if (i == 0) control.push_back(N("number_of_resizable_bars", 5, 3));
        regs.push_back({Format("bar%u_control", i), 8 + 8 * i, 4, control});
    }
}

// Per-lane registers, one per lane of the link's maximum width.
void LaneRegisters(const Context& c, std::vector<RegSpec>& regs, uint32_t first, uint32_t width,
                   const char* what, uint8_t upstreamBit) {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (int lane = 0; lane < 32; ++lane) {
            n.push_back(Format("lane%d_downstream_transmitter_preset", lane));
            n.push_back(Format("lane%d_upstream_transmitter_preset", lane));
        }
        return n;
    }();
    uint32_t lanes = c.maxLinkWidth;
    if (lanes == 0 || lanes > 32) lanes = 1;
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        const std::string* n = &names[lane * 2];
        regs.push_back({Format("lane%u_%s", lane, what),
                        first + width * lane,
                        width,
                        {N(n[0].c_str(), 0, 4), N(n[1].c_str(), upstreamBit, 4)}});
    }
}

void SecondaryMore(const Context& c, std::vector<RegSpec>& regs) {
    LaneRegisters(c, regs, 0x0C, 2, "equalization_control", 8);
}
void Pl16More(const Context& c, std::vector<RegSpec>& regs) {
    LaneRegisters(c, regs, 0x20, 1, "equalization_control", 4);
}
void MarginMore(const Context& c, std::vector<RegSpec>& regs) {
    uint32_t lanes = c.maxLinkWidth;
    if (lanes == 0 || lanes > 32) lanes = 1;
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (int lane = 0; lane < 32; ++lane) {
            for (const char* f : {"receiver_number", "margin_type", "usage_model", "payload",
                                  "status_receiver_number", "status_margin_type",
                                  "status_usage_model", "status_payload"})
                n.push_back(Format("lane%d_%s", lane, f));
        }
        return n;
    }();
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        const std::string* n = &names[lane * 8];
        regs.push_back({Format("lane%u_control", lane),
                        0x08 + 4 * lane,
                        2,
                        {N(n[0].c_str(), 0, 3), N(n[1].c_str(), 3, 3), B(n[2].c_str(), 6),
                         H(n[3].c_str(), 8, 8)}});
        regs.push_back({Format("lane%u_status", lane),
                        0x0A + 4 * lane,
                        2,
                        {N(n[4].c_str(), 0, 3), N(n[5].c_str(), 3, 3), B(n[6].c_str(), 6),
                         H(n[7].c_str(), 8, 8)}});
    }
}

void EaMore(const Context& c, std::vector<RegSpec>& regs) {
    if (!c.Fits(c.capOffset + 2, 1)) return;
    const uint32_t count = c.Get(c.capOffset + 2, 1) & 0x3F;
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (int i = 0; i < 64; ++i) {
            for (const char* f : {"entry_size", "bei", "primary_properties", "secondary_properties",
                                  "writable", "enable", "base", "max_offset"})
                n.push_back(Format("entry%d_%s", i, f));
        }
        return n;
    }();
    uint32_t at = c.headerType == 1 ? 8 : 4;
    for (uint32_t i = 0; i < count && c.Fits(c.capOffset + at, 4); ++i) {
        const std::string* n = &names[i * 8];
        const uint32_t header = uint32_t(c.Get(c.capOffset + at, 4));
        const uint32_t size = (header & 7) + 1;  // double words including the header
        regs.push_back({Format("entry%u_header", i),
                        at,
                        4,
                        {Plus1(n[0].c_str(), 0, 3), N(n[1].c_str(), 4, 4), H(n[2].c_str(), 8, 8),
                         H(n[3].c_str(), 16, 8), B(n[4].c_str(), 30), B(n[5].c_str(), 31)}});
        if (size >= 2)
            regs.push_back({Format("entry%u_base", i), at + 4, 4, {H(n[6].c_str(), 0, 32)}});
        if (size >= 3) {
            regs.push_back({Format("entry%u_max_offset", i), at + 8, 4, {H(n[7].c_str(), 0, 32)}});
        }
        at += 4 * size;
    }
}

const std::vector<CapSpec>& StandardSpecs() {
    static const std::vector<CapSpec> specs = {
        {0x01,
         "pm",
         "Power Management",
         {{"capabilities",
           2,
           2,
           {N("version", 0, 3), B("pme_clock", 3), B("device_specific_initialization", 5),
            N("aux_current", 6, 3), B("d1_support", 9), B("d2_support", 10),
            H("pme_support", 11, 5)}},
          {"control_status",
           4,
           2,
           {E("power_state", 0, 2, kPowerStates), B("no_soft_reset", 3), B("pme_enable", 8),
            N("data_select", 9, 4), N("data_scale", 13, 2), B("pme_status", 15)}},
          {"bridge_extensions", 6, 1, {B("b2_b3", 6), B("bus_power_clock_control", 7)}},
          {"data", 7, 1, {N("data", 0, 8)}}}},
        {0x02, "agp", "AGP", {{"version", 2, 1, {N("minor", 0, 4), N("major", 4, 4)}}}},
        {0x03,
         "vpd",
         "Vital Product Data",
         {{"address", 2, 2, {H("vpd_address", 0, 15), B("flag", 15)}},
          {"data", 4, 4, {H("vpd_data", 0, 32)}}}},
        {0x04,
         "slot_id",
         "Slot Identification",
         {{"slots", 2, 1, {N("expansion_slots", 0, 5), B("first_in_chassis", 5)}},
          {"chassis", 3, 1, {N("chassis_number", 0, 8)}}}},
        {0x05,
         "msi",
         "MSI",
         {{"message_control",
           2,
           2,
           {B("enabled", 0), Shl("vectors_capable", 1, 3, 1), Shl("vectors_enabled", 4, 3, 1),
            B("address_64bit", 7), B("per_vector_masking", 8)}},
          {"message_address", 4, 4, {H("message_address", 0, 32)}},
          {"message_upper_address", 8, 4, {H("message_upper_address", 0, 32)}, When::Msi64},
          {"message_data", 8, 2, {H("message_data", 0, 16)}, When::Msi32},
          {"message_data_64", 12, 2, {H("message_data_64", 0, 16)}, When::Msi64},
          {"mask_bits", 12, 4, {H("mask_bits", 0, 32)}, When::Msi32Mask},
          {"pending_bits", 16, 4, {H("pending_bits", 0, 32)}, When::Msi32Mask},
          {"mask_bits_64", 16, 4, {H("mask_bits_64", 0, 32)}, When::Msi64Mask},
          {"pending_bits_64", 20, 4, {H("pending_bits_64", 0, 32)}, When::Msi64Mask}}},
        {0x06,
         "hot_swap",
         "CompactPCI Hot Swap",
         {{"control_status",
           2,
           1,
           {B("ins_enum_interrupt_mask", 1), B("extraction", 6), B("insertion", 7)}}}},
        {0x07,
         "pcix",
         "PCI-X",
         {{"command",
           2,
           2,
           {B("data_parity_error_recovery", 0), B("relaxed_ordering", 1),
            Shl("max_memory_read_byte_count", 2, 2, 512),
            N("max_outstanding_split_transactions", 4, 3)},
           When::Header0},
          {"status",
           4,
           4,
           {N("function", 0, 3), N("device", 3, 5), N("bus", 8, 8), B("device_64bit", 16),
            B("mhz_133", 17), B("split_completion_discarded", 18),
            B("unexpected_split_completion", 19), B("device_complexity", 20),
            Shl("designed_max_memory_read_byte_count", 21, 2, 512),
            N("designed_max_outstanding_split_transactions", 23, 3),
            N("designed_max_cumulative_read_size", 26, 3),
            B("received_split_completion_error", 29)},
           When::Header0},
          {"secondary_status",
           2,
           2,
           {B("secondary_64bit", 0), B("secondary_133mhz", 1),
            B("secondary_split_completion_discarded", 2),
            B("secondary_unexpected_split_completion", 3),
            B("secondary_split_completion_overrun", 4), B("secondary_split_request_delayed", 5),
            N("secondary_clock_frequency", 6, 3)},
           When::Header1},
          {"bridge_status",
           4,
           4,
           {N("bridge_function", 0, 3), N("bridge_device", 3, 5), N("bridge_bus", 8, 8),
            B("bridge_64bit", 16), B("bridge_133mhz", 17),
            B("bridge_split_completion_discarded", 18), B("bridge_unexpected_split_completion", 19),
            B("bridge_split_completion_overrun", 20), B("bridge_split_request_delayed", 21)},
           When::Header1}}},
        {0x08, "ht", "HyperTransport", {{"command", 2, 2, {H("command", 0, 16)}}}},
        {0x09, "vendor", "Vendor Specific", {{"length", 2, 1, {N("length", 0, 8)}}}},
        {0x0A,
         "debug_port",
         "Debug Port",
         {{"debug_port", 2, 2, {H("offset", 0, 13), N("bar", 13, 3)}}}},
        {0x0B, "cpci_crc", "CompactPCI Central Resource Control", {}},
        {0x0C, "hot_plug", "PCI Hot-Plug", {}},
        {0x0D,
         "subsystem",
         "Subsystem Vendor ID",
         {{"subsystem_vendor_id", 4, 2, {H("subsystem_vendor_id", 0, 16)}},
          {"subsystem_id", 6, 2, {H("subsystem_id", 0, 16)}}}},
        {0x0E, "agp8x", "AGP 8x", {}},
        {0x0F, "secure", "Secure Device", {}},
        {0x10,
         "pcie",
         "PCI Express",
         {{"capabilities",
           2,
           2,
           {N("version", 0, 4), E("port_type", 4, 4, kPortTypes), B("slot_implemented", 8),
            N("interrupt_message_number", 9, 5)}},
          {"device_capabilities",
           4,
           4,
           {Shl("max_payload_size_supported", 0, 3, 128), N("phantom_functions", 3, 2),
            B("extended_tag_field", 5), N("endpoint_l0s_acceptable_latency", 6, 3),
            N("endpoint_l1_acceptable_latency", 9, 3), B("role_based_error_reporting", 15),
            B("err_cor_subclass", 16), N("captured_slot_power_limit_value", 18, 8),
            N("captured_slot_power_limit_scale", 26, 2), B("function_level_reset", 28)}},
          {"device_control",
           8,
           2,
           {B("correctable_error_reporting", 0), B("non_fatal_error_reporting", 1),
            B("fatal_error_reporting", 2), B("unsupported_request_reporting", 3),
            B("relaxed_ordering", 4), Shl("max_payload_size", 5, 3, 128),
            B("extended_tag_field_enable", 8), B("phantom_functions_enable", 9),
            B("aux_power_pm_enable", 10), B("no_snoop", 11),
            Shl("max_read_request_size", 12, 3, 128),
            B("bridge_config_retry_or_initiate_flr", 15)}},
          {"device_status",
           10,
           2,
           {B("correctable_error_detected", 0), B("non_fatal_error_detected", 1),
            B("fatal_error_detected", 2), B("unsupported_request_detected", 3),
            B("aux_power_detected", 4), B("transactions_pending", 5),
            B("emergency_power_reduction_detected", 6)}},
          {"link_capabilities",
           12,
           4,
           {Speed("max_link_speed_gts", 0, 4), N("max_link_width", 4, 6),
            E("aspm_support", 10, 2, kAspm), N("l0s_exit_latency", 12, 3),
            N("l1_exit_latency", 15, 3), B("clock_power_management", 18),
            B("surprise_down_error_reporting", 19), B("data_link_layer_link_active_reporting", 20),
            B("link_bandwidth_notification", 21), B("aspm_optionality_compliance", 22),
            N("port_number", 24, 8)},
           When::PcieLink},
          {"link_control",
           16,
           2,
           {E("aspm", 0, 2, kAspm), B("read_completion_boundary_128", 3), B("link_disable", 4),
            B("retrain_link", 5), B("common_clock_configuration", 6), B("extended_synch", 7),
            B("enable_clock_power_management", 8), B("hardware_autonomous_width_disable", 9),
            B("link_bandwidth_management_interrupt_enable", 10),
            B("link_autonomous_bandwidth_interrupt_enable", 11)},
           When::PcieLink},
          {"link_status",
           18,
           2,
           {Speed("link_speed_gts", 0, 4), N("link_width", 4, 6), B("link_training", 11),
            B("slot_clock_configuration", 12), B("data_link_layer_link_active", 13),
            B("link_bandwidth_management_status", 14), B("link_autonomous_bandwidth_status", 15)},
           When::PcieLink},
          {"slot_capabilities",
           20,
           4,
           {B("attention_button_present", 0), B("power_controller_present", 1),
            B("mrl_sensor_present", 2), B("attention_indicator_present", 3),
            B("power_indicator_present", 4), B("hot_plug_surprise", 5), B("hot_plug_capable", 6),
            N("slot_power_limit_value", 7, 8), N("slot_power_limit_scale", 15, 2),
            B("electromechanical_interlock_present", 17), B("no_command_completed_support", 18),
            N("physical_slot_number", 19, 13)},
           When::PcieSlot},
          {"slot_control",
           24,
           2,
           {B("attention_button_pressed_enable", 0), B("power_fault_detected_enable", 1),
            B("mrl_sensor_changed_enable", 2), B("presence_detect_changed_enable", 3),
            B("command_completed_interrupt_enable", 4), B("hot_plug_interrupt_enable", 5),
            E("attention_indicator_control", 6, 2, kIndicator),
            E("power_indicator_control", 8, 2, kIndicator), B("power_controller_off", 10),
            B("electromechanical_interlock_control", 11),
            B("data_link_layer_state_changed_enable", 12)},
           When::PcieSlot},
          {"slot_status",
           26,
           2,
           {B("attention_button_pressed", 0), B("power_fault_detected", 1),
            B("mrl_sensor_changed", 2), B("presence_detect_changed", 3), B("command_completed", 4),
            B("mrl_sensor_open", 5), B("presence_detect_state", 6),
            B("electromechanical_interlock_engaged", 7), B("data_link_layer_state_changed", 8)},
           When::PcieSlot},
          {"root_control",
           28,
           2,
           {B("system_error_on_correctable_error", 0), B("system_error_on_non_fatal_error", 1),
            B("system_error_on_fatal_error", 2), B("pme_interrupt_enable", 3),
            B("crs_software_visibility_enable", 4)},
           When::PcieRoot},
          {"root_capabilities", 30, 2, {B("crs_software_visibility", 0)}, When::PcieRoot},
          {"root_status",
           32,
           4,
           {H("pme_requester_id", 0, 16), B("root_pme_status", 16), B("pme_pending", 17)},
           When::PcieRoot},
          {"device_capabilities_2",
           36,
           4,
           {H("completion_timeout_ranges", 0, 4), B("completion_timeout_disable_supported", 4),
            B("ari_forwarding_supported", 5), B("atomicop_routing_supported", 6),
            B("atomicop_32bit_completer", 7), B("atomicop_64bit_completer", 8),
            B("cas_128bit_completer", 9), B("no_ro_enabled_pr_pr_passing", 10),
            B("ltr_mechanism_supported", 11), N("tph_completer_supported", 12, 2),
            N("obff_supported", 18, 2), B("extended_fmt_field_supported", 20),
            B("end_end_tlp_prefix_supported", 21), N("max_end_end_tlp_prefixes", 22, 2),
            N("emergency_power_reduction_supported", 24, 2), B("frs_supported", 31)},
           When::PcieV2},
          {"device_control_2",
           40,
           2,
           {H("completion_timeout_value", 0, 4), B("completion_timeout_disable", 4),
            B("ari_forwarding_enable", 5), B("atomicop_requester_enable", 6),
            B("atomicop_egress_blocking", 7), B("ido_request_enable", 8),
            B("ido_completion_enable", 9), B("ltr_mechanism_enable", 10),
            B("emergency_power_reduction_request", 11), B("ten_bit_tag_requester_enable", 12),
            N("obff_enable", 13, 2), B("end_end_tlp_prefix_blocking", 15)},
           When::PcieV2},
          {"device_status_2", 42, 2, {}, When::PcieV2},
          {"link_capabilities_2",
           44,
           4,
           {H("supported_link_speeds_vector", 1, 7), B("crosslink_supported", 8),
            H("lower_skp_os_generation_speeds", 9, 7), H("lower_skp_os_reception_speeds", 16, 7),
            B("retimer_presence_detect_supported", 23),
            B("two_retimers_presence_detect_supported", 24), B("drs_supported", 31)},
           When::PcieV2Link},
          {"link_control_2",
           48,
           2,
           {Speed("target_link_speed_gts", 0, 4), B("enter_compliance", 4),
            B("hardware_autonomous_speed_disable", 5), B("selectable_de_emphasis", 6),
            N("transmit_margin", 7, 3), B("enter_modified_compliance", 10), B("compliance_sos", 11),
            N("compliance_preset_de_emphasis", 12, 4)},
           When::PcieV2Link},
          {"link_status_2",
           50,
           2,
           {B("current_de_emphasis_level", 0), B("equalization_complete", 1),
            B("equalization_phase1_successful", 2), B("equalization_phase2_successful", 3),
            B("equalization_phase3_successful", 4), B("link_equalization_request", 5),
            B("retimer_presence_detected", 6), B("two_retimers_presence_detected", 7),
            N("crosslink_resolution", 8, 2), N("downstream_component_presence", 12, 3),
            B("drs_message_received", 15)},
           When::PcieV2Link},
          {"slot_capabilities_2",
           52,
           4,
           {B("inband_presence_detect_disable_supported", 0)},
           When::PcieV2Slot},
          {"slot_control_2", 56, 2, {B("inband_presence_detect_disable", 0)}, When::PcieV2Slot},
          {"slot_status_2", 58, 2, {}, When::PcieV2Slot}}},
        {0x11,
         "msix",
         "MSI-X",
         {{"message_control",
           2,
           2,
           {Plus1("table_size", 0, 11), B("function_mask", 14), B("enabled", 15)}},
          {"table", 4, 4, {N("table_bir", 0, 3), Times("table_offset", 3, 29, 8)}},
          {"pba", 8, 4, {N("pba_bir", 0, 3), Times("pba_offset", 3, 29, 8)}}}},
        {0x12,
         "sata",
         "SATA",
         {{"revision", 2, 2, {N("minor_revision", 0, 4), N("major_revision", 4, 4)}},
          {"bar_offset", 4, 4, {N("bar_location", 0, 4), Times("bar_offset", 4, 20, 4)}}}},
        {0x13,
         "af",
         "PCI Advanced Features",
         {{"length", 2, 1, {N("length", 0, 8)}},
          {"capabilities", 3, 1, {B("transactions_pending_capable", 0), B("flr_capable", 1)}},
          {"control", 4, 1, {B("initiate_flr", 0)}},
          {"status", 5, 1, {B("transactions_pending", 0)}}}},
        {0x14,
         "ea",
         "Enhanced Allocation",
         {{"entries", 2, 1, {N("number_of_entries", 0, 6)}},
          {"bus_numbers",
           4,
           4,
           {N("fixed_secondary_bus", 0, 8), N("fixed_subordinate_bus", 8, 8)},
           When::Header1}},
         &EaMore},
        {0x15, "fpb", "Flattening Portal Bridge", {}},
    };
    return specs;
}

const std::vector<CapSpec>& ExtendedSpecs() {
    static std::vector<std::string> aerNames;
    static const std::vector<CapSpec> specs = [] {
        auto named = [](std::vector<FieldSpec> fields, const char* suffix) {
            const size_t first = aerNames.size();
            fields = Suffixed(std::move(fields), suffix, aerNames);
            return std::make_pair(first, fields);
        };
        aerNames.reserve(200);
        std::vector<std::pair<size_t, std::vector<FieldSpec>>> aer = {
            named(AerErrors(false), "_status"), named(AerErrors(false), "_mask"),
            named(AerErrors(false), "_severity"), named(AerErrors(true), "_status"),
            named(AerErrors(true), "_mask")};
        for (auto& [first, fields] : aer) {
            for (size_t i = 0; i < fields.size(); ++i) fields[i].name = aerNames[first + i].c_str();
        }
        std::vector<FieldSpec> vcCap1 = {
            N("extended_vc_count", 0, 3), N("low_priority_extended_vc_count", 4, 3),
            N("reference_clock", 8, 2), N("port_arbitration_table_entry_size", 10, 2)};
        std::vector<RegSpec> vc = {
            {"port_vc_capability_1", 4, 4, vcCap1},
            {"port_vc_capability_2",
             8,
             4,
             {H("vc_arbitration_capability", 0, 8),
              Times("vc_arbitration_table_offset", 24, 8, 16)}},
            {"port_vc_control",
             12,
             2,
             {B("load_vc_arbitration_table", 0), N("vc_arbitration_select", 1, 3)}},
            {"port_vc_status", 14, 2, {B("vc_arbitration_table_status", 0)}}};
        std::vector<FieldSpec> pl32Status = {B("equalization_32gts_complete", 0),
                                             B("equalization_32gts_phase1_successful", 1),
                                             B("equalization_32gts_phase2_successful", 2),
                                             B("equalization_32gts_phase3_successful", 3),
                                             B("link_equalization_request_32gts", 4),
                                             B("modified_ts_received", 5),
                                             N("received_enhanced_link_behavior_control", 6, 2),
                                             B("transmitter_precoding_on", 8),
                                             B("transmitter_precode_request", 9),
                                             B("no_equalization_needed_received", 10)};
        return std::vector<CapSpec>{
            {0x0001,
             "aer",
             "Advanced Error Reporting",
             {{"uncorrectable_error_status", 4, 4, aer[0].second},
              {"uncorrectable_error_mask", 8, 4, aer[1].second},
              {"uncorrectable_error_severity", 12, 4, aer[2].second},
              {"correctable_error_status", 16, 4, aer[3].second},
              {"correctable_error_mask", 20, 4, aer[4].second},
              {"capabilities_control",
               24,
               4,
               {N("first_error_pointer", 0, 5), B("ecrc_generation_capable", 5),
                B("ecrc_generation_enable", 6), B("ecrc_check_capable", 7),
                B("ecrc_check_enable", 8), B("multiple_header_recording_capable", 9),
                B("multiple_header_recording_enable", 10), B("tlp_prefix_log_present", 11),
                B("completion_timeout_prefix_header_log_capable", 12)}},
              {"header_log_0", 28, 4, {H("header_log_0", 0, 32)}},
              {"header_log_1", 32, 4, {H("header_log_1", 0, 32)}},
              {"header_log_2", 36, 4, {H("header_log_2", 0, 32)}},
              {"header_log_3", 40, 4, {H("header_log_3", 0, 32)}},
              {"root_error_command",
               44,
               4,
               {B("correctable_error_reporting_enable", 0),
                B("non_fatal_error_reporting_enable", 1), B("fatal_error_reporting_enable", 2)},
               When::RootPortOrCollector},
              {"root_error_status",
               48,
               4,
               {B("err_cor_received", 0), B("multiple_err_cor_received", 1),
                B("err_fatal_nonfatal_received", 2), B("multiple_err_fatal_nonfatal_received", 3),
                B("first_uncorrectable_fatal", 4), B("non_fatal_error_messages_received", 5),
                B("fatal_error_messages_received", 6),
                N("advanced_error_interrupt_message_number", 27, 5)},
               When::RootPortOrCollector},
              {"error_source_identification",
               52,
               4,
               {H("err_cor_source_id", 0, 16), H("err_fatal_nonfatal_source_id", 16, 16)},
               When::RootPortOrCollector}}},
            {0x0002, "vc", "Virtual Channel", vc, &VcMore},
            {0x0003,
             "dsn",
             "Device Serial Number",
             {{"serial_number", 4, 8, {H("serial_number", 0, 64)}}}},
            {0x0004,
             "power_budget",
             "Power Budgeting",
             {{"data_select", 4, 1, {N("data_select", 0, 8)}},
              {"data",
               8,
               4,
               {N("base_power", 0, 8), N("data_scale", 8, 2), N("pm_sub_state", 10, 3),
                N("pm_state", 13, 2), N("type", 15, 3), N("power_rail", 18, 3)}},
              {"capability", 12, 1, {B("system_allocated", 0)}}}},
            {0x0005,
             "rclink",
             "Root Complex Link Declaration",
             {{"element_self_description",
               4,
               4,
               {N("element_type", 0, 4), N("number_of_link_entries", 8, 8),
                H("component_id", 16, 8), N("port_number", 24, 8)}}}},
            {0x0006, "rcilink", "Root Complex Internal Link Control", {}},
            {0x0007,
             "rcec",
             "Root Complex Event Collector Endpoint Association",
             {{"association_bitmap", 4, 4, {H("association_bitmap", 0, 32)}}}},
            {0x0008, "mfvc", "Multi-Function Virtual Channel", vc, &VcMore},
            {0x0009, "vc9", "Virtual Channel", vc, &VcMore},
            {0x000A,
             "rcrb",
             "Root Complex Register Block Header",
             {{"vendor_device", 4, 4, {H("vendor_id", 0, 16), H("device_id", 16, 16)}}}},
            {0x000B,
             "vsec",
             "Vendor-Specific",
             {{"vendor_specific_header",
               4,
               4,
               {H("vsec_id", 0, 16), N("vsec_revision", 16, 4), N("vsec_length", 20, 12)}}}},
            {0x000C, "cac", "Configuration Access Correlation", {}},
            {0x000D,
             "acs",
             "Access Control Services",
             {{"capability",
               4,
               2,
               {B("source_validation", 0), B("translation_blocking", 1),
                B("p2p_request_redirect", 2), B("p2p_completion_redirect", 3),
                B("upstream_forwarding", 4), B("p2p_egress_control", 5),
                B("direct_translated_p2p", 6), N("egress_control_vector_size", 8, 8)}},
              {"control",
               6,
               2,
               {B("source_validation_enable", 0), B("translation_blocking_enable", 1),
                B("p2p_request_redirect_enable", 2), B("p2p_completion_redirect_enable", 3),
                B("upstream_forwarding_enable", 4), B("p2p_egress_control_enable", 5),
                B("direct_translated_p2p_enable", 6)}}}},
            {0x000E,
             "ari",
             "Alternative Routing-ID Interpretation",
             {{"capability",
               4,
               2,
               {B("mfvc_function_groups", 0), B("acs_function_groups", 1),
                N("next_function_number", 8, 8)}},
              {"control",
               6,
               2,
               {B("mfvc_function_groups_enable", 0), B("acs_function_groups_enable", 1),
                N("function_group", 4, 3)}}}},
            {0x000F,
             "ats",
             "Address Translation Services",
             {{"capability",
               4,
               2,
               {N("invalidate_queue_depth", 0, 5), B("page_aligned_request", 5),
                B("global_invalidate", 6), B("relaxed_ordering", 7)}},
              {"control", 6, 2, {N("smallest_translation_unit", 0, 5), B("enable", 15)}}}},
            {0x0010,
             "sriov",
             "Single Root I/O Virtualization",
             {{"capabilities",
               4,
               4,
               {B("vf_migration_capable", 0), B("ari_capable_hierarchy_preserved", 1),
                B("vf_10bit_tag_requester_supported", 2),
                N("vf_migration_interrupt_message_number", 21, 11)}},
              {"control",
               8,
               2,
               {B("vf_enable", 0), B("vf_migration_enable", 1),
                B("vf_migration_interrupt_enable", 2), B("vf_mse", 3),
                B("ari_capable_hierarchy", 4), B("vf_10bit_tag_requester_enable", 5)}},
              {"status", 10, 2, {B("vf_migration_status", 0)}},
              {"initial_vfs", 12, 2, {N("initial_vfs", 0, 16)}},
              {"total_vfs", 14, 2, {N("total_vfs", 0, 16)}},
              {"num_vfs", 16, 2, {N("num_vfs", 0, 16)}},
              {"function_dependency_link", 18, 1, {N("function_dependency_link", 0, 8)}},
              {"first_vf_offset", 20, 2, {N("first_vf_offset", 0, 16)}},
              {"vf_stride", 22, 2, {N("vf_stride", 0, 16)}},
              {"vf_device_id", 26, 2, {H("vf_device_id", 0, 16)}},
              {"supported_page_sizes", 28, 4, {H("supported_page_sizes", 0, 32)}},
              {"system_page_size", 32, 4, {H("system_page_size", 0, 32)}},
              {"vf_bar0", 36, 4, {H("vf_bar0", 0, 32)}},
              {"vf_bar1", 40, 4, {H("vf_bar1", 0, 32)}},
              {"vf_bar2", 44, 4, {H("vf_bar2", 0, 32)}},
              {"vf_bar3", 48, 4, {H("vf_bar3", 0, 32)}},
              {"vf_bar4", 52, 4, {H("vf_bar4", 0, 32)}},
              {"vf_bar5", 56, 4, {H("vf_bar5", 0, 32)}},
              {"vf_migration_state_array",
               60,
               4,
               {N("vf_migration_state_bir", 0, 3), Times("vf_migration_state_offset", 3, 29, 8)}}}},
            {0x0011, "mriov", "Multi-Root I/O Virtualization", {}},
            {0x0012,
             "multicast",
             "Multicast",
             {{"capability",
               4,
               2,
               {Plus1("max_groups", 0, 6), N("window_size_requested", 8, 6),
                B("ecrc_regeneration_supported", 15)}},
              {"control", 6, 2, {Plus1("num_groups", 0, 6), B("enable", 15)}}}},
            {0x0013,
             "pri",
             "Page Request Interface",
             {{"control", 4, 2, {B("enable", 0), B("reset", 1)}},
              {"status",
               6,
               2,
               {B("response_failure", 0), B("unexpected_page_request_group_index", 1),
                B("stopped", 8), B("prg_response_pasid_required", 15)}},
              {"outstanding_page_request_capacity",
               8,
               4,
               {N("outstanding_page_request_capacity", 0, 32)}},
              {"outstanding_page_request_allocation",
               12,
               4,
               {N("outstanding_page_request_allocation", 0, 32)}}}},
            {0x0014, "amd", "Reserved for AMD", {}},
            {0x0015, "rebar", "Resizable BAR", {}, &RebarMore},
            {0x0016, "dpa", "Dynamic Power Allocation", {}},
            {0x0017,
             "tph",
             "TPH Requester",
             {{"capability",
               4,
               4,
               {B("no_st_mode_supported", 0), B("interrupt_vector_mode_supported", 1),
                B("device_specific_mode_supported", 2), B("extended_tph_requester_supported", 8),
                N("st_table_location", 9, 2), Plus1("st_table_size", 16, 11)}}}},
            {0x0018,
             "ltr",
             "Latency Tolerance Reporting",
             {{"max_snoop_latency",
               4,
               2,
               {N("max_snoop_latency_value", 0, 10), N("max_snoop_latency_scale", 10, 3)}},
              {"max_no_snoop_latency",
               6,
               2,
               {N("max_no_snoop_latency_value", 0, 10), N("max_no_snoop_latency_scale", 10, 3)}}}},
            {0x0019,
             "secondary_pcie",
             "Secondary PCI Express",
             {{"link_control_3",
               4,
               4,
               {B("perform_equalization", 0), B("link_equalization_request_interrupt_enable", 1),
                H("enable_lower_skp_os_generation_vector", 9, 7)}},
              {"lane_error_status", 8, 4, {H("lane_error_status", 0, 32)}}},
             &SecondaryMore},
            {0x001A, "pmux", "Protocol Multiplexing", {}},
            {0x001B,
             "pasid",
             "Process Address Space ID",
             {{"capability",
               4,
               2,
               {B("execute_permission_supported", 1), B("privileged_mode_supported", 2),
                N("max_pasid_width", 8, 5)}},
              {"control",
               6,
               2,
               {B("enable", 0), B("execute_permission_enable", 1),
                B("privileged_mode_enable", 2)}}}},
            {0x001C, "lnr", "LN Requester", {}},
            {0x001D,
             "dpc",
             "Downstream Port Containment",
             {{"capability",
               4,
               2,
               {N("interrupt_message_number", 0, 5), B("rp_extensions", 5),
                B("poisoned_tlp_egress_blocking_supported", 6),
                B("software_triggering_supported", 7), N("rp_pio_log_size", 8, 4),
                B("dl_active_err_cor_signaling_supported", 12)}},
              {"control",
               6,
               2,
               {E("trigger_enable", 0, 2, kDpcTrigger), B("completion_control", 2),
                B("interrupt_enable", 3), B("err_cor_enable", 4),
                B("poisoned_tlp_egress_blocking_enable", 5), B("software_trigger", 6),
                B("dl_active_err_cor_enable", 7)}},
              {"status",
               8,
               2,
               {B("trigger_status", 0), E("trigger_reason", 1, 2, kDpcReason),
                B("interrupt_status", 3), B("rp_busy", 4), N("trigger_reason_extension", 5, 2),
                N("rp_pio_first_error_pointer", 8, 5)}},
              {"error_source_id", 10, 2, {H("error_source_id", 0, 16)}}}},
            {0x001E,
             "l1pm",
             "L1 PM Substates",
             {{"capabilities",
               4,
               4,
               {B("pci_pm_l1_2_supported", 0), B("pci_pm_l1_1_supported", 1),
                B("aspm_l1_2_supported", 2), B("aspm_l1_1_supported", 3),
                B("l1_pm_substates_supported", 4), N("port_common_mode_restore_time", 8, 8),
                N("port_t_power_on_scale", 16, 2), N("port_t_power_on_value", 19, 5)}},
              {"control_1",
               8,
               4,
               {B("pci_pm_l1_2_enable", 0), B("pci_pm_l1_1_enable", 1), B("aspm_l1_2_enable", 2),
                B("aspm_l1_1_enable", 3), N("common_mode_restore_time", 8, 8),
                N("ltr_l1_2_threshold_value", 16, 10), N("ltr_l1_2_threshold_scale", 29, 3)}},
              {"control_2", 12, 4, {N("t_power_on_scale", 0, 2), N("t_power_on_value", 3, 5)}}}},
            {0x001F,
             "ptm",
             "Precision Time Measurement",
             {{"capability",
               4,
               4,
               {B("requester_capable", 0), B("responder_capable", 1), B("root_capable", 2),
                N("local_clock_granularity", 8, 8)}},
              {"control",
               8,
               4,
               {B("enable", 0), B("root_select", 1), N("effective_granularity", 8, 8)}}}},
            {0x0020, "mpcie", "M-PCIe", {}},
            {0x0021, "frs", "FRS Queueing", {}},
            {0x0022, "rtr", "Readiness Time Reporting", {}},
            {0x0023,
             "dvsec",
             "Designated Vendor-Specific",
             {{"header_1",
               4,
               4,
               {H("dvsec_vendor_id", 0, 16), N("dvsec_revision", 16, 4),
                N("dvsec_length", 20, 12)}},
              {"header_2", 8, 2, {H("dvsec_id", 0, 16)}}}},
            {0x0024, "vf_rebar", "VF Resizable BAR", {}, &RebarMore},
            {0x0025,
             "dlf",
             "Data Link Feature",
             {{"capabilities",
               4,
               4,
               {H("local_feature_supported", 0, 23), B("exchange_enable", 31)}},
              {"status",
               8,
               4,
               {H("remote_feature_supported", 0, 23), B("remote_feature_valid", 31)}}}},
            {0x0026,
             "pl_16gt",
             "Physical Layer 16.0 GT/s",
             {{"capabilities", 4, 4, {}},
              {"control", 8, 4, {}},
              {"status",
               12,
               4,
               {B("equalization_16gts_complete", 0), B("equalization_16gts_phase1_successful", 1),
                B("equalization_16gts_phase2_successful", 2),
                B("equalization_16gts_phase3_successful", 3),
                B("link_equalization_request_16gts", 4)}},
              {"local_data_parity_mismatch", 16, 4, {H("local_data_parity_mismatch", 0, 32)}},
              {"first_retimer_data_parity_mismatch",
               20,
               4,
               {H("first_retimer_data_parity_mismatch", 0, 32)}},
              {"second_retimer_data_parity_mismatch",
               24,
               4,
               {H("second_retimer_data_parity_mismatch", 0, 32)}}},
             &Pl16More},
            {0x0027,
             "lane_margining",
             "Lane Margining at the Receiver",
             {{"port_capabilities", 4, 2, {B("margining_uses_driver_software", 0)}},
              {"port_status", 6, 2, {B("margining_ready", 0), B("margining_software_ready", 1)}}},
             &MarginMore},
            {0x0028, "hierarchy_id", "Hierarchy ID", {}},
            {0x0029, "npem", "Native PCIe Enclosure Management", {}},
            {0x002A,
             "pl_32gt",
             "Physical Layer 32.0 GT/s",
             {{"capabilities",
               4,
               4,
               {B("equalization_bypass_to_highest_rate_supported", 0),
                B("no_equalization_needed_supported", 1),
                B("modified_ts_usage_mode_0_supported", 8),
                B("modified_ts_usage_mode_1_supported", 9),
                B("modified_ts_usage_mode_2_supported", 10)}},
              {"control",
               8,
               4,
               {B("equalization_bypass_to_highest_rate_disable", 0),
                B("no_equalization_needed_disable", 1),
                N("modified_ts_usage_mode_selected", 8, 3)}},
              {"status", 12, 4, pl32Status},
              {"received_modified_ts_data_1", 16, 4, {H("received_modified_ts_data_1", 0, 32)}},
              {"received_modified_ts_data_2", 20, 4, {H("received_modified_ts_data_2", 0, 32)}},
              {"transmitted_modified_ts_data_1",
               24,
               4,
               {H("transmitted_modified_ts_data_1", 0, 32)}},
              {"transmitted_modified_ts_data_2",
               28,
               4,
               {H("transmitted_modified_ts_data_2", 0, 32)}}}},
            {0x002B, "alt_protocol", "Alternate Protocol", {}},
            {0x002C, "sfi", "System Firmware Intermediary", {}},
            {0x002D, "shadow_functions", "Shadow Functions", {}},
            {0x002E, "doe", "Data Object Exchange", {}},
            {0x002F, "device_3", "Device 3", {}},
            {0x0030, "ide", "Integrity and Data Encryption", {}},
            {0x0031, "pl_64gt", "Physical Layer 64.0 GT/s", {}},
        };
    }();
    return specs;
}

const CapSpec* Find(const std::vector<CapSpec>& specs, uint32_t id) {
    for (const CapSpec& s : specs)
        if (s.id == id) return &s;
    return nullptr;
}

PciCapField MakeField(const FieldSpec& f, const RegSpec& r, uint32_t at, uint64_t value) {
    PciCapField out;
    out.name = f.name;
    out.reg = r.name;
    out.offset = at;
    out.width = r.width;
    out.bit = f.bit;
    out.bits = f.bits;
    const uint64_t mask = f.bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << f.bits) - 1;
    out.raw = (value >> f.bit) & mask;
    out.regValue = value;
    out.number = out.raw;
    switch (f.show) {
        case Show::Dec:
            break;
        case Show::Hex:
            out.hex = true;
            break;
        case Show::Bool:
            out.kind = PciCapField::Kind::Bool;
            out.flag = out.raw != 0;
            break;
        case Show::Plus1:
            out.number = out.raw + 1;
            break;
        case Show::Shl:
            out.number = uint64_t(f.scale) << out.raw;
            break;
        case Show::Times:
            out.number = out.raw * f.scale;
            out.hex = true;
            break;
        case Show::Speed: {
            static const double kGts[] = {0, 2.5, 5.0, 8.0, 16.0, 32.0, 64.0};
            if (out.raw >= 1 && out.raw <= 6) {
                out.kind = PciCapField::Kind::Real;
                out.real = kGts[out.raw];
            } else {
                out.kind = PciCapField::Kind::Text;
                out.text = Format("unknown (%u)", unsigned(out.raw));
            }
            break;
        }
        case Show::Enum:
            out.kind = PciCapField::Kind::Text;
            out.text = out.raw < f.names->size() ? (*f.names)[out.raw]
                                                 : Format("reserved (%u)", unsigned(out.raw));
            break;
    }
    return out;
}

void DecodeRegisters(const CapSpec& spec, const Context& c, PciCapability& cap) {
    std::vector<RegSpec> regs = spec.regs;
    if (spec.more) spec.more(c, regs);
    for (const RegSpec& r : regs) {
        if (!Present(r.when, c)) continue;
        const uint32_t at = c.capOffset + r.offset;
        if (!c.Fits(at, r.width)) continue;
        const uint64_t value = c.Get(at, r.width);
        for (const FieldSpec& f : r.fields) cap.fields.push_back(MakeField(f, r, at, value));
    }
}

void WalkStandard(Context& c, PciCapabilityList& out) {
    if (c.length < 0x40) return;
    const uint32_t status = uint32_t(c.Get(0x06, 2));
    if (status == 0xFFFF || (status & 0x10) == 0) return;
    const uint32_t pointerAt = c.headerType == 2 ? 0x14 : 0x34;
    uint32_t at = c.config[pointerAt] & ~3u;
    std::bitset<256> seen;
    int entries = 0;
    while (at != 0) {
        if (at < 0x40) {
            out.notes.push_back(Format("capability pointer %02Xh points into the header", at));
            return;
        }
        if (seen[at]) {
            out.notes.push_back(Format("capability list loops back to %02Xh", at));
            return;
        }
        if (entries == kMaxStandardCapabilities) {
            out.notes.push_back(Format("capability list longer than %d entries: stopped at %02Xh",
                                       kMaxStandardCapabilities, at));
            return;
        }
        seen[at] = true;
        ++entries;
        const uint32_t id = c.config[at];
        if (id == 0xFF) {
            out.notes.push_back(Format("capability list broken at %02Xh (ID FFh)", at));
            return;
        }
        PciCapability cap;
        cap.offset = at;
        cap.id = id;
        const CapSpec* spec = Find(StandardSpecs(), id);
        cap.key = spec ? spec->key : Format("cap_%02x", id);
        cap.name = spec ? spec->name : Format("Unknown capability %02Xh", id);
        c.capOffset = at;
        c.bound = 0x100;
        if (id == 0x10 && !c.pcie) {
            const uint32_t flags = uint32_t(c.Get(at + 2, 2));
            c.pcie = true;
            c.pcieVersion = flags & 0xF;
            c.portType = (flags >> 4) & 0xF;
            c.slot = (flags & 0x100) && (c.portType == kPortRoot || c.portType == kPortDownstream);
            if (c.Fits(at + 12, 4)) c.maxLinkWidth = (c.Get(at + 12, 4) >> 4) & 0x3F;
        }
        if (spec) DecodeRegisters(*spec, c, cap);
        out.capabilities.push_back(std::move(cap));
        at = c.config[at + 1] & ~3u;
    }
}

void WalkExtended(Context& c, PciCapabilityList& out) {
    if (c.length < 0x1000) return;
    uint32_t at = 0x100;
    std::bitset<0x1000 / 4> seen;
    int entries = 0;
    while (true) {
        const uint32_t header = uint32_t(c.Get(at, 4));
        // An empty first header (or all ones) means the function has no extended capabilities.
        if (header == 0 || header == 0xFFFFFFFFu) {
            if (at != 0x100)
                out.notes.push_back(Format("extended capability list broken at %03Xh", at));
            return;
        }
        if (seen[at / 4]) {
            out.notes.push_back(Format("extended capability list loops back to %03Xh", at));
            return;
        }
        if (entries == kMaxExtendedCapabilities) {
            out.notes.push_back(Format("extended capability list longer than %d entries",
                                       kMaxExtendedCapabilities));
            return;
        }
        seen[at / 4] = true;
        ++entries;
        PciCapability cap;
        cap.offset = at;
        cap.id = header & 0xFFFF;
        cap.version = (header >> 16) & 0xF;
        cap.extended = true;
        const CapSpec* spec = Find(ExtendedSpecs(), cap.id);
        cap.key = spec ? spec->key : Format("ecap_%04x", cap.id);
        cap.name = spec ? spec->name : Format("Unknown extended capability %04Xh", cap.id);
        c.capOffset = at;
        c.bound = 0x1000;
        if (spec) DecodeRegisters(*spec, c, cap);
        out.capabilities.push_back(std::move(cap));
        const uint32_t next = (header >> 20) & ~3u;
        if (next == 0) return;
        if (next < 0x100) {
            out.notes.push_back(
                Format("extended capability pointer %03Xh points below 100h", next));
            return;
        }
        at = next;
    }
}

}  // namespace

PciCapabilityList DecodePciCapabilities(const uint8_t* config, uint32_t length) {
    PciCapabilityList out;
    if (length > 0x1000) length = 0x1000;
    if (length < 0x1000 && length > 0x100) length = 0x100;
    if (length < 0x100) return out;
    Context c{config, length, uint32_t(config[0x0E] & 0x7F)};
    WalkStandard(c, out);
    WalkExtended(c, out);
    return out;
}

PciCapabilityList DecodePciCapabilities(const std::vector<uint32_t>& dwords) {
    std::vector<uint8_t> bytes(dwords.size() * 4);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(dwords[i / 4] >> (8 * (i % 4)));
    return DecodePciCapabilities(bytes.data(), uint32_t(bytes.size()));
}

std::string PciCapFieldValueText(const PciCapField& field) {
    switch (field.kind) {
        case PciCapField::Kind::Bool:
            return field.flag ? "yes" : "no";
        case PciCapField::Kind::Text:
            return field.text;
        case PciCapField::Kind::Real:
            return Format("%.1f", field.real);
        case PciCapField::Kind::Number:
            break;
    }
    return field.hex ? Format("0x%llx", static_cast<unsigned long long>(field.number))
                     : Format("%llu", static_cast<unsigned long long>(field.number));
}

std::string PciCapabilitiesText(const PciCapabilityList& list, const std::string& indent) {
    std::string text;
    for (const PciCapability& cap : list.capabilities) {
        if (cap.extended) {
            AppendFormat(text, "%s[%03X] %s (ID %04Xh, version %u, key %s)\n", indent.c_str(),
                         cap.offset, cap.name.c_str(), cap.id, cap.version, cap.key.c_str());
        } else {
            AppendFormat(text, "%s[%02X] %s (ID %02Xh, key %s)\n", indent.c_str(), cap.offset,
                         cap.name.c_str(), cap.id, cap.key.c_str());
        }
        const PciCapField* last = nullptr;
        for (const PciCapField& f : cap.fields) {
            if (last == nullptr || last->reg != f.reg || last->offset != f.offset) {
                AppendFormat(text, "%s    %s (%03Xh) = %0*llXh\n", indent.c_str(), f.reg.c_str(),
                             f.offset, int(f.width * 2),
                             static_cast<unsigned long long>(f.regValue));
            }
            last = &f;
            AppendFormat(text, "%s        %s: %s\n", indent.c_str(), f.name.c_str(),
                         PciCapFieldValueText(f).c_str());
        }
    }
    for (const std::string& note : list.notes)
        AppendFormat(text, "%snote: %s\n", indent.c_str(), note.c_str());
    return text;
}

bool FindPciCapField(const PciCapabilityList& list, std::string_view dotted,
                     PciFieldLocation* where) {
    const size_t firstDot = dotted.find('.');
    if (firstDot == std::string_view::npos) return false;
    const size_t secondDot = dotted.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos) return false;
    std::string_view key = dotted.substr(0, firstDot);
    const std::string_view reg = dotted.substr(firstDot + 1, secondDot - firstDot - 1);
    const std::string_view name = dotted.substr(secondDot + 1);
    size_t index = 0;
    if (const size_t open = key.find('['); open != std::string_view::npos) {
        if (key.back() != ']' || open + 2 >= key.size()) return false;
        index = 0;
        for (char ch : key.substr(open + 1, key.size() - open - 2)) {
            if (ch < '0' || ch > '9' || index > 1000) return false;
            index = index * 10 + size_t(ch - '0');
        }
        key = key.substr(0, open);
    }
    for (const PciCapability& cap : list.capabilities) {
        if (cap.key != key) continue;
        if (index-- != 0) continue;
        for (const PciCapField& f : cap.fields) {
            if (f.reg == reg && f.name == name) {
                *where = {f.offset, f.width, f.bit, f.bits};
                return true;
            }
        }
        return false;
    }
    return false;
}

}  // namespace kvt
