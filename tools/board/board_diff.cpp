#include "tools/board/board_diff.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <set>
#include <tuple>

#include "boards/profile/processors.h"
#include "boards/profile/schema.h"
#include "platform/format.h"
#include "platform/hex.h"
#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/cpuid_decode.h"
#include "tools/cpu/msr_fields.h"
#include "tools/pci/pci_caps.h"

namespace kvt {
namespace {

using Json = nlohmann::json;

// Byte differences listed per region or device before the rest is only counted.
constexpr size_t kMaxByteLines = 16;

// Numbers as profiles write them: JSON integers, "0x..." hexadecimal or decimal text.
std::optional<uint64_t> Number(const Json* v) {
    if (!v) return std::nullopt;
    if (v->is_number_unsigned()) return v->get<uint64_t>();
    if (v->is_number_integer() && v->get<int64_t>() >= 0) return uint64_t(v->get<int64_t>());
    if (!v->is_string()) return std::nullopt;
    const std::string& s = v->get_ref<const std::string&>();
    uint64_t out = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        if (!ParseHex(s, UINT64_MAX, out)) return std::nullopt;
        return out;
    }
    if (s.empty() || s.size() > 20) return std::nullopt;
    for (char c : s) {
        if (c < '0' || c > '9' || out > (UINT64_MAX - uint64_t(c - '0')) / 10) return std::nullopt;
        out = out * 10 + uint64_t(c - '0');
    }
    return out;
}

const Json* Get(const Json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::vector<uint8_t> Bytes(const Json* v) {
    std::vector<uint8_t> out;
    if (!v || !v->is_string()) return out;
    // Bytes the loader would refuse compare as none.
    std::string problem;
    if (!ParseHexBytes(v->get_ref<const std::string&>(), out, problem)) out.clear();
    return out;
}

// An offset map {"0x40": "01 02"} laid over bytes (grown as needed).
void Patch(const Json* map, std::vector<uint8_t>& bytes) {
    if (!map || !map->is_object()) return;
    for (const auto& item : map->items()) {
        Json key(item.key());
        std::optional<uint64_t> at = Number(&key);
        std::vector<uint8_t> b = Bytes(&item.value());
        if (!at || *at > (64u << 20)) continue;
        if (bytes.size() < *at + b.size()) bytes.resize(size_t(*at + b.size()), 0);
        std::copy(b.begin(), b.end(), bytes.begin() + std::ptrdiff_t(*at));
    }
}

std::string Text(const Json* v) {
    if (!v) return "";
    return v->is_string() ? v->get<std::string>() : v->dump();
}

class Differ {
  public:
    explicit Differ(BoardDiff& diff) : diff_(diff) {}

    // The difference added, or nullptr when the values are equal. Valid until the next Add.
    BoardDifference* Add(const std::string& section, const std::string& item,
                         const std::string& field, std::optional<std::string> a,
                         std::optional<std::string> b) {
        if (a == b) return nullptr;
        diff_.differences.push_back({section, item, field, std::move(a), std::move(b), {}});
        return &diff_.differences.back();
    }
    BoardDifference& At(size_t index) { return diff_.differences[index]; }
    void Volatile() { ++diff_.skippedVolatile; }

    // Byte lists compared byte by byte (width 1) or per double word (width 4, configuration
    // registers), at most kMaxByteLines lines and then a count of the rest. `lines`, when
    // given, receives each listed offset's difference index, and the count line's under
    // SIZE_MAX.
    void CompareBytes(const std::string& section, const std::string& item,
                      const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t width,
                      const char* unit, uint64_t base = 0, const std::set<size_t>* skip = nullptr,
                      std::map<size_t, size_t>* lines = nullptr) {
        size_t end = std::max(a.size(), b.size()), listed = 0, more = 0;
        for (size_t at = 0; at < end; at += width) {
            auto value = [&](const std::vector<uint8_t>& v) -> std::optional<std::string> {
                if (at >= v.size()) return std::nullopt;
                std::string s;
                for (size_t i = std::min(at + width, v.size()); i-- > at;)
                    s += Format("%02X", v[i]);
                return s;
            };
            std::optional<std::string> va = value(a), vb = value(b);
            if (va == vb) continue;
            if (skip && skip->count(at)) {
                Volatile();
                continue;
            }
            if (listed++ < kMaxByteLines) {
                Add(section, item,
                    Format("%s %llXh", unit, static_cast<unsigned long long>(base + at)), va, vb);
                if (lines) (*lines)[at] = diff_.differences.size() - 1;
            } else {
                ++more;
            }
        }
        if (more) {
            Add(section, item, Format("%zu further %ss", more, unit), std::string("differ"),
                std::string("differ"));
            if (lines) (*lines)[SIZE_MAX] = diff_.differences.size() - 1;
        }
    }

  private:
    BoardDiff& diff_;
};

// ---- decoded fields ----

// The named bits and fields of a register whose value went from `a` to `b`: a bit as 0 or 1,
// a wider field in hexadecimal, as the processor tool shows them.
template <typename Names>
void AddFieldChanges(BoardDifference* d, const Names& names, uint64_t a, uint64_t b) {
    if (!d) return;
    for (const auto& f : names) {
        int width = f.high - f.low + 1;
        uint64_t mask = width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
        uint64_t fa = (a >> f.low) & mask, fb = (b >> f.low) & mask;
        if (fa == fb) continue;
        auto text = [&](uint64_t v) {
            return width == 1 ? Format("%llu", static_cast<unsigned long long>(v))
                              : Format("0x%llx", static_cast<unsigned long long>(v));
        };
        d->fields.push_back({f.name, text(fa), text(fb)});
    }
}

// ---- processors ----

struct Processor {
    board_profile::CpuidTable cpuid;
    board_profile::MsrTable msrs;
};

using board_profile::kAnySub;

// The entries as the board would apply them. A profile that does not load may still be
// compared: an entry without a readable leaf or MSR number is passed over, and so is a value
// that is not a readable number of its register's width.
std::vector<board_profile::CpuidEntry> CpuidEntries(const Json* list) {
    std::vector<board_profile::CpuidEntry> out;
    if (!list || !list->is_array()) return out;
    static const char* names[4] = {"eax", "ebx", "ecx", "edx"};
    for (const Json& e : *list) {
        std::optional<uint64_t> leaf = Number(Get(e, "leaf"));
        if (!leaf || *leaf > 0xFFFFFFFF) continue;
        board_profile::CpuidEntry entry;
        entry.leaf = uint32_t(*leaf);
        std::optional<uint64_t> sub = Number(Get(e, "sub"));
        if (sub && *sub < kAnySub) entry.sub = uint32_t(*sub);
        for (size_t r = 0; r < 4; ++r)
            if (std::optional<uint64_t> v = Number(Get(e, names[r])); v && *v <= 0xFFFFFFFF)
                entry.regs[r] = uint32_t(*v);
        out.push_back(entry);
    }
    return out;
}

std::vector<board_profile::MsrEntry> MsrEntries(const Json* list) {
    std::vector<board_profile::MsrEntry> out;
    if (!list || !list->is_array()) return out;
    for (const Json& e : *list) {
        std::optional<uint64_t> number = Number(Get(e, "msr"));
        if (!number || *number > 0xFFFFFFFF) continue;
        board_profile::MsrEntry entry;
        entry.number = uint32_t(*number);
        entry.value = Number(Get(e, "value"));
        std::string access = Text(Get(e, "access"));
        if (access == "refused")
            entry.access = board_profile::MsrAccess::kRefused;
        else if (access == "read-only")
            entry.access = board_profile::MsrAccess::kReadOnly;
        else if (access == "read-write")
            entry.access = board_profile::MsrAccess::kReadWrite;
        if (const Json* v = Get(e, "volatile"); v && v->is_boolean())
            entry.isVolatile = v->get<bool>();
        out.push_back(entry);
    }
    return out;
}

void Apply(const Json* entry, Processor& p) {
    if (!entry) return;
    board_profile::ApplyCpuid(p.cpuid, CpuidEntries(Get(*entry, "cpuid")));
    board_profile::ApplyMsrs(p.msrs, MsrEntries(Get(*entry, "msrs")));
}

std::vector<Processor> Processors(const Json& profile) {
    const Json* n = Get(profile, "processors");
    std::optional<uint64_t> count = Number(n ? Get(*n, "count") : nullptr);
    std::vector<Processor> out(size_t(std::min<uint64_t>(count.value_or(0), 64)));
    const Json* each = n ? Get(*n, "each") : nullptr;
    for (size_t i = 0; i < out.size(); ++i) {
        Apply(n, out[i]);
        if (each && each->is_array() && i < each->size()) Apply(&(*each)[i], out[i]);
    }
    return out;
}

// The vendor that function 0 names, which chooses the decoders' names.
uint32_t Vendor(const Processor& p) {
    auto it = p.cpuid.lower_bound({0, 0});
    if (it == p.cpuid.end() || it->first.first != 0) return kCpuVendorUnknown;
    const auto& r = it->second;
    return CpuVendorFromRegisters(CpuidRegisters{r[0], r[1], r[2], r[3]});
}

void CompareProcessors(const Json& a, const Json& b, Differ& d) {
    const Json* na = Get(a, "processors");
    const Json* nb = Get(b, "processors");
    for (const char* key : {"count", "tsc_hz"}) {
        auto va = Number(na ? Get(*na, key) : nullptr), vb = Number(nb ? Get(*nb, key) : nullptr);
        auto text = [](std::optional<uint64_t> v) -> std::optional<std::string> {
            if (!v) return std::nullopt;
            return std::to_string(*v);
        };
        // The counter rate is measured, so it is a volatile value of every capture.
        if (std::string(key) == "tsc_hz" && va != vb) {
            d.Volatile();
            continue;
        }
        d.Add("processors", "", key, text(va), text(vb));
    }
    std::vector<Processor> pa = Processors(a), pb = Processors(b);
    for (size_t i = 0; i < std::max(pa.size(), pb.size()); ++i) {
        std::string section = Format("processor %zu", i);
        if (i >= pa.size() || i >= pb.size()) {
            d.Add(section, "", "",
                  i < pa.size() ? std::optional<std::string>("present") : std::nullopt,
                  i < pb.size() ? std::optional<std::string>("present") : std::nullopt);
            continue;
        }
        // Fields are named only when both profiles describe one vendor's processor.
        const uint32_t vendorA = Vendor(pa[i]);
        const uint32_t vendor = vendorA == Vendor(pb[i]) ? vendorA : kCpuVendorUnknown;
        std::set<std::pair<uint32_t, uint32_t>> leaves;
        for (const auto& [k, v] : pa[i].cpuid) leaves.insert(k);
        for (const auto& [k, v] : pb[i].cpuid) leaves.insert(k);
        static const char* names[4] = {"EAX", "EBX", "ECX", "EDX"};
        for (const auto& key : leaves) {
            auto ia = pa[i].cpuid.find(key), ib = pb[i].cpuid.find(key);
            std::string function =
                Format("CPUID %08llXh", static_cast<unsigned long long>(key.first));
            if (key.second != kAnySub)
                function += Format(" sub-leaf %llu", static_cast<unsigned long long>(key.second));
            if (ia == pa[i].cpuid.end() || ib == pb[i].cpuid.end()) {
                d.Add(
                    section, "", function,
                    ia != pa[i].cpuid.end() ? std::optional<std::string>("listed") : std::nullopt,
                    ib != pb[i].cpuid.end() ? std::optional<std::string>("listed") : std::nullopt);
                continue;
            }
            for (size_t r = 0; r < 4; ++r)
                AddFieldChanges(d.Add(section, "", function + " " + names[r],
                                      Format("%08X", ia->second[r]), Format("%08X", ib->second[r])),
                                CpuidFieldNames(vendor, key.first, int(r)), ia->second[r],
                                ib->second[r]);
        }
        auto msrText = [](const board_profile::MsrState& m) {
            return m.access == board_profile::MsrAccess::kRefused
                       ? std::string("refused")
                       : Format("%016llX", static_cast<unsigned long long>(m.value));
        };
        std::set<uint32_t> numbers;
        for (const auto& [k, v] : pa[i].msrs) numbers.insert(k);
        for (const auto& [k, v] : pb[i].msrs) numbers.insert(k);
        for (uint32_t m : numbers) {
            auto ia = pa[i].msrs.find(m), ib = pb[i].msrs.find(m);
            std::optional<std::string> va, vb;
            bool isVolatile = false;
            if (ia != pa[i].msrs.end())
                va = msrText(ia->second), isVolatile = ia->second.isVolatile;
            if (ib != pb[i].msrs.end())
                vb = msrText(ib->second), isVolatile = isVolatile || ib->second.isVolatile;
            if (va != vb && isVolatile && va && vb) {
                d.Volatile();
                continue;
            }
            BoardDifference* line = d.Add(
                section, "", Format("MSR %08llXh", static_cast<unsigned long long>(m)), va, vb);
            using board_profile::MsrAccess;
            if (line && va && vb && ia->second.access != MsrAccess::kRefused &&
                ib->second.access != MsrAccess::kRefused)
                AddFieldChanges(line, MsrFieldNames(vendor, m), ia->second.value, ib->second.value);
        }
    }
}

// ---- PCI ----

std::string Address(const Json& f) {
    std::string s = Text(Get(f, "address"));
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); });
    return s;
}

