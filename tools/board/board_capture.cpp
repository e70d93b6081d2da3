#include "tools/board/board_capture.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "boards/profile/schema.h"
#include "platform/format.h"
#include "platform/hex.h"
#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/cpuid_tool.h"
#include "tools/pci/pci_enum.h"
#include "tools/smbus/smbus_detect.h"
#include "tools/smbus/smbus_host.h"

namespace kvt {
namespace {

using Json = nlohmann::ordered_json;

constexpr uint32_t kMaxBoardProcessors = 64;
constexpr size_t kMaxBoardFunctions = 256;
constexpr uint32_t kMaxSubLeaves = 64;
constexpr uint32_t kPage = 0x1000;

std::string Hex(uint64_t v) {
    return Format("0x%llX", static_cast<unsigned long long>(v));
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// Calls the progress listener at most once per step change.
class Progress {
  public:
    explicit Progress(const CaptureProgress& listener) : listener_(listener) {}
    void operator()(const std::string& stage, uint32_t done, uint32_t total) const {
        if (listener_) listener_(stage, done, total);
    }

  private:
    const CaptureProgress& listener_;
};

// ---- processors ----

using CpuidKey = std::pair<uint32_t, uint32_t>;  // leaf, sub-leaf (kAnySub: every sub-leaf)
constexpr uint32_t kAnySub = 0xFFFFFFFF;
using CpuidMap = std::map<CpuidKey, CpuidRegisters>;

bool SameRegisters(const CpuidRegisters& a, const CpuidRegisters& b) {
    return a.eax == b.eax && a.ebx == b.ebx && a.ecx == b.ecx && a.edx == b.edx;
}

bool Zero(const CpuidRegisters& r) {
    return r.eax == 0 && r.ebx == 0 && r.ecx == 0 && r.edx == 0;
}

// How the sub-leaves of a function end: at the first level type 0 (topology), at the first
// cache type 0 (deterministic caches), or after the last sub-leaf that is not all zeros.
enum class SubLeaves { kNone, kTopology, kCaches, kTrimZeros };

SubLeaves SubLeafRule(uint32_t leaf) {
    switch (leaf) {
        case 0x0B:
        case 0x1F:
        case 0x80000026:
            return SubLeaves::kTopology;
        case 0x04:
        case 0x8000001D:
            return SubLeaves::kCaches;
        case 0x07:
        case 0x0D:
        case 0x0F:
        case 0x10:
        case 0x12:
        case 0x14:
        case 0x17:
        case 0x18:
        case 0x1D:
        case 0x20:
        case 0x23:
        case 0x24:
        case 0x80000020:
            return SubLeaves::kTrimZeros;
        default:
            return SubLeaves::kNone;
    }
}

void CaptureLeaf(Platform& platform, uint32_t leaf, CpuidMap& out) {
    SubLeaves rule = SubLeafRule(leaf);
    if (rule == SubLeaves::kNone) {
        out[{leaf, kAnySub}] = platform.Cpuid(leaf, 0);
        return;
    }
    std::vector<CpuidRegisters> subs;
    for (uint32_t sub = 0; sub < kMaxSubLeaves; ++sub) {
        CpuidRegisters r = platform.Cpuid(leaf, sub);
        subs.push_back(r);
        if (rule == SubLeaves::kTopology && ((r.ecx >> 8) & 0xFF) == 0) break;
        if (rule == SubLeaves::kCaches && (r.eax & 0x1F) == 0) break;
    }
    if (rule == SubLeaves::kTrimZeros)
        while (subs.size() > 1 && Zero(subs.back())) subs.pop_back();
    for (uint32_t sub = 0; sub < subs.size(); ++sub) out[{leaf, sub}] = subs[sub];
}

// The functions the CPUID tool collects (standard, extended, and Transmeta's range), with the
// sub-leaves of the functions that have them, on the calling thread's processor.
CpuidMap CaptureCpuid(Platform& platform) {
    CpuidMap out;
    CpuidRegisters f0 = platform.Cpuid(0, 0);
    uint32_t highest = std::min<uint32_t>(f0.eax, kMaxCpuidFunctionsPerRange - 1);
    for (uint32_t leaf = 0; leaf <= highest; ++leaf) CaptureLeaf(platform, leaf, out);
    auto range = [&](uint32_t base) {
        CpuidRegisters top = platform.Cpuid(base, 0);
        out[{base, kAnySub}] = top;
        if (top.eax <= base) return;
        uint32_t last = std::min(top.eax, base + kMaxCpuidFunctionsPerRange - 1);
        for (uint32_t leaf = base + 1; leaf <= last; ++leaf) CaptureLeaf(platform, leaf, out);
    };
    range(kCpuidExtendedBase);
    if (CpuVendorFromRegisters(f0) == kCpuVendorTransmeta) range(kCpuidTransmetaBase);
    return out;
}

Json CpuidEntry(const CpuidKey& key, const CpuidRegisters& r) {
    Json e;
    e["leaf"] = Hex(key.first);
    if (key.second != kAnySub) e["sub"] = Hex(key.second);
    e["eax"] = Hex(r.eax);
    e["ebx"] = Hex(r.ebx);
    e["ecx"] = Hex(r.ecx);
    e["edx"] = Hex(r.edx);
    return e;
}

struct MsrValue {
    bool served = false;
    uint64_t value = 0;
    bool operator==(const MsrValue& o) const {
        return served == o.served && (!served || value == o.value);
    }
};

Json MsrEntry(const CaptureMsr& m, const MsrValue& v) {
    Json e;
    e["msr"] = Hex(m.number);
    if (v.served)
        e["value"] = Format("0x%016llX", static_cast<unsigned long long>(v.value));
    else
        e["access"] = "refused";
    if (m.isVolatile) e["volatile"] = true;
    return e;
}

Json CaptureProcessors(DriverClient& client, Platform& platform, const Progress& progress,
                       std::vector<std::string>& leftOut) {
    uint32_t count = platform.ProcessorCount();
    if (count == 0) count = 1;
    if (count > kMaxBoardProcessors) {
        leftOut.push_back(Format("processors %u and above: a board holds at most %u",
                                 kMaxBoardProcessors, kMaxBoardProcessors));
        count = kMaxBoardProcessors;
    }
    const std::vector<CaptureMsr>& msrs = CaptureMsrList();
    std::vector<CpuidMap> cpuid(count);
    std::vector<std::vector<MsrValue>> values(count, std::vector<MsrValue>(msrs.size()));
    std::vector<bool> ran(count, false);
    for (uint32_t p = 0; p < count; ++p) {
        progress("processors", p, count);
        ran[p] = RunOnProcessor(p, [&] {
            if (platform.HasCpuid()) cpuid[p] = CaptureCpuid(platform);
            for (size_t i = 0; i < msrs.size(); ++i) {
                Reply<uint64_t> read = client.TryReadMsr(p, msrs[i].number);
                values[p][i] = {read.served(), read.value};
            }
        });
        if (!ran[p]) leftOut.push_back(Format("processor %u: no thread could run there", p));
    }
    progress("processors", count, count);

    Json out;
    out["count"] = count;
    ClockMeasurement clock = MeasureProcessorClock(platform);
    uint64_t hz = clock.ok && clock.hz >= 1 ? static_cast<uint64_t>(clock.hz + 0.5) : 0;
    if (hz == 0) leftOut.push_back("time-stamp counter rate: no counter to measure");
    out["tsc_hz"] = hz ? hz : 1;
    if (cpuid[0].empty()) {
        leftOut.push_back("CPUID: the processor does not execute it");
        cpuid[0][{0, kAnySub}] = CpuidRegisters{};
    }
    Json list = Json::array();
    for (const auto& [key, regs] : cpuid[0]) list.push_back(CpuidEntry(key, regs));
    out["cpuid"] = list;

    uint32_t refused = 0;
    Json msrList = Json::array();
    for (size_t i = 0; i < msrs.size(); ++i) {
        msrList.push_back(MsrEntry(msrs[i], values[0][i]));
        refused += values[0][i].served ? 0 : 1;
    }
    out["msrs"] = msrList;
    if (refused == msrs.size())
        leftOut.push_back("MSRs: every read was refused");
    else if (refused)
        leftOut.push_back(
            Format("MSRs: %u of %zu reads refused on processor 0", refused, msrs.size()));

    // Processors after the first: only what differs from processor 0.
    Json each = Json::array();
    size_t lastUsed = 0;
    for (uint32_t p = 0; p < count; ++p) {
        Json e = Json::object();
        if (p > 0) {
            Json c = Json::array();
            for (const auto& [key, regs] : cpuid[p]) {
                auto base = cpuid[0].find(key);
                if (base == cpuid[0].end() || !SameRegisters(base->second, regs))
                    c.push_back(CpuidEntry(key, regs));
            }
            for (const auto& [key, regs] : cpuid[0])
                if (!cpuid[p].count(key)) c.push_back(CpuidEntry(key, CpuidRegisters{}));
            if (!c.empty()) e["cpuid"] = c;
            Json m = Json::array();
            for (size_t i = 0; i < msrs.size(); ++i) {
                if (values[p][i] == values[0][i]) continue;
                Json entry = MsrEntry(msrs[i], values[p][i]);
                // An override keeps what it does not give: a refusal after a value, or a
                // value after a refusal, has to say so.
                if (values[p][i].served) entry["access"] = "read-write";
                m.push_back(entry);
            }
            if (!m.empty()) e["msrs"] = m;
        }
        if (!e.empty()) lastUsed = p;
        each.push_back(e);
    }
    if (lastUsed > 0) {
        each.erase(each.begin() + static_cast<std::ptrdiff_t>(lastUsed) + 1, each.end());
        out["each"] = each;
    }
    return out;
}

// ---- PCI ----

Json CapturePci(DriverClient& client, const Progress& progress, std::vector<std::string>& leftOut,
                bool& hasWindow, uint64_t& windowBase, uint64_t& windowSize) {
    Json out;
    std::vector<PciFunctionRecord> table;
    EnumeratePciFunctions(client, table);
    PciWindow window;
    hasWindow = client.PcieWindow(window) && window.lastBus >= window.firstBus;
    if (hasWindow) {
        const uint64_t bus0 = window.BusZeroBase();
        if (window.firstBusAddress < (uint64_t(window.firstBus) << 20) || (bus0 & 0xFFFFF)) {
            leftOut.push_back("PCI Express window: it cannot be described from bus 0");
            hasWindow = false;
        } else {
            Json ecam;
            ecam["base"] = Hex(bus0);
            ecam["buses"] = uint32_t(window.lastBus) + 1;
            out["ecam"] = ecam;
            windowBase = bus0;
            windowSize = (uint64_t(window.lastBus) + 1) << 20;
        }
    }
    if (table.empty()) leftOut.push_back("PCI: the function list request failed");
    if (table.size() > kMaxBoardFunctions) {
        leftOut.push_back(Format("PCI: %zu functions after the first %zu (a board holds no more)",
                                 table.size() - kMaxBoardFunctions, kMaxBoardFunctions));
        table.resize(kMaxBoardFunctions);
    }
    Json functions = Json::array();
    std::vector<uint8_t> space(kPciExpressSpaceSize);
    std::vector<std::string> refusedAbove;  // functions the window serves no more than 256 bytes of
    for (size_t i = 0; i < table.size(); ++i) {
        const PciFunctionRecord& r = table[i];
        progress("PCI functions", uint32_t(i), uint32_t(table.size()));
        std::string name = r.address().FunctionText(true);
        bool ok = true;
        for (uint32_t reg = 0; reg < kPciSpaceSize && ok; reg += 4) {
            Reply<uint32_t> read = client.TryReadPciConfig(r.address(reg).ConfigAddress());
            ok = read.served();
            std::memcpy(&space[reg], &read.value, 4);
        }
        if (!ok) {
            leftOut.push_back("PCI " + name + ": a configuration read was refused");
            continue;
        }
        if ((space[0x0E] & 0x7F) > 1) {
            leftOut.push_back(Format("PCI %s: header type %u (boards model types 0 and 1)",
                                     name.c_str(), space[0x0E] & 0x7F));
            continue;
        }
        size_t size = kPciSpaceSize;
        if (hasWindow && window.Covers(r.address())) {
            const uint32_t at = uint32_t(window.AddressOf(r.address()));
            std::vector<uint8_t> tail(kPciExpressSpaceSize - kPciSpaceSize);
            if (client.TryReadMemory(at + kPciSpaceSize, tail.data(), uint32_t(tail.size()))) {
                // A conventional function reads zeros above FFh in a board's window, so only
                // a space that holds something there is kept whole.
                if (std::any_of(tail.begin(), tail.end(), [](uint8_t b) { return b != 0; })) {
                    std::copy(tail.begin(), tail.end(), space.begin() + kPciSpaceSize);
                    size = kPciExpressSpaceSize;
                }
            } else {
                refusedAbove.push_back(name);
            }
        }
        Json f;
        f["address"] = name;
        f["multifunction"] = (space[0x0E] & 0x80) != 0;
        if (size == kPciExpressSpaceSize) f["express"] = true;
        f["config"] = HexBytes(space.data(), size);
        functions.push_back(f);
    }
    progress("PCI functions", uint32_t(table.size()), uint32_t(table.size()));
    if (!refusedAbove.empty()) {
        std::string list;
        for (const std::string& name : refusedAbove) list += (list.empty() ? "" : ", ") + name;
        leftOut.push_back(
            Format("PCI: the window refused the bytes above FFh of %zu functions (%s)",
                   refusedAbove.size(), list.c_str()));
    }
    out["functions"] = functions;
    return out;
}

// ---- memory ----

Json CaptureMemory(DriverClient& client, const CaptureOptions& options, const Progress& progress,
                   bool hasWindow, uint64_t windowBase, uint64_t windowSize,
                   std::vector<std::string>& leftOut) {
    std::vector<MemoryRange> ranges = options.memory;
    if (ranges.empty()) ranges.push_back({0xF0000, 0x10000});
    std::sort(ranges.begin(), ranges.end(),
              [](const MemoryRange& a, const MemoryRange& b) { return a.base < b.base; });
    Json out = Json::array();
    uint64_t coveredTo = 0;
    uint32_t done = 0, total = 0;
    for (const MemoryRange& r : ranges) total += (r.length + kPage - 1) / kPage;
    for (const MemoryRange& r : ranges) {
        uint64_t begin = std::max<uint64_t>(r.base, coveredTo), end = uint64_t(r.base) + r.length;
        std::string label = Format("memory %08Xh-%08llXh", r.base, (unsigned long long)(end - 1));
        if (hasWindow && begin < windowBase + windowSize && end > windowBase) {
            leftOut.push_back(label + ": it overlaps the PCI Express window");
            done += (r.length + kPage - 1) / kPage;
            continue;
        }
        // Readable runs of pages (a page's part inside the range) become regions.
        std::vector<uint8_t> run;
        uint64_t runStart = begin;
        bool refused = false, kept = false;
        auto flush = [&] {
            if (run.empty()) return;
            Json region;
            region["name"] = Format("memory-%08llX", static_cast<unsigned long long>(runStart));
            region["base"] = Hex(runStart);
            region["size"] = Hex(run.size());
            region["kind"] = "rom";
            region["bytes"] = Json::object({{"0x0", HexBytes(run.data(), run.size())}});
            out.push_back(region);
            run.clear();
        };
        for (uint64_t at = begin; at < end;) {
            uint64_t next = std::min<uint64_t>((at / kPage + 1) * kPage, end);
            std::vector<uint8_t> page(size_t(next - at));
            if (client.TryReadMemory(uint32_t(at), page.data(), uint32_t(page.size()))) {
                if (run.empty()) runStart = at;
                kept = true;
                run.insert(run.end(), page.begin(), page.end());
            } else {
                flush();
                refused = true;
            }
            at = next;
            progress("memory", ++done, total);
        }
        flush();
        coveredTo = std::max(coveredTo, end);
        if (refused)
            leftOut.push_back(label +
                              (kept ? ": some pages were refused (the readable ones are kept)"
                                    : ": not readable"));
    }
    return out;
}

// ---- ports ----

bool ReadPortByte(DriverClient& client, uint16_t port, uint8_t& value) {
    Reply<uint32_t> read = client.TryReadPort(port, 1);
    value = uint8_t(read.value);
    return read.served();
}

// A 128-byte CMOS bank through its index and data ports; false when a port request fails.
bool ReadCmosBank(DriverClient& client, uint16_t indexPort, std::vector<uint8_t>& bytes) {
    bytes.assign(128, 0);
    for (uint32_t i = 0; i < 128; ++i) {
        if (!client.TryWritePort(indexPort, i, 1)) return false;
        if (!ReadPortByte(client, uint16_t(indexPort + 1), bytes[i])) return false;
    }
    return true;
}

std::string SpacedHex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) text += Format(i ? " %02x" : "%02x", bytes[i]);
    return text;
}

// The CMOS banks and the POST/DMA page ports 80h-8Fh; false when the ports are not available.
bool CapturePorts(DriverClient& client, Json& profile, std::vector<std::string>& leftOut) {
    std::vector<uint8_t> bank;
    if (!ReadCmosBank(client, 0x70, bank)) {
        leftOut.push_back("CMOS and ports: the port requests are refused");
        return false;
    }
    Json cmos;
    cmos["bank70"] = SpacedHex(bank);
    for (uint16_t port : {uint16_t(0x72), uint16_t(0x74)}) {
        std::vector<uint8_t> upper;
        // A bank whose every byte reads FFh is not there: its ports stay unclaimed.
        if (ReadCmosBank(client, port, upper) &&
            std::any_of(upper.begin(), upper.end(), [](uint8_t b) { return b != 0xFF; }))
            cmos[Format("bank%x", port)] = SpacedHex(upper);
    }
    // The clock registers, status A (update in progress) and status C (interrupt flags a read
    // clears) change on their own.
    cmos["volatile"] = "00 01 02 03 04 05 06 07 08 09 0a 0c";
    profile["cmos"] = cmos;

    std::vector<uint8_t> post(16);
    for (uint16_t i = 0; i < 16; ++i) {
        if (!ReadPortByte(client, uint16_t(0x80 + i), post[i])) {
            leftOut.push_back(Format("port %02Xh: the read was refused", 0x80 + i));
            return true;
        }
    }
    profile["ports"] = Json::object({{"0x80", SpacedHex(post)}});
    return true;
}

// ---- SMBus ----

const char* SmbusModel(uint32_t kind) {
    switch (kind) {
        case kSmbusIntel:
            return "intel";
        case kSmbusVia:
            return "via";
        case kSmbusAti:
            return "ati";
        case kSmbusNvidia:
        case kSmbusAmd:
            return "nvidia";
        default:
            return nullptr;
    }
}

bool SpdChecksumOk(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 64) return false;
    uint8_t sum = 0;
    for (size_t i = 0; i < 63; ++i) sum = uint8_t(sum + bytes[i]);
    return sum == bytes[63];
}

