#include "driver/board/smbus_section.h"

#include <set>

#include "boards/profile/schema.h"
#include "driver/board/smbus.h"
#include "platform/crc16.h"
#include "platform/format.h"
#include "protocol/pci_address.h"

namespace kvt::driver::board {
namespace {

constexpr size_t kMaxControllers = 16;
constexpr size_t kMaxDevices = 128;
constexpr size_t kMaxBlockBytes = 32;

// "bb:dd.f" in hexadecimal (one or two digits for bus and device).
bool ParseFunction(const std::string& text, uint8_t& bus, uint8_t& devFn) {
    const std::optional<PciAddress> parsed = ParsePciFunction(text, false);
    if (!parsed) return false;
    bus = parsed->bus;
    devFn = parsed->devFn();
    return true;
}

bool IsDriverName(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-'))
            return false;
    return true;
}

bool ParseDevice(const ProfileNode& n, SmbusSlave& slave) {
    if (!n.ObjectWithKeys(board_profile::KeysOf("smbus[].devices[]"))) return false;
    if (!n.Number("address", 0x7F, slave.address, true)) return false;
    std::string kind;
    if (!n.String("kind", kind, true, 16)) return false;
    if (kind == "spd")
        slave.kind = SmbusSlave::Kind::Spd;
    else if (kind == "spd-ddr4")
        slave.kind = SmbusSlave::Kind::Spd4;
    else if (kind == "spd-ddr5")
        slave.kind = SmbusSlave::Kind::Spd5;
    else if (kind == "eeprom")
        slave.kind = SmbusSlave::Kind::Eeprom;
    else if (kind == "block")
        slave.kind = SmbusSlave::Kind::Block;
    else if (kind == "nak")
        slave.kind = SmbusSlave::Kind::Nak;
    else
        return n.Fail(n.PathOf("kind"), "must be spd, spd-ddr4, spd-ddr5, eeprom, block or nak");
    if (slave.kind == SmbusSlave::Kind::Nak) {
        for (const char* key : {"bytes", "read_only", "blocks"})
            if (n.Has(key)) return n.Fail(n.PathOf(key), "a nak device holds no data");
        return true;
    }
    bool spd = slave.kind == SmbusSlave::Kind::Spd || slave.kind == SmbusSlave::Kind::Spd4 ||
               slave.kind == SmbusSlave::Kind::Spd5;
    slave.readOnly = spd;
    if (!n.Bool("read_only", slave.readOnly)) return false;
    std::vector<uint8_t> bytes;
    if (!n.HexBytes("bytes", bytes, spd)) return false;
    if (slave.kind == SmbusSlave::Kind::Spd4 || slave.kind == SmbusSlave::Kind::Spd5) {
        size_t size = slave.kind == SmbusSlave::Kind::Spd4 ? 512 : 1024;
        if (bytes.size() != size)
            return n.Fail(n.PathOf("bytes"), Format("this SPD holds exactly %zu bytes", size));
        // The base configuration's CRC: bytes 0-125 (126, 127) on DDR4, 0-509 (510, 511) on DDR5.
        size_t covered = size == 512 ? 126 : 510;
        uint16_t crc = Crc16Jedec(bytes.data(), covered);
        uint16_t stored = uint16_t(bytes[covered] | bytes[covered + 1] << 8);
        if (crc != stored)
            return n.Fail(n.PathOf("bytes"),
                          Format("the CRC of bytes 0-%zu is 0x%04X, bytes %zu-%zu hold 0x%04X",
                                 covered - 1, crc, covered, covered + 1, stored));
        slave.memory = std::move(bytes);
        if (slave.kind == SmbusSlave::Kind::Spd5) {
            // The hub's registers: its device type in MR0/MR1, page 0 chosen.
            for (int i = 0; i < 128; ++i) slave.bytes[i] = 0;
            slave.bytes[0] = 0x51, slave.bytes[1] = 0x18;
        }
        return true;
    }
    if (bytes.size() > 256) return n.Fail(n.PathOf("bytes"), "more than 256 bytes");
    if (slave.kind == SmbusSlave::Kind::Spd && bytes.size() >= 128 && bytes[2] == 0x0B) {
        // DDR3: a CRC over bytes 0-125, or 0-116 when byte 0 bit 7 says so.
        size_t covered = (bytes[0] & 0x80) ? 117 : 126;
        uint16_t crc = Crc16Jedec(bytes.data(), covered);
        uint16_t stored = uint16_t(bytes[126] | bytes[127] << 8);
        if (crc != stored)
            return n.Fail(n.PathOf("bytes"),
                          Format("the CRC of bytes 0-%zu is 0x%04X, bytes 126-127 hold 0x%04X",
                                 covered - 1, crc, stored));
    } else if (slave.kind == SmbusSlave::Kind::Spd) {
        if (bytes.size() < 64) return n.Fail(n.PathOf("bytes"), "an SPD holds at least 64 bytes");
        unsigned sum = 0;
        for (int i = 0; i < 63; ++i) sum += bytes[i];
        if (uint8_t(sum) != bytes[63])
            return n.Fail(n.PathOf("bytes"),
                          Format("byte 63 (checksum) is 0x%02X, bytes 0-62 add up to 0x%02X",
                                 bytes[63], uint8_t(sum)));
    }
    for (size_t i = 0; i < bytes.size(); ++i) slave.bytes[i] = bytes[i];
    if (n.Has("blocks")) {
        if (slave.kind != SmbusSlave::Kind::Block)
            return n.Fail(n.PathOf("blocks"), "only a block device has blocks");
        std::vector<std::pair<uint64_t, std::vector<uint8_t>>> blocks;
        // Offsets are commands (up to FFh); each block is at most 32 bytes.
        if (!n.OffsetBytes("blocks", 0x100 + kMaxBlockBytes, blocks)) return false;
        for (auto& [command, block] : blocks) {
            if (command > 0xFF)
                return n.Fail(n.PathOf("blocks"),
                              Format("command 0x%llX is not a byte", (unsigned long long)command));
            if (block.size() > kMaxBlockBytes)
                return n.Fail(n.PathOf("blocks"),
                              Format("the block of command 0x%02llX is longer than 32 bytes",
                                     (unsigned long long)command));
            slave.blocks[uint8_t(command)] = std::move(block);
        }
    } else if (slave.kind == SmbusSlave::Kind::Block) {
        return n.Fail(n.PathOf("blocks"), "missing");
    }
    return true;
}

struct Attached {
    SmbusHost* host;
    uint32_t baseRegister;
};

uint16_t BaseOf(const PciFunction& f, uint32_t reg) {
    return uint16_t(f.Read(reg, 4) & 0xFFFE);
}

}  // namespace

bool AttachSmbusControllers(const ProfileNode& section, Board& board) {
    if (!section.json().is_array()) return section.Fail("must be a list");
    if (section.json().size() > kMaxControllers)
        return section.Fail(Format("more than %zu controllers", kMaxControllers));
    std::map<PciFunction*, std::vector<Attached>> byFunction;
    for (size_t i = 0; i < section.json().size(); ++i) {
        ProfileNode e = section.Element(i);
        if (!e.ObjectWithKeys(board_profile::KeysOf("smbus[]"))) return false;
        std::string functionText, model, driverName;
        uint8_t bus = 0, devFn = 0;
        if (!e.String("function", functionText, true, 16)) return false;
        if (!ParseFunction(functionText, bus, devFn))
            return section.Fail(e.PathOf("function"),
                                "must be bus:device.function in hexadecimal, e.g. 00:1f.3");
        PciFunction* function = board.pci().Find(bus, devFn);
        if (!function)
            return section.Fail(e.PathOf("function"), "names no function declared under pci");
        uint32_t reg = 0;
        if (!e.Number("base_register", 0xFC, reg, true)) return false;
        if (reg % 4) return section.Fail(e.PathOf("base_register"), "must be a multiple of 4");
        if (!e.String("model", model, true, 16)) return false;
        bool stuck = false;
        if (!e.Bool("stuck_busy", stuck)) return false;
        if (e.Has("kernel_driver")) {
            if (!e.String("kernel_driver", driverName, true, 64)) return false;
            if (!IsDriverName(driverName))
                return section.Fail(e.PathOf("kernel_driver"), "must be letters, digits, _ and -");
            board.kernelDrivers[uint16_t(bus << 8 | devFn)] = driverName;
        }
        bool i2cDev = false;
        if (!e.Bool("i2c_dev", i2cDev)) return false;
        if (i2cDev && driverName.empty())
            return section.Fail(e.PathOf("i2c_dev"), "needs a kernel_driver");
        std::vector<ProfileNode> devices;
        if (!e.Array("devices", devices, true, kMaxDevices)) return false;
        SmbusSlaves slaves;
        std::set<uint8_t> seen;
        for (const ProfileNode& d : devices) {
            SmbusSlave slave;
            if (!ParseDevice(d, slave)) return false;
            if (!seen.insert(slave.address).second)
                return section.Fail(d.PathOf("address"), "is used by another device on this bus");
            slaves.Add(std::move(slave));
        }
        std::unique_ptr<SmbusHost> host;
        if (model == "intel" || model == "via")
            host = std::make_unique<IntelSmbusHost>(std::move(slaves),
                                                    IntelSmbusHost::Block::Handshaken, stuck);
        else if (model == "ati")
            host = std::make_unique<IntelSmbusHost>(std::move(slaves),
                                                    IntelSmbusHost::Block::Buffered, stuck);
        else if (model == "nvidia")
            host = std::make_unique<AcpiSmbusHost>(std::move(slaves), stuck);
        else
            return section.Fail(e.PathOf("model"), "must be intel, via, ati or nvidia");
        SmbusHost* raw = board.Own(std::move(host));
        raw->SetBase(BaseOf(*function, reg));
        std::string claimError;
        if (!board.ports().Claim(raw->base(), raw->PortCount(), raw, &claimError))
            return section.Fail(e.PathOf("base_register"),
                                Format("the ports at 0x%04X: %s", raw->base(), claimError.c_str()));
        byFunction[function].push_back({raw, reg});
        if (i2cDev) board.kernelAdapters[uint16_t(bus << 8 | devFn)].push_back(raw);
    }
    // One listener per function moves every controller whose base register was written.
    for (auto& entry : byFunction) {
        PciFunction* f = entry.first;
        auto hosts = entry.second;
        PortSpace* ports = &board.ports();
        f->SetWriteListener([f, ports, hosts](uint32_t offset, uint32_t width) {
            for (const Attached& a : hosts) {
                if (offset >= a.baseRegister + 4 || offset + width <= a.baseRegister) continue;
                uint16_t base = BaseOf(*f, a.baseRegister);
                if (base == a.host->base()) continue;
                ports->Release(a.host);
                a.host->SetBase(base);
                // A base that collides with other ports leaves the controller unreachable,
                // as two devices decoding one range would not answer sensibly either.
                std::string ignored;
                ports->Claim(base, a.host->PortCount(), a.host, &ignored);
            }
        });
    }
    return true;
}

}  // namespace kvt::driver::board