// A function's decoded capabilities by a name that is the same wherever the capability lies:
// "pcie" for the capability itself ("pcie[1]" for a second one), "pcie.link_status.speed"
// for a field. A register's fields repeat their names in arrays of entries, so each field is
// also told apart by its place within the capability.
struct DecodedEntry {
    std::string name, value;
    bool capability = false;
    std::string owner;    // the capability's name of a field
    uint32_t offset = 0;  // where it lies in the configuration space
    uint32_t width = 1;
};

std::map<std::string, DecodedEntry> DecodedCapabilities(const std::vector<uint8_t>& config) {
    std::map<std::string, DecodedEntry> out;
    PciCapabilityList list = DecodePciCapabilities(config.data(), uint32_t(config.size()));
    std::map<std::string, int> seen;
    for (const PciCapability& cap : list.capabilities) {
        int n = seen[cap.key]++;
        std::string prefix = n ? Format("%s[%d]", cap.key.c_str(), n) : cap.key;
        std::string where = Format(cap.extended ? "%03Xh" : "%02Xh", cap.offset);
        out[prefix] = {prefix, cap.name + " at " + where, true, prefix, cap.offset, 4};
        for (const PciCapField& f : cap.fields) {
            std::string dotted = prefix + "." + f.reg + "." + f.name;
            out[Format("%s@%X", dotted.c_str(), f.offset - cap.offset)] = {
                dotted, PciCapFieldValueText(f), false, prefix, f.offset, std::max(f.width, 1u)};
        }
    }
    return out;
}

