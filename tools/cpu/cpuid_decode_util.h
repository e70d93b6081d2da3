// Small helpers shared by the CPUID decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cpu/cpuid_decode.h"
#include "tools/cpu/cpuid_record.h"

// Internal to the decoders; the namespace keeps these general names out of kvt.
namespace kvt::cpuid_decode {

// Bits high:low of a register. Computed in 64 bits so that a field as wide as the register
// (31:0) keeps every bit, and bits above 31 read as zero instead of wrapping around.
constexpr uint32_t BitField(uint32_t value, int high, int low) {
    if (low < 0 || high < low || low > 31) return 0;
    int width = high - low + 1;
    uint64_t mask = width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    return static_cast<uint32_t>((uint64_t{value} >> low) & mask);
}

// Bit n of a register as 0 or 1, for the "%d" of the feature lines.
constexpr int Bit(uint32_t value, int n) {
    return static_cast<int>(BitField(value, n, n));
}

// The four bytes of a register as characters, lowest byte first, for "%.4s"; the extra
// terminating zero makes the buffer safe for any string conversion.
struct RegisterChars {
    char c[5];
};
constexpr RegisterChars Chars(uint32_t value) {
    return RegisterChars{{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                          static_cast<char>((value >> 16) & 0xFF),
                          static_cast<char>((value >> 24) & 0xFF), '\0'}};
}

// Appends printf-style formatted text.
void Appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// One line that shows a single bit with "%d".
struct BitLine {
    int bit;
    const char* format;
};
// One line that shows bits high:low with "0x%x".
struct FieldLine {
    int high;
    int low;
    const char* format;
};

template <size_t N>
void AppendBitLines(std::string& out, uint32_t value, const BitLine (&lines)[N]) {
    for (const BitLine& line : lines) Appendf(out, line.format, Bit(value, line.bit));
}
template <size_t N>
void AppendFieldLines(std::string& out, uint32_t value, const FieldLine (&lines)[N]) {
    for (const FieldLine& line : lines)
        Appendf(out, line.format, BitField(value, line.high, line.low));
}

// The name a decoder line gives its bit or field: the text after its last tab, without the
// line end. Reserved bits have no name.
inline void AppendName(std::vector<CpuidFieldName>& out, int high, int low, std::string_view line) {
    size_t tab = line.rfind('\t');
    std::string_view name = line.substr(tab == std::string_view::npos ? 0 : tab + 1);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.remove_suffix(1);
    if (!name.empty() && name != "Reserved") out.push_back({high, low, std::string(name)});
}
template <size_t N>
void AppendNames(std::vector<CpuidFieldName>& out, const BitLine (&lines)[N]) {
    for (const BitLine& line : lines) AppendName(out, line.bit, line.bit, line.format);
}
template <size_t N>
void AppendNames(std::vector<CpuidFieldName>& out, const FieldLine (&lines)[N]) {
    for (const FieldLine& line : lines) AppendName(out, line.high, line.low, line.format);
}

// The names the extended and Transmeta decoders give register `reg` of `function`.
void AppendExtendedFieldNames(std::vector<CpuidFieldName>& out, uint32_t vendor, uint32_t function,
                              int reg);

// The result of a function, or nullptr when the record does not hold it: beyond the highest
// function of its range, or beyond the end of the array the collection filled.
const CpuidRegisters* StandardEntry(const CpuidRecord& record, uint32_t function);
const CpuidRegisters* ExtendedEntry(const CpuidRecord& record, uint32_t function);
const CpuidRegisters* TransmetaEntry(const CpuidRecord& record, uint32_t function);

constexpr uint32_t kExtendedBase = 0x80000000;
constexpr uint32_t kTransmetaBase = 0x80860000;

}  // namespace kvt::cpuid_decode