// Bytes after the scan's byte 0 up to `count`: word-data reads (bytes c and c + 1, as an
// EEPROM's address counter gives them) while the device answers them, else byte-data reads.
bool ReadDeviceBytes(SmbusPorts& io, const SmbusController& c, uint8_t address, uint32_t count,
                     std::vector<uint8_t>& bytes) {
    bool words = true;
    while (bytes.size() < count) {
        uint8_t command = uint8_t(bytes.size());
        if (words && bytes.size() + 1 < count) {
            uint16_t w = 0;
            if (SmbusReadWord(io, c.ioBase, address, command, w, c.vendorKind) == kSmbusOk) {
                bytes.push_back(uint8_t(w));
                bytes.push_back(uint8_t(w >> 8));
                continue;
            }
            words = false;
        }
        uint8_t v = 0;
        if (SmbusReadByte(io, c.ioBase, address, command, v, c.vendorKind) != kSmbusOk)
            return false;
        bytes.push_back(v);
    }
    return true;
}

Json CaptureSmbus(DriverClient& client, const std::set<std::string>& captured, uint32_t spdBytes,
                  const Progress& progress, std::vector<std::string>& leftOut) {
    Json out = Json::array();
    std::vector<SmbusController> controllers = DetectSmbusControllers(client);
    SmbusPorts io(client);
    for (size_t n = 0; n < controllers.size(); ++n) {
        const SmbusController& c = controllers[n];
        std::string name = c.address().FunctionText(true);
        std::string label = Format("SMBus controller %zu (%s)", n, name.c_str());
        const char* model = SmbusModel(c.vendorKind);
        if (!model || !captured.count(name)) {
            leftOut.push_back(label + (model ? ": its PCI function was not captured"
                                             : ": boards have no model of this controller"));
            continue;
        }
        Json ctrl;
        ctrl["function"] = name;
        ctrl["base_register"] = Hex(c.baseRegister);
        ctrl["model"] = model;
        Json devices = Json::array();
        std::string driver;
        if (client.KernelDriver(c.address(), driver) && !driver.empty()) {
            // The kernel's driver runs its own transactions there; none are mixed in.
            ctrl["kernel_driver"] = driver;
            leftOut.push_back(label + ": the kernel driver " + driver +
                              " owns it, its devices were not read");
        } else {
            for (uint32_t a = 0; a <= 0x7E; ++a) {
                progress(Format("SMBus %zu", n), a, 0x7F);
                uint8_t first = 0;
                int r = SmbusReadByte(io, c.ioBase, uint8_t(a), 0, first, c.vendorKind);
                if (r == kSmbusBusy || r == kSmbusReadIoError || r == kSmbusWriteIoError) {
                    leftOut.push_back(
                        label + Format(": the scan stopped at %02Xh: %s", a, SmbusResultText(r)));
                    break;
                }
                if (r != kSmbusOk) continue;
                std::vector<uint8_t> bytes{first};
                Json d;
                d["address"] = Hex(a);
                // An SPD EEPROM: its bytes by reads, never a write. Another device: the
                // first 16 bytes (what the SMBus report shows by default).
                const bool spd = a >= 0x50 && a <= 0x57;
                uint32_t want = spd ? spdBytes : 16;
                if (!ReadDeviceBytes(io, c, uint8_t(a), want, bytes))
                    leftOut.push_back(label + Format(": device %02Xh: bytes from %02zXh on could "
                                                     "not be read",
                                                     a, bytes.size()));
                d["kind"] = spd && SpdChecksumOk(bytes) ? "spd" : "eeprom";
                d["read_only"] = true;
                if (!spd) d["note"] = "bytes 00h-0Fh only (not an SPD address)";
                if (spd && want < 256) d["note"] = Format("bytes 00h-%02Xh only", want - 1);
                d["bytes"] = SpacedHex(bytes);
                devices.push_back(d);
            }
        }
        ctrl["devices"] = devices;
        out.push_back(ctrl);
    }
    return out;
}