// Adds the capabilities and fields that changed to the register lines they lie in (the count
// line for a register past the listed ones). A capability one side lacks is named alone,
// without its fields.
void AddCapabilityChanges(Differ& d, const std::vector<uint8_t>& ca, const std::vector<uint8_t>& cb,
                          const std::map<size_t, size_t>& lines) {
    if (lines.empty()) return;
    std::map<std::string, DecodedEntry> da = DecodedCapabilities(ca), db = DecodedCapabilities(cb);
    std::set<std::string> keys;
    for (const auto& [k, v] : da) keys.insert(k);
    for (const auto& [k, v] : db) keys.insert(k);
    std::vector<std::pair<uint32_t, std::pair<size_t, BoardFieldChange>>> changes;
    for (const std::string& key : keys) {
        auto ia = da.find(key), ib = db.find(key);
        const DecodedEntry& e = ia != da.end() ? ia->second : ib->second;
        std::optional<std::string> va, vb;
        if (ia != da.end()) va = ia->second.value;
        if (ib != db.end()) vb = ib->second.value;
        if (va == vb) continue;
        if (!e.capability && (!da.count(e.owner) || !db.count(e.owner))) continue;
        // The first listed double word the entry overlaps, else the count line.
        size_t line = SIZE_MAX;
        for (uint32_t at = e.offset & ~3u; at < e.offset + e.width && line == SIZE_MAX; at += 4)
            if (auto it = lines.find(at); it != lines.end()) line = it->second;
        if (line == SIZE_MAX) {
            auto it = lines.find(SIZE_MAX);
            line = it != lines.end() ? it->second : lines.rbegin()->second;
        }
        changes.push_back({e.offset, {line, {e.name, va, vb}}});
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto& [offset, change] : changes) d.At(change.first).fields.push_back(change.second);
}

