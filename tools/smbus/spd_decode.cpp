#include "tools/smbus/spd_decode.h"

#include <cmath>

#include "platform/crc16.h"
#include "platform/format.h"

namespace kvt {

namespace {

struct JedecEntry {
    uint8_t bank;  // 1-based
    uint8_t code;  // with its parity bit
    const char* name;
};

const JedecEntry kJedec[] = {
    {1, 0x2C, "Micron Technology"},
    {1, 0xAD, "Hynix Semiconductor"},
    {1, 0xC1, "Infineon"},
    {1, 0xCE, "Samsung"},
    {1, 0xFE, "Elpida"},
    {1, 0x98, "Toshiba"},
    {1, 0x89, "Intel"},
    {2, 0x98, "Kingston"},
    {2, 0x4F, "Transcend"},
    {3, 0x9E, "Corsair"},
    {5, 0xCD, "G.Skill"},
    {6, 0x51, "Qimonda"},
    {4, 0x0B, "Nanya Technology"},
    {2, 0x7A, "Apacer"},
    {6, 0x9B, "Crucial Technology"},
    {5, 0xCB, "A-DATA Technology"},
};

// Cycle time byte: whole nanoseconds in the high nibble; tenths in the low one, with A-D
// standing for .25, .33, .66 and .75 on DDR2.
double CycleNs(uint8_t b, bool ddr2) {
    double frac = b & 0x0F;
    if (ddr2 && frac >= 10) {
        const double special[] = {0.25, 1.0 / 3, 2.0 / 3, 0.75};
        frac = frac <= 13 ? special[int(frac) - 10] : 0;
    } else {
        frac /= 10;
    }
    return (b >> 4) + frac;
}

std::string Trimmed(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? char(bytes[i]) : ' ';
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

std::string JedecName(unsigned bank, uint8_t code) {
    for (const JedecEntry& e : kJedec)
        if (e.bank == bank && e.code == code) return e.name;
    return "";
}

std::string JedecManufacturer(const uint8_t* id, size_t length) {
    size_t bank = 0;
    while (bank < length && id[bank] == 0x7F) ++bank;
    if (bank == length) return "Invalid";
    uint8_t code = id[bank];
    for (const JedecEntry& e : kJedec)
        if (e.bank == bank + 1 && e.code == code) return e.name;
    return Format("Unknown (bank %zu, code %02Xh)", bank + 1, code);
}

namespace {

const char* ModuleType(uint8_t type, uint8_t code) {
    // Byte 3 bits 3-0: the same codes for the common kinds in the three layouts.
    switch (code) {
        case 0x01:
            return "RDIMM";
        case 0x02:
            return "UDIMM";
        case 0x03:
            return "SO-DIMM";
        case 0x04:
            return type == 0x0B ? "Micro-DIMM" : "LRDIMM";
        case 0x05:
            return "Mini-RDIMM";
        case 0x06:
            return "Mini-UDIMM";
        case 0x0B:
            return type == 0x0B ? "LRDIMM" : type == 0x12 ? "Solder down" : nullptr;
        default:
            return nullptr;
    }
}

// The nearest JEDEC speed grade when the rate lies within 1% of it.
unsigned SpeedGrade(int64_t tckPs) {
    static const unsigned kGrades[] = {800,  1066, 1333, 1600, 1866, 2133, 2400, 2666,
                                       2933, 3200, 3600, 4000, 4400, 4800, 5200, 5600,
                                       6000, 6400, 6800, 7200, 7600, 8000, 8400, 8800};
    if (tckPs <= 0) return 0;
    double rate = 2e6 / double(tckPs);
    for (unsigned g : kGrades)
        if (std::fabs(rate - g) <= g * 0.01) return g;
    return unsigned(rate + 0.5);
}

std::string Serial(const uint8_t* b) {
    return Format("%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
}

void Crc(const std::vector<uint8_t>& b, size_t first, size_t last, size_t at, SpdFacts& f) {
    f.crcFirst = first, f.crcLast = last, f.crcAt = at;
    f.crcComputed = Crc16Jedec(b.data() + first, last - first + 1);
    f.crcStored = uint16_t(b[at] | b[at + 1] << 8);
}

void Manufacturer(uint8_t bankByte, uint8_t code, SpdFacts& f) {
    f.manufacturerBank = (bankByte & 0x7F) + 1u;
    f.manufacturerCode = code;
    f.manufacturer = JedecName(f.manufacturerBank, code);
}

// Medium time base count plus a signed fine correction, both in picoseconds.
int64_t Time(unsigned mtbCount, int64_t mtbPs, uint8_t fine, int64_t ftbPs) {
    return int64_t(mtbCount) * mtbPs + int64_t(int8_t(fine)) * ftbPs;
}

SpdFacts Ddr3(const std::vector<uint8_t>& b) {
    SpdFacts f;
    f.memoryType = "DDR3 SDRAM";
    const char* m = ModuleType(0x0B, b[3] & 0x0F);
    f.moduleType = m ? m : Format("unknown (%Xh)", b[3] & 0x0F);
    uint64_t chipMb = 256ull << (b[4] & 0x0F);
    unsigned width = 4u << (b[7] & 7);
    f.ranks = ((b[7] >> 3) & 7) + 1u;
    f.busWidth = 8u << (b[8] & 7);
    f.eccBits = ((b[8] >> 3) & 3) == 1 ? 8 : 0;
    f.capacityMb = chipMb / 8 * f.busWidth / width * f.ranks;
    int64_t mtb = b[11] ? 1000 * int64_t(b[10]) / b[11] : 0;
    int64_t ftb = (b[9] & 0x0F) ? int64_t(b[9] >> 4) / (b[9] & 0x0F) : 0;
    f.tCK = Time(b[12], mtb, b[34], ftb);
    f.tAA = Time(b[16], mtb, b[35], ftb);
    f.tRCD = Time(b[18], mtb, b[36], ftb);
    f.tRP = Time(b[20], mtb, b[37], ftb);
    f.tRAS = Time(unsigned(b[21] & 0x0F) << 8 | b[22], mtb, 0, ftb);
    Manufacturer(b[117], b[118], f);
    f.partNumber = Trimmed(&b[128], 18);
    f.serial = Serial(&b[122]);
    Crc(b, 0, (b[0] & 0x80) ? 116 : 125, 126, f);
    return f;
}

SpdFacts Ddr4(const std::vector<uint8_t>& b) {
    SpdFacts f;
    f.memoryType = "DDR4 SDRAM";
    const char* m = ModuleType(0x0C, b[3] & 0x0F);
    f.moduleType = m ? m : Format("unknown (%Xh)", b[3] & 0x0F);
    static const unsigned kDieMb[16] = {256,   512,   1024, 2048, 4096, 8192, 16384, 32768,
                                        12288, 24576, 0,    0,    0,    0,    0,     0};
    uint64_t dieMb = kDieMb[b[4] & 0x0F];
    // A 3DS package stacks its dies in one rank: they multiply the capacity.
    unsigned dies = (b[6] & 0x80) && (b[6] & 3) == 2 ? ((b[6] >> 4) & 7) + 1u : 1u;
    unsigned width = 4u << (b[12] & 7);
    f.ranks = ((b[12] >> 3) & 7) + 1u;
    f.busWidth = 8u << (b[13] & 7);
    f.eccBits = ((b[13] >> 3) & 3) == 1 ? 8 : 0;
    f.capacityMb = dieMb / 8 * f.busWidth / width * f.ranks * dies;
    // Timebases: byte 17 = 0 gives 125 ps and 1 ps, the only ones defined.
    const int64_t mtb = 125, ftb = 1;
    f.tCK = Time(b[18], mtb, b[125], ftb);
    f.tAA = Time(b[24], mtb, b[123], ftb);
    f.tRCD = Time(b[25], mtb, b[122], ftb);
    f.tRP = Time(b[26], mtb, b[121], ftb);
    f.tRAS = Time(unsigned(b[27] & 0x0F) << 8 | b[28], mtb, 0, ftb);
    Manufacturer(b[320], b[321], f);
    f.partNumber = Trimmed(&b[329], 20);
    f.serial = Serial(&b[325]);
    Crc(b, 0, 125, 126, f);
    return f;
}

SpdFacts Ddr5(const std::vector<uint8_t>& b) {
    SpdFacts f;
    f.memoryType = "DDR5 SDRAM";
    const char* m = ModuleType(0x12, b[3] & 0x0F);
    f.moduleType = m ? m : Format("unknown (%Xh)", b[3] & 0x0F);
    static const unsigned kDieGb[16] = {0, 4, 8, 12, 16, 24, 32, 48, 64, 0, 0, 0, 0, 0, 0, 0};
    static const unsigned kDies[8] = {1, 0, 2, 4, 8, 16, 0, 0};
    uint64_t dieMb = uint64_t(kDieGb[b[4] & 0x0F]) * 1024;
    unsigned dies = kDies[b[4] >> 5];
    unsigned width = 4u << ((b[6] >> 5) & 3);
    f.ranks = ((b[234] >> 3) & 7) + 1u;
    f.subChannels = ((b[235] >> 5) & 3) + 1u;
    f.busWidth = 8u << (b[235] & 7);
    f.eccBits = ((b[235] >> 3) & 3) == 1 ? 4 : ((b[235] >> 3) & 3) == 2 ? 8 : 0;
    f.capacityMb = f.subChannels * (f.busWidth / width) * dies * dieMb / 8 * f.ranks;
    auto ps = [&](size_t at) { return int64_t(b[at] | b[at + 1] << 8); };
    f.tCK = ps(20), f.tAA = ps(30), f.tRCD = ps(32), f.tRP = ps(34), f.tRAS = ps(36);
    Manufacturer(b[512], b[513], f);
    f.partNumber = Trimmed(&b[521], 30);
    f.serial = Serial(&b[517]);
    Crc(b, 0, 509, 510, f);
    return f;
}

std::string Ns(int64_t ps) {
    return Format("%lld.%03lld ns", (long long)(ps / 1000), (long long)(ps % 1000));
}

std::vector<std::string> FactLines(const SpdFacts& f) {
    std::vector<std::string> out;
    unsigned generation = f.memoryType[3] - '0';
    out.push_back("Memory type: " + f.memoryType);
    out.push_back("Module type: " + f.moduleType);
    out.push_back(Format("Size: %llu MB (%u rank%s)", (unsigned long long)f.capacityMb, f.ranks,
                         f.ranks == 1 ? "" : "s"));
    std::string bus = f.subChannels > 1 ? Format("%u x %u bits", f.subChannels, f.busWidth)
                                        : Format("%u bits", f.busWidth);
    if (f.eccBits) bus += Format(" + %u ECC bits", f.eccBits * f.subChannels);
    out.push_back("Bus width: " + bus);
    if (f.tCK > 0)
        out.push_back(Format("Maximum speed: DDR%u-%u (PC%u-%u), tCK %s", generation, f.dataRate,
                             generation, f.dataRate * 8 / 100 * 100, Ns(f.tCK).c_str()));
    out.push_back(Format("Timings: tAA %s, tRCD %s, tRP %s, tRAS %s", Ns(f.tAA).c_str(),
                         Ns(f.tRCD).c_str(), Ns(f.tRP).c_str(), Ns(f.tRAS).c_str()));
    out.push_back(Format("Manufacturer: %s (bank %u, code %02Xh)",
                         f.manufacturer.empty() ? "Unknown" : f.manufacturer.c_str(),
                         f.manufacturerBank, f.manufacturerCode));
    out.push_back("Part number: " + f.partNumber);
    out.push_back("Serial number: " + f.serial);
    if (f.crcOk())
        out.push_back(Format("CRC: ok (bytes %zu-%zu give %04Xh, as bytes %zu-%zu hold)",
                             f.crcFirst, f.crcLast, f.crcComputed, f.crcAt, f.crcAt + 1));
    else
        out.push_back(Format("CRC: wrong (bytes %zu-%zu give %04Xh, bytes %zu-%zu hold %04Xh)",
                             f.crcFirst, f.crcLast, f.crcComputed, f.crcAt, f.crcAt + 1,
                             f.crcStored));
    return out;
}

}  // namespace

std::optional<SpdFacts> DecodeSpdFacts(const std::vector<uint8_t>& b) {
    if (b.size() < 3) return std::nullopt;
    std::optional<SpdFacts> f;
    if (b[2] == 0x0B && b.size() >= 256) f = Ddr3(b);
    if (b[2] == 0x0C && b.size() >= 512) f = Ddr4(b);
    if (b[2] == 0x12 && b.size() >= 1024) f = Ddr5(b);
    if (f) f->dataRate = SpeedGrade(f->tCK);
    return f;
}

std::vector<std::string> DecodeSpd(const std::vector<uint8_t>& b) {
    std::vector<std::string> out;
    if (std::optional<SpdFacts> f = DecodeSpdFacts(b)) return FactLines(*f);
    if (b.size() >= 3 && (b[2] == 0x0C || b[2] == 0x12))
        return {Format("Memory type: DDR%c SDRAM", b[2] == 0x0C ? '4' : '5'),
                Format("SPD: %zu bytes read, the layout needs %u", b.size(),
                       b[2] == 0x0C ? 512u : 1024u)};
    if (b.size() < 128) return {"SPD: fewer than 128 bytes"};
    unsigned sum = 0;
    for (int i = 0; i < 63; ++i) sum += b[i];
    bool ddr2 = b[2] == 0x08, ddr = b[2] == 0x07;
    out.push_back(Format("Memory type: %s", ddr2  ? "DDR2 SDRAM"
                                            : ddr ? "DDR SDRAM"
                                                  : Format("unknown (%02Xh)", b[2]).c_str()));
    if (!ddr && !ddr2) return out;
    // Rank density (byte 31) times the ranks.
    static const unsigned kDdr2Mb[8] = {1024, 2048, 4096, 8192, 16384, 128, 256, 512};
    static const unsigned kDdrMb[8] = {1024, 2048, 16, 32, 64, 128, 256, 512};
    unsigned rankMb = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (b[31] & (1 << bit)) rankMb += ddr2 ? kDdr2Mb[bit] : kDdrMb[bit];
    unsigned ranks = ddr2 ? (b[5] & 7) + 1 : b[5];
    out.push_back(Format("Size: %u MB (%u rank%s)", rankMb * ranks, ranks, ranks == 1 ? "" : "s"));
    double tck = CycleNs(b[9], ddr2);
    if (tck > 0) {
        unsigned rate = unsigned(2000 / tck + 0.5);
        // Data rates are quoted in steps of the nearest common grade (333, 667).
        if (rate % 100 == 99 || rate % 100 == 34 || rate % 100 == 66 || rate % 100 == 68) --rate;
        out.push_back(Format("Maximum speed: %s-%u (PC%s-%u), tCK %.2f ns", ddr2 ? "DDR2" : "DDR",
                             rate, ddr2 ? "2" : "", rate * 8 / 100 * 100, tck));
    }
    std::string cas;
    if (ddr2) {
        for (int bit = 6; bit >= 2; --bit)
            if (b[18] & (1 << bit)) cas += Format("%s%d", cas.empty() ? "" : " ", bit);
    } else {
        static const char* kCl[7] = {"1", "1.5", "2", "2.5", "3", "3.5", "4"};
        for (int bit = 6; bit >= 0; --bit)
            if (b[18] & (1 << bit)) cas += Format("%s%s", cas.empty() ? "" : " ", kCl[bit]);
    }
    out.push_back("CAS latencies: " + (cas.empty() ? std::string("none") : cas));
    out.push_back("Manufacturer: " + JedecManufacturer(&b[64], 8));
    out.push_back("Part number: " + Trimmed(&b[73], 18));
    out.push_back(Format("Serial number: %02X%02X%02X%02X", b[95], b[96], b[97], b[98]));
    out.push_back(Format("Checksum: %s (byte 63 %02Xh, bytes 0-62 add up to %02Xh)",
                         uint8_t(sum) == b[63] ? "ok" : "wrong", b[63], uint8_t(sum)));
    return out;
}

}  // namespace kvt