std::string BoardNameFrom(const std::string& computer) {
    std::string name;
    for (char c : computer) {
        char l = char(std::tolower(static_cast<unsigned char>(c)));
        if ((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '-' || l == '_') name += l;
    }
    return name.empty() ? "captured" : name.substr(0, 64);
}

// Whether a value holds a list (it is then printed across lines).
bool HoldsList(const Json& v) {
    if (v.is_array()) return true;
    if (v.is_object())
        for (const auto& item : v.items())
            if (HoldsList(item.value())) return true;
    return false;
}

void PrintValue(const Json& v, int indent, std::string& out) {
    std::string pad(size_t(indent) + 2, ' ');
    if (v.is_object() && !v.empty() && (indent == 0 || HoldsList(v))) {
        out += "{\n";
        size_t i = 0;
        for (const auto& item : v.items()) {
            out += pad + Json(item.key()).dump() + ": ";
            PrintValue(item.value(), indent + 2, out);
            out += ++i < v.size() ? ",\n" : "\n";
        }
        out += std::string(size_t(indent), ' ') + "}";
    } else if (v.is_array() && !v.empty() && (HoldsList(v[0]) || v[0].is_object())) {
        out += "[\n";
        for (size_t i = 0; i < v.size(); ++i) {
            out += pad;
            PrintValue(v[i], indent + 2, out);
            out += i + 1 < v.size() ? ",\n" : "\n";
        }
        out += std::string(size_t(indent), ' ') + "]";
    } else {
        // One line.
        out += v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

}  // namespace

const std::vector<CaptureMsr>& CaptureMsrList() {
    // Architectural MSRs present on most x86 processors; volatile: counters, the performance
    // and thermal status, and bases the kernel keeps per thread.
    static const std::vector<CaptureMsr> list = [] {
        std::vector<CaptureMsr> l;
        auto add = [&l](uint32_t first, uint32_t last, bool isVolatile) {
            for (uint32_t m = first; m <= last; ++m) l.push_back({m, isVolatile});
        };
        add(0x00, 0x01, false);    // P5 machine-check address and type
        add(0x10, 0x10, true);     // time-stamp counter
        add(0x17, 0x17, false);    // platform ID
        add(0x1B, 0x1B, false);    // APIC base
        add(0x3A, 0x3B, false);    // feature control, TSC adjust
        add(0x8B, 0x8B, false);    // microcode signature
        add(0xC1, 0xC4, true);     // performance counters
        add(0xE7, 0xE8, true);     // MPERF, APERF
        add(0xFE, 0xFE, false);    // MTRR capabilities
        add(0x174, 0x176, false);  // SYSENTER
        add(0x179, 0x17B, false);  // machine-check global registers
        add(0x186, 0x189, false);  // performance event selects
        add(0x198, 0x198, true);   // performance status
        add(0x199, 0x19B, false);  // performance control, clock modulation, thermal
        add(0x19C, 0x19C, true);   // thermal status
        add(0x1A0, 0x1A0, false);  // miscellaneous enables
        add(0x1D9, 0x1D9, false);  // debug control
        add(0x200, 0x20F, false);  // variable-range MTRRs
        add(0x250, 0x250, false);  // fixed-range MTRRs
        add(0x258, 0x259, false);
        add(0x268, 0x26F, false);
        add(0x277, 0x277, false);            // PAT
        add(0x2FF, 0x2FF, false);            // MTRR default type
        add(0x309, 0x30B, true);             // fixed-function counters
        add(0x38D, 0x38D, false);            // fixed counter control
        add(0x38E, 0x38E, true);             // global status
        add(0x38F, 0x390, false);            // global control, overflow control
        add(0x400, 0x413, false);            // machine-check banks 0-4
        add(0x480, 0x491, false);            // VMX capabilities
        add(0x6E0, 0x6E0, true);             // TSC deadline
        add(0xC0000080, 0xC0000084, false);  // EFER, SYSCALL targets and mask
        add(0xC0000100, 0xC0000102, true);   // FS, GS and swap-GS bases
        add(0xC0000103, 0xC0000103, false);  // TSC_AUX
        add(0xC0010000, 0xC0010003, false);  // AMD performance event selects
        add(0xC0010004, 0xC0010007, true);   // AMD performance counters
        add(0xC0010010, 0xC0010010, false);  // AMD system configuration
        add(0xC0010015, 0xC0010015, false);  // AMD hardware configuration
        add(0xC0010114, 0xC0010114, false);  // AMD VM control
        return l;
    }();
    return list;
}

bool ParseMemoryRange(const std::string& text, MemoryRange& range, std::string& error) {
    size_t colon = text.find(':');
    auto number = [](const std::string& s, uint64_t& v) { return ParseHex(s, UINT64_MAX, v); };
    uint64_t base = 0, length = 0;
    if (colon == std::string::npos || !number(text.substr(0, colon), base) ||
        !number(text.substr(colon + 1), length)) {
        error = "--memory " + text + ": not ADDR:LEN in hexadecimal";
        return false;
    }
    if (length == 0 || length > kMaxCaptureMemory) {
        error = Format("--memory %s: the length must be 1 to %llX", text.c_str(),
                       static_cast<unsigned long long>(kMaxCaptureMemory));
        return false;
    }
    if (base > 0xFFFFFFFFull || length > 0x100000000ull - base) {
        error = "--memory " + text + ": the range passes 4 GiB";
        return false;
    }
    range = {uint32_t(base), uint32_t(length)};
    return true;
}

CaptureResult CaptureBoard(DriverClient& client, Platform& platform, const CaptureOptions& options,
                           const CaptureProgress& listener) {
    Progress progress(listener);
    CaptureResult result;
    Json& p = result.profile;
    std::vector<std::string>& leftOut = result.leftOut;

    std::string computer = platform.ComputerName();
    if (computer.size() > 15) {
        leftOut.push_back("computer name: shortened to 15 characters from " + computer);
        computer.resize(15);
    }
    if (computer.empty()) {
        leftOut.push_back("computer name: none, \"unknown\" given");
        computer = "unknown";
    }
    p["name"] = options.name.empty() ? BoardNameFrom(computer) : options.name;
    p["description"] = "Captured from " + computer;
    p["computer"] = computer;
    // The version record the OS information and the request form follow, so the board
    // answers as the machine did wherever it runs.
    VersionRecord v = platform.Version();
    if (v.csdVersion.size() > 127) {
        leftOut.push_back("version record: service pack text shortened to 127 characters");
        v.csdVersion.resize(127);
    }
    p["version"] = Json{{"major", v.majorVersion},
                        {"minor", v.minorVersion},
                        {"build", v.buildNumber},
                        {"platform", v.platformId},
                        {"csd", v.csdVersion}};
    p["note"] = "";
    p["processors"] = CaptureProcessors(client, platform, progress, leftOut);

    bool hasWindow = false;
    uint64_t windowBase = 0, windowSize = 0;
    p["pci"] = CapturePci(client, progress, leftOut, hasWindow, windowBase, windowSize);
    p["memory"] =
        CaptureMemory(client, options, progress, hasWindow, windowBase, windowSize, leftOut);
    if (CapturePorts(client, p, leftOut)) {
        std::set<std::string> captured;
        for (const Json& f : p["pci"]["functions"])
            captured.insert(f["address"].get<std::string>());
        Json smbus = CaptureSmbus(client, captured, options.spdBytes, progress, leftOut);
        if (!smbus.empty()) p["smbus"] = smbus;
    } else {
        leftOut.push_back("SMBus: the port requests are refused");
    }
    // Only keys a profile may hold are written, so that the capture loads as a board.
    for (const std::string& path : board_profile::RemoveUnknownKeys(p))
        leftOut.push_back(path + ": not a profile key");
    std::string note;
    for (const std::string& line : leftOut) note += (note.empty() ? "" : "; ") + line;
    if (note.empty())
        p.erase("note");
    else
        p["note"] = "Left out: " + note;
    return result;
}

std::string ProfileText(const nlohmann::ordered_json& profile) {
    std::string out;
    PrintValue(profile, 0, out);
    out += "\n";
    return out;
}

}  // namespace kvt