void ComparePci(const Json& a, const Json& b, Differ& d) {
    const Json* pa = Get(a, "pci");
    const Json* pb = Get(b, "pci");
    d.Add("pci", "", "window",
          pa && Get(*pa, "ecam") ? std::optional(Get(*pa, "ecam")->dump()) : std::nullopt,
          pb && Get(*pb, "ecam") ? std::optional(Get(*pb, "ecam")->dump()) : std::nullopt);
    std::map<std::string, const Json*> fa, fb;
    for (auto [p, m] : {std::pair{pa, &fa}, std::pair{pb, &fb}}) {
        const Json* list = p ? Get(*p, "functions") : nullptr;
        if (list && list->is_array())
            for (const Json& f : *list) (*m)[Address(f)] = &f;
    }
    std::set<std::string> names;
    for (const auto& [k, v] : fa) names.insert(k);
    for (const auto& [k, v] : fb) names.insert(k);
    for (const std::string& name : names) {
        auto ia = fa.find(name), ib = fb.find(name);
        if (ia == fa.end() || ib == fb.end()) {
            d.Add("pci", name, "",
                  ia != fa.end() ? std::optional<std::string>("present") : std::nullopt,
                  ib != fb.end() ? std::optional<std::string>("present") : std::nullopt);
            continue;
        }
        const Json& x = *ia->second;
        const Json& y = *ib->second;
        std::vector<uint8_t> ca = Bytes(Get(x, "config")), cb = Bytes(Get(y, "config"));
        Patch(Get(x, "bytes"), ca);
        Patch(Get(y, "bytes"), cb);
        std::map<size_t, size_t> lines;
        d.CompareBytes("pci", name, ca, cb, 4, "register", 0, nullptr, &lines);
        AddCapabilityChanges(d, ca, cb, lines);
        // Fields of a written profile (vendor_id, bars, capabilities, ...) as they stand.
        std::set<std::string> keys;
        for (std::string_view key : board_profile::KeysOf("pci.functions[]"))
            if (key != "config" && key != "bytes" && key != "note" &&
                (Get(x, std::string(key).c_str()) || Get(y, std::string(key).c_str())))
                keys.insert(std::string(key));
        for (const std::string& key : keys) {
            const Json* va = Get(x, key.c_str());
            const Json* vb = Get(y, key.c_str());
            d.Add("pci", name, key, va ? std::optional(Text(va)) : std::nullopt,
                  vb ? std::optional(Text(vb)) : std::nullopt);
        }
    }
}

