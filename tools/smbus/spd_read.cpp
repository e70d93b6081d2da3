#include "tools/smbus/spd_read.h"

namespace kvt {

namespace {

constexpr uint8_t kPage0 = 0x36, kPage1 = 0x37;
constexpr uint8_t kHubPage = 0x0B;  // MR11 of a DDR5 SPD hub

struct Reader {
    SmbusPorts& io;
    uint16_t base;
    uint8_t address;
    uint32_t kind;
    const std::function<void(int, int)>& progress;
    int total = 256;

    int Bytes(uint8_t first, size_t count, std::vector<uint8_t>& out) {
        for (size_t i = 0; i < count; ++i) {
            if (progress) progress(int(out.size()), total);
            uint8_t v = 0;
            int r = SmbusReadByte(io, base, address, uint8_t(first + i), v, kind);
            if (r != kSmbusOk) return r;
            out.push_back(v);
        }
        return kSmbusOk;
    }
    // A DDR4 page select: a write to 36h or 37h (its data is ignored).
    int Page(unsigned page) { return SmbusWriteByte(io, base, page ? kPage1 : kPage0, 0, 0, kind); }
    // Page 0 is chosen while 36h acknowledges a receive byte.
    bool OnPage0() {
        uint8_t v = 0;
        return SmbusReceiveByte(io, base, kPage0, v, kind) == kSmbusOk;
    }
};

// Memory types of byte 2 before DDR4 (FPM to DDR3); 0 is no type and may be page 1 of a
// DDR4 SPD.
bool OlderThanDdr4(uint8_t type) {
    return (type >= 0x01 && type <= 0x08) || type == 0x0B;
}

}  // namespace

int ReadSpd(SmbusPorts& io, uint16_t base, uint8_t address, uint32_t kind,
            std::vector<uint8_t>& bytes, const std::function<void(int, int)>& progress) {
    bytes.clear();
    Reader rd{io, base, address, kind, progress};
    std::vector<uint8_t> head;
    int r = rd.Bytes(0, 3, head);
    if (r != kSmbusOk) return r;
    if (head[0] == 0x51 && head[1] == 0x18) {
        // A DDR5 SPD hub: its registers at 00h-7Fh, the chosen page of 128 bytes at 80h-FFh.
        uint8_t page = 0;
        r = SmbusReadByte(io, base, address, kHubPage, page, kind);
        if (r != kSmbusOk) return r;
        rd.total = 1024;
        for (unsigned p = 0; p < 8 && r == kSmbusOk; ++p) {
            r = SmbusWriteByte(io, base, address, kHubPage, uint8_t(p), kind);
            if (r == kSmbusOk) r = rd.Bytes(0x80, 128, bytes);
        }
        int restored = SmbusWriteByte(io, base, address, kHubPage, page, kind);
        if (progress) progress(1024, 1024);
        return r != kSmbusOk ? r : restored;
    }
    bool page0 = rd.OnPage0();
    bool ddr4 = page0 && head[2] == 0x0C;
    if (!page0 && !OlderThanDdr4(head[2])) {
        // Page 1 of a DDR4 SPD may be showing: choose page 0 and look again.
        if (rd.Page(0) == kSmbusOk && rd.OnPage0()) {
            head.clear();
            r = rd.Bytes(0, 3, head);
            ddr4 = r == kSmbusOk && head[2] == 0x0C;
            if (!ddr4) rd.Page(1);
            if (r != kSmbusOk) return r;
        }
    }
    if (!ddr4) {
        r = rd.Bytes(0, 256, bytes);
        if (progress) progress(256, 256);
        return r;
    }
    rd.total = 512;
    if (!page0) r = rd.Page(0);
    if (r == kSmbusOk) r = rd.Bytes(0, 256, bytes);
    if (r == kSmbusOk) r = rd.Page(1);
    if (r == kSmbusOk) r = rd.Bytes(0, 256, bytes);
    // Leave the page that was chosen when we came.
    int restored = rd.Page(page0 ? 0 : 1);
    if (progress) progress(512, 512);
    return r != kSmbusOk ? r : restored;
}

}  // namespace kvt
