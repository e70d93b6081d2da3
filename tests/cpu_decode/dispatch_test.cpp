// Decoder choice by vendor and range, and records whose arrays do not hold what their
// counts promise.
#include <gtest/gtest.h>

#include "tests/cpu_decode/cpu_dumps.h"
#include "tools/cpu/cache_descriptors.h"
#include "tools/cpu/cpuid_decode.h"
#include "tools/cpu/cpuid_decoders.h"

namespace kvt {
namespace {

using test::Athlon64X2_6400;
using test::Core2DuoE6420;
using test::CrusoeTM5700;

// Every function number a record lists, plus a few on either side of each range.
std::vector<uint32_t> FunctionsAround(const CpuidRecord& record) {
    std::vector<uint32_t> functions;
    for (uint32_t f = 0; f <= 40; ++f) functions.push_back(f);
    for (uint32_t f = 0x7ffffffe; f <= 0x80000022; ++f) functions.push_back(f);
    for (uint32_t f = 0x8085fffe; f <= 0x8086000a; ++f) functions.push_back(f);
    functions.push_back(record.highestExtended);
    functions.push_back(0xffffffff);
    return functions;
}

TEST(CpuidDispatch, ViaAndUnrecognisedVendorsGetNoText) {
    for (uint32_t vendor : {uint32_t{kCpuVendorVia}, uint32_t{kCpuVendorUnknown}, uint32_t{0}}) {
        for (CpuidRecord record : {Core2DuoE6420(), Athlon64X2_6400(), CrusoeTM5700()}) {
            record.vendor = vendor;
            for (uint32_t f : FunctionsAround(record))
                EXPECT_EQ(DecodeCpuidFunction(record, f), "") << vendor << " " << f;
        }
    }
}

TEST(CpuidDispatch, VendorChoosesTheDecoder) {
    // The same registers read by each vendor's decoder: the vendor code alone decides.
    CpuidRecord record = Core2DuoE6420();
    EXPECT_EQ(DecodeCpuidFunction(record, 0), DecodeIntelStandard(record, 0));
    record.vendor = kCpuVendorAmd;
    EXPECT_EQ(DecodeCpuidFunction(record, 0), DecodeAmdStandard(record, 0));
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000005), DecodeAmdExtended(record, 0x80000005));
    EXPECT_NE(DecodeCpuidFunction(record, 0x80000005), "");
    EXPECT_EQ(DecodeCpuidFunction(record, 4), "");
    record.vendor = kCpuVendorTransmeta;
    EXPECT_EQ(DecodeCpuidFunction(record, 2), "Standard Function 2:\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000006), DecodeTransmetaExtended(record, 0x80000006));
    // An Intel record never reaches the Transmeta functions, even if it held them.
    CpuidRecord crusoe = CrusoeTM5700();
    crusoe.vendor = kCpuVendorIntel;
    EXPECT_EQ(DecodeCpuidFunction(crusoe, 0x80860001), "");
    EXPECT_NE(DecodeTransmetaFunction(crusoe, 0x80860001), "");
}

TEST(CpuidDispatch, ShortOrEmptyRecordsNeverReadPastTheirArrays) {
    // Nothing collected at all.
    CpuidRecord empty;
    for (uint32_t vendor : {kCpuVendorIntel, kCpuVendorAmd, kCpuVendorTransmeta}) {
        empty.vendor = vendor;
        for (uint32_t f : FunctionsAround(empty)) EXPECT_EQ(DecodeCpuidFunction(empty, f), "");
    }

    // Counts larger than the arrays: what is present is shown, the rest is empty.
    for (CpuidRecord record : {Core2DuoE6420(), Athlon64X2_6400(), CrusoeTM5700()}) {
        record.standard.resize(1);
        record.highestStandard = 0x7fffffff;
        record.extended.resize(3);  // 0x80000000 to 0x80000002
        record.highestExtended = 0xffffffff;
        record.transmeta.resize(record.transmeta.empty() ? 0 : 4);  // to 0x80860003
        if (!record.transmeta.empty()) record.highestTransmeta = 0xffffffff;
        for (uint32_t f : FunctionsAround(record)) {
            std::string text = DecodeCpuidFunction(record, f);
            bool present = f == 0 || f == 0x80000000 || f == 0x80000001 ||
                           (!record.transmeta.empty() && f >= 0x80860000 && f <= 0x80860002);
            EXPECT_EQ(text.empty(), !present) << record.vendor << " " << std::hex << f;
        }
    }

    // The direct decoders guard themselves the same way.
    CpuidRecord crusoe = CrusoeTM5700();
    crusoe.transmeta.resize(6);  // information string incomplete: 0x80860006 missing
    EXPECT_EQ(DecodeTransmetaFunction(crusoe, 0x80860003), "");
    EXPECT_EQ(DecodeTransmetaFunction(crusoe, 0x80860007), "");
    EXPECT_NE(DecodeTransmetaFunction(crusoe, 0x80860002), "");
    EXPECT_EQ(DecodeIntelStandard(Core2DuoE6420(), 11), "");
    EXPECT_EQ(DecodeAmdExtended(Athlon64X2_6400(), 0x80000019), "");
    EXPECT_EQ(DecodeTransmetaStandard(CrusoeTM5700(), 0x80000000), "");
}

TEST(CacheDescriptors, TableTextsAndUnknownValues) {
    int known = 0;
    for (uint32_t d = 0; d < 256; ++d)
        if (std::string(CacheDescriptorText(d)) != "Unsupported") ++known;
    EXPECT_EQ(known, 54);
    EXPECT_STREQ(CacheDescriptorText(0x00), "Null");
    EXPECT_STREQ(CacheDescriptorText(0x0A),
                 "1st-level data cache: 8K-bytes, 2-way set associative, 32 byte line size");
    EXPECT_STREQ(CacheDescriptorText(0x68),
                 "1st-level data cache: 32K-bytes, 4 way set associative, sectored cache, "
                 "64-byte line size");
    EXPECT_STREQ(CacheDescriptorText(0x87),
                 "2nd-level cache: 1M-bytes, 8-way set associative, 64 byte line size");
    EXPECT_STREQ(CacheDescriptorText(0xF1), "128-byte Prefetching");
    for (uint32_t d : {0x05u, 0x07u, 0x88u, 0xB1u, 0xF2u, 0xFFu, 0x100u, 0xFFFFFFFFu})
        EXPECT_STREQ(CacheDescriptorText(d), "Unsupported") << d;
}

TEST(CacheDescriptors, LinesShowTheByteWithoutLeadingZeros) {
    std::string text;
    DescribeCacheDescriptor(text, 0x00000001, 31, 24);
    DescribeCacheDescriptor(text, 0x05FF0000, 31, 24);
    DescribeCacheDescriptor(text, 0x05FF0000, 23, 16);
    DescribeCacheDescriptor(text, 0x0C040843, 7, 0);
    EXPECT_EQ(text,
              "\t\tBit 31:24\t\t0x0\tNull\r\n"
              "\t\tBit 31:24\t\t0x5\tUnsupported\r\n"
              "\t\tBit 23:16\t\t0xff\tUnsupported\r\n"
              "\t\tBit 7:0\t\t0x43\t2nd-level cache: 512K-bytes, 4-way set associative, 32 byte "
              "line size\r\n");

    // EAX = 1: one execution and three null descriptors.
    CpuidRecord record = Core2DuoE6420();
    record.standard[2] = {0x00000001, 0x80000000, 0x80000000, 0x80000000};
    EXPECT_EQ(DecodeCpuidFunction(record, 2),
              "Standard Function 2:\tCache Size, Format and TLB Information\r\n"
              "\tEAX = 0x00000001\r\n"
              "\t\tBit 31:24\t\t0x0\tNull\r\n"
              "\t\tBit 23:16\t\t0x0\tNull\r\n"
              "\t\tBit 15:8\t\t0x0\tNull\r\n"
              "\tEBX = 0x80000000\r\n"
              "\tECX = 0x80000000\r\n"
              "\tEDX = 0x80000000\r\n");
}

}  // namespace
}  // namespace kvt