// ---- memory, CMOS, ports, SMBus ----

void CompareMemory(const Json& a, const Json& b, Differ& d) {
    std::map<uint64_t, const Json*> ra, rb;
    for (auto [p, m] : {std::pair{&a, &ra}, std::pair{&b, &rb}}) {
        const Json* list = Get(*p, "memory");
        if (list && list->is_array())
            for (const Json& r : *list)
                if (std::optional<uint64_t> base = Number(Get(r, "base"))) (*m)[*base] = &r;
    }
    std::set<uint64_t> bases;
    for (const auto& [k, v] : ra) bases.insert(k);
    for (const auto& [k, v] : rb) bases.insert(k);
    for (uint64_t base : bases) {
        std::string item = Format("region at %08llXh", static_cast<unsigned long long>(base));
        auto ia = ra.find(base), ib = rb.find(base);
        if (ia == ra.end() || ib == rb.end()) {
            d.Add("memory", item, "",
                  ia != ra.end() ? std::optional(Text(Get(*ia->second, "name"))) : std::nullopt,
                  ib != rb.end() ? std::optional(Text(Get(*ib->second, "name"))) : std::nullopt);
            continue;
        }
        for (const char* key : {"size", "kind", "fill"})
            d.Add("memory", item, key, Text(Get(*ia->second, key)), Text(Get(*ib->second, key)));
        std::vector<uint8_t> ba, bb;
        Patch(Get(*ia->second, "bytes"), ba);
        Patch(Get(*ib->second, "bytes"), bb);
        d.CompareBytes("memory", item, ba, bb, 1, "address", base);
    }
}

