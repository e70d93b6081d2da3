#include "tools/smbus/spd_decode.h"

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

std::string JedecManufacturer(const uint8_t* id, size_t length) {
    size_t bank = 0;
    while (bank < length && id[bank] == 0x7F) ++bank;
    if (bank == length) return "Invalid";
    uint8_t code = id[bank];
    for (const JedecEntry& e : kJedec)
        if (e.bank == bank + 1 && e.code == code) return e.name;
    return Format("Unknown (bank %zu, code %02Xh)", bank + 1, code);
}

std::vector<std::string> DecodeSpd(const std::vector<uint8_t>& b) {
    std::vector<std::string> out;
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
