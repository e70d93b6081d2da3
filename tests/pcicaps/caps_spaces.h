// Configuration spaces that carry every capability the decoder knows, built byte by byte:
// an endpoint, a root port with slot, a fast endpoint and a conventional 256-byte function.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::test {

class ConfigSpace {
  public:
    explicit ConfigSpace(uint32_t size = 4096) : bytes(size) {}

    void Put(uint32_t at, uint32_t width, uint64_t value) {
        for (uint32_t i = 0; i < width; ++i) bytes.at(at + i) = uint8_t(value >> (8 * i));
    }
    uint64_t Get(uint32_t at, uint32_t width) const {
        uint64_t v = 0;
        for (uint32_t i = width; i-- > 0;) v = v << 8 | bytes.at(at + i);
        return v;
    }
    // A type 0 (or 1) header with the capability list bit set.
    void Header(uint16_t vendor, uint16_t device, uint32_t classCode, uint8_t headerType = 0) {
        Put(0x00, 2, vendor);
        Put(0x02, 2, device);
        Put(0x06, 2, 0x0010);
        Put(0x09, 3, classCode);
        Put(0x0E, 1, headerType);
    }
    // Appends a standard capability at `at` to the list.
    void Std(uint32_t at, uint8_t id) {
        Put(lastStd_ == 0 ? 0x34 : lastStd_ + 1, 1, at);
        Put(at, 1, id);
        lastStd_ = at;
    }
    // Appends an extended capability at `at` (from 100h) to the list.
    void Ext(uint32_t at, uint16_t id, uint8_t version = 1) {
        if (lastExt_ != 0) Put(lastExt_, 4, Get(lastExt_, 4) | uint64_t(at) << 20);
        Put(at, 4, id | uint32_t(version) << 16);
        lastExt_ = at;
    }

    std::vector<uint8_t> bytes;

  private:
    uint32_t lastStd_ = 0, lastExt_ = 0;
};

// PCI Express capability at `at`: version 2, the port type, the link's capabilities and status
// (speed code, width).
inline void PutExpress(ConfigSpace& s, uint32_t at, uint32_t portType, bool slot, uint32_t maxSpeed,
                       uint32_t maxWidth, uint32_t speed, uint32_t width) {
    s.Std(at, 0x10);
    s.Put(at + 0x02, 2, 2 | portType << 4 | (slot ? 0x100 : 0));
    s.Put(at + 0x04, 4, 0x10008FC2);
    s.Put(at + 0x08, 2, 0x2810);
    s.Put(at + 0x0C, 4, maxSpeed | maxWidth << 4 | 3u << 10 | 0x00738000);
    s.Put(at + 0x10, 2, 0x0042);
    s.Put(at + 0x12, 2, speed | width << 4 | 0x1000);
    if (slot) s.Put(at + 0x14, 4, 0x0010007B);
    s.Put(at + 0x24, 4, 0x0000081F);
    s.Put(at + 0x2C, 4, 0x0000000E);
    s.Put(at + 0x30, 2, maxSpeed);
}

// An endpoint with the standard capabilities and all the extended ones.
inline ConfigSpace EndpointSpace() {
    ConfigSpace s;
    s.Header(0x8086, 0x1572, 0x020000);
    s.Std(0x40, 0x01);
    s.Put(0x42, 2, 0xC803);
    s.Put(0x44, 2, 0x0003);  // D3hot
    s.Std(0x50, 0x05);
    s.Put(0x52, 2, 0x0197);  // enabled, 8 vectors capable, 2 enabled, 64-bit, maskable
    PutExpress(s, 0x70, 0, false, 3, 16, 3, 4);
    s.Std(0xB0, 0x11);
    s.Put(0xB2, 2, 0x803F);  // enabled, 64 entries
    s.Put(0xB4, 4, 0x00002000);
    s.Put(0xB8, 4, 0x00003000);
    s.Std(0xC0, 0x09);
    s.Put(0xC2, 1, 0x08);
    s.Std(0xC8, 0x07);
    s.Put(0xCA, 2, 0x0002);
    s.Put(0xCC, 4, 0x00030500);
    s.Std(0xD8, 0x13);
    s.Put(0xDA, 2, 0x0306);
    s.Std(0xE0, 0x14);
    s.Put(0xE2, 1, 1);
    s.Put(0xE4, 4, 0x80000002);  // enabled, BEI 0, two double words follow
    s.Put(0xE8, 4, 0xFE000000);
    s.Put(0xEC, 4, 0x00000FFC);

    s.Ext(0x100, 0x0001, 2);
    s.Put(0x104, 4, 0x00100000);
    s.Put(0x118, 4, 0x000000A0);
    s.Ext(0x148, 0x0002);
    s.Put(0x14C, 4, 0x00000001);  // two VC resources
    s.Put(0x158, 4, 0x800000FF);
    s.Ext(0x180, 0x0003);
    s.Put(0x184, 4, 0x89ABCDEF);
    s.Put(0x188, 4, 0x01234567);
    s.Ext(0x190, 0x0004);
    s.Put(0x198, 4, 0x0000A119);
    s.Ext(0x1A0, 0x000D);
    s.Put(0x1A4, 2, 0x005F);
    s.Ext(0x1B0, 0x000E);
    s.Put(0x1B4, 2, 0x0100);
    s.Ext(0x1C0, 0x000F);
    s.Put(0x1C4, 2, 0x0020);
    s.Ext(0x1D0, 0x0010);
    s.Put(0x1DC, 2, 64);
    s.Put(0x1DE, 2, 64);
    s.Put(0x1E4, 2, 0x80);
    s.Put(0x1E6, 2, 2);
    s.Put(0x1EA, 2, 0x154C);
    s.Ext(0x210, 0x0018);
    s.Put(0x214, 4, 0x10031003);
    s.Ext(0x218, 0x001E);
    s.Put(0x21C, 4, 0x0028281F);
    s.Ext(0x228, 0x0019);
    s.Ext(0x258, 0x001D);
    s.Put(0x25C, 2, 0x0F00);
    s.Ext(0x270, 0x001F);
    s.Put(0x274, 4, 0x00000403);
    s.Ext(0x280, 0x0015);
    s.Put(0x284, 4, 0x0000FFF0);
    s.Put(0x288, 4, 0x00000820);  // one resizable BAR, BAR 0, 256 MB
    s.Ext(0x290, 0x0023);
    s.Put(0x294, 4, 0x00C11E98);
    s.Put(0x298, 2, 0x0003);
    s.Ext(0x2A0, 0x0025);
    s.Put(0x2A4, 4, 0x80000001);
    s.Ext(0x2B0, 0x0026);
    s.Put(0x2BC, 4, 0x0000000F);
    s.Ext(0x2E0, 0x0027);
    s.Put(0x2E6, 2, 0x0003);
    s.Ext(0x330, 0x002A);
    s.Put(0x334, 4, 0x00000703);
    s.Ext(0x370, 0x000B);
    s.Put(0x374, 4, 0x01410001);
    s.Ext(0x388, 0x0008);
    return s;
}