std::set<size_t> VolatileOffsets(const Json* cmos) {
    std::set<size_t> out;
    if (cmos)
        for (uint8_t o : Bytes(Get(*cmos, "volatile"))) out.insert(o);
    return out;
}

void CompareCmosAndPorts(const Json& a, const Json& b, Differ& d) {
    const Json* ca = Get(a, "cmos");
    const Json* cb = Get(b, "cmos");
    std::set<size_t> skip = VolatileOffsets(ca), more = VolatileOffsets(cb);
    skip.insert(more.begin(), more.end());
    for (std::string_view key : board_profile::KeysOf("cmos")) {
        if (!key.starts_with("bank")) continue;
        const std::string bank(key);
        const Json* va = ca ? Get(*ca, bank.c_str()) : nullptr;
        const Json* vb = cb ? Get(*cb, bank.c_str()) : nullptr;
        if (!va && !vb) continue;
        if (!va || !vb) {
            d.Add("cmos", bank, "", va ? std::optional<std::string>("present") : std::nullopt,
                  vb ? std::optional<std::string>("present") : std::nullopt);
            continue;
        }
        d.CompareBytes("cmos", bank, Bytes(va), Bytes(vb), 1, "offset", 0,
                       bank == "bank70" ? &skip : nullptr);
    }
    std::vector<uint8_t> pa, pb;
    Patch(Get(a, "ports"), pa);
    Patch(Get(b, "ports"), pb);
    d.CompareBytes("ports", "", pa, pb, 1, "port");
}

void CompareSmbus(const Json& a, const Json& b, Differ& d) {
    std::map<std::string, const Json*> ca, cb;
    for (auto [p, m] : {std::pair{&a, &ca}, std::pair{&b, &cb}}) {
        const Json* list = Get(*p, "smbus");
        if (list && list->is_array())
            for (const Json& c : *list)
                (*m)[Address(Json{{"address", Text(Get(c, "function"))}}) + " register " +
                     Text(Get(c, "base_register"))] = &c;
    }
    std::set<std::string> names;
    for (const auto& [k, v] : ca) names.insert(k);
    for (const auto& [k, v] : cb) names.insert(k);
    for (const std::string& name : names) {
        auto ia = ca.find(name), ib = cb.find(name);
        if (ia == ca.end() || ib == cb.end()) {
            d.Add("smbus", name, "",
                  ia != ca.end() ? std::optional(Text(Get(*ia->second, "model"))) : std::nullopt,
                  ib != cb.end() ? std::optional(Text(Get(*ib->second, "model"))) : std::nullopt);
            continue;
        }
        for (const char* key : {"model", "kernel_driver"}) {
            const Json* va = Get(*ia->second, key);
            const Json* vb = Get(*ib->second, key);
            d.Add("smbus", name, key, va ? std::optional(Text(va)) : std::nullopt,
                  vb ? std::optional(Text(vb)) : std::nullopt);
        }
        std::map<uint64_t, const Json*> da, db;
        for (auto [c, m] : {std::pair{ia->second, &da}, std::pair{ib->second, &db}}) {
            const Json* list = Get(*c, "devices");
            if (list && list->is_array())
                for (const Json& dev : *list)
                    if (std::optional<uint64_t> at = Number(Get(dev, "address"))) (*m)[*at] = &dev;
        }
        std::set<uint64_t> addresses;
        for (const auto& [k, v] : da) addresses.insert(k);
        for (const auto& [k, v] : db) addresses.insert(k);
        for (uint64_t at : addresses) {
            std::string item =
                name + Format(" device %02llXh", static_cast<unsigned long long>(at));
            auto xa = da.find(at), xb = db.find(at);
            if (xa == da.end() || xb == db.end()) {
                d.Add(
                    "smbus", item, "",
                    xa != da.end() ? std::optional(Text(Get(*xa->second, "kind"))) : std::nullopt,
                    xb != db.end() ? std::optional(Text(Get(*xb->second, "kind"))) : std::nullopt);
                continue;
            }
            d.Add("smbus", item, "kind", Text(Get(*xa->second, "kind")),
                  Text(Get(*xb->second, "kind")));
            d.CompareBytes("smbus", item, Bytes(Get(*xa->second, "bytes")),
                           Bytes(Get(*xb->second, "bytes")), 1, "byte");
        }
    }
}

}  // namespace

bool DiffBoardProfiles(const std::string& textA, const std::string& textB, BoardDiff& diff,
                       std::string& error) {
    Json a, b;
    for (auto [text, json, name] : {std::tuple{&textA, &a, "A"}, std::tuple{&textB, &b, "B"}}) {
        *json = Json::parse(*text, nullptr, false);
        if (!json->is_object()) {
            error = std::string(name) + ": not a board profile (a JSON object)";
            return false;
        }
    }
    diff = {};
    Differ d(diff);
    for (const char* key : {"computer", "version"})
        d.Add("board", "", key, Get(a, key) ? std::optional(Text(Get(a, key))) : std::nullopt,
              Get(b, key) ? std::optional(Text(Get(b, key))) : std::nullopt);
    CompareProcessors(a, b, d);
    ComparePci(a, b, d);
    CompareMemory(a, b, d);
    CompareCmosAndPorts(a, b, d);
    CompareSmbus(a, b, d);
    return true;
}

std::string BoardDiffText(const BoardDiff& diff) {
    std::string out;
    for (const BoardDifference& x : diff.differences) {
        std::string where = x.section;
        if (!x.item.empty()) where += " " + x.item;
        if (!x.field.empty()) where += " " + x.field;
        out += where + ": " + x.a.value_or("absent") + " -> " + x.b.value_or("absent") + "\n";
        for (const BoardFieldChange& f : x.fields)
            out += "    " + f.name + ": " + f.a.value_or("absent") + " -> " +
                   f.b.value_or("absent") + "\n";
    }
    out += Format("%zu difference%s", diff.differences.size(),
                  diff.differences.size() == 1 ? "" : "s");
    if (diff.skippedVolatile) out += Format(" (%zu volatile values skipped)", diff.skippedVolatile);
    out += "\n";
    return out;
}

nlohmann::ordered_json BoardDiffJson(const BoardDiff& diff) {
    nlohmann::ordered_json out;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const BoardDifference& x : diff.differences) {
        nlohmann::ordered_json e;
        e["section"] = x.section;
        e["item"] = x.item;
        e["field"] = x.field;
        e["a"] = x.a ? nlohmann::ordered_json(*x.a) : nlohmann::ordered_json(nullptr);
        e["b"] = x.b ? nlohmann::ordered_json(*x.b) : nlohmann::ordered_json(nullptr);
        if (!x.fields.empty()) {
            nlohmann::ordered_json fields = nlohmann::ordered_json::array();
            for (const BoardFieldChange& f : x.fields)
                fields.push_back(
                    {{"name", f.name},
                     {"a", f.a ? nlohmann::ordered_json(*f.a) : nlohmann::ordered_json(nullptr)},
                     {"b", f.b ? nlohmann::ordered_json(*f.b) : nlohmann::ordered_json(nullptr)}});
            e["fields"] = fields;
        }
        list.push_back(e);
    }
    out["differences"] = list;
    out["count"] = diff.differences.size();
    out["skipped_volatile"] = diff.skippedVolatile;
    return out;
}

}  // namespace kvt