// A root port (type 1 header) with a slot, a 32-bit MSI, the bridge's subsystem IDs and the
// root registers of AER.
inline ConfigSpace RootPortSpace() {
    ConfigSpace s;
    s.Header(0x8086, 0xA110, 0x060400, 1);
    s.Std(0x40, 0x01);
    s.Put(0x42, 2, 0x0003);
    s.Std(0x48, 0x05);
    s.Put(0x4A, 2, 0x0000);  // disabled, one vector, 32-bit
    PutExpress(s, 0x60, 4, true, 4, 8, 1, 1);
    s.Std(0xA0, 0x0D);
    s.Put(0xA4, 4, 0x72708086);
    s.Std(0xA8, 0x07);
    s.Put(0xAA, 2, 0x0003);
    s.Std(0xB8, 0x14);
    s.Put(0xBA, 1, 0);
    s.Put(0xBC, 4, 0x00000201);

    s.Ext(0x100, 0x0001, 2);
    s.Put(0x12C, 4, 0x00000007);
    s.Put(0x134, 4, 0x00080010);
    s.Ext(0x140, 0x001D);
    s.Put(0x144, 2, 0x00E8);
    s.Ext(0x150, 0x000D);
    s.Put(0x154, 2, 0x001F);
    s.Put(0x156, 2, 0x001D);
    return s;
}

// An endpoint at 32 GT/s x2 with a large MSI-X table, power state D1.
inline ConfigSpace FastEndpointSpace() {
    ConfigSpace s;
    s.Header(0x144D, 0xA80A, 0x010802);
    s.Std(0x40, 0x01);
    s.Put(0x42, 2, 0x0603);
    s.Put(0x44, 2, 0x0001);
    PutExpress(s, 0x50, 0, false, 5, 2, 5, 2);
    s.Std(0x90, 0x11);
    s.Put(0x92, 2, 0x07FF);  // disabled, 2048 entries
    s.Ext(0x100, 0x0001, 2);
    s.Ext(0x150, 0x0003);
    s.Put(0x154, 4, 0xDEADBEEF);
    return s;
}

// A conventional function: 256 bytes, power state D2 and a 32-bit maskable MSI.
inline ConfigSpace ConventionalSpace() {
    ConfigSpace s(256);
    s.Header(0x10EC, 0x8139, 0x020000);
    s.Std(0x50, 0x01);
    s.Put(0x52, 2, 0x0602);
    s.Put(0x54, 2, 0x0002);
    s.Std(0x60, 0x05);
    s.Put(0x62, 2, 0x0107);  // enabled, 8 vectors capable, per-vector masking
    return s;
}

// The four spaces, and where the test board places them ("05:00.0" ...).
struct PlacedSpace {
    const char* address;
    ConfigSpace space;
};
inline std::vector<PlacedSpace> AllSpaces() {
    return {{"05:00.0", EndpointSpace()},
            {"05:01.0", RootPortSpace()},
            {"05:02.0", FastEndpointSpace()},
            {"05:03.0", ConventionalSpace()}};
}

}  // namespace kvt::test
