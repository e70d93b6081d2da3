// Intel texts, checked whole against texts worked out by hand from real register values.
#include <gtest/gtest.h>

#include "tests/cpu_decode/cpu_dumps.h"
#include "tools/cpu/cpuid_decode.h"

namespace kvt {
namespace {

using test::Core2DuoE6420;
using test::Pentium4Northwood;

TEST(IntelDecode, VendorAndSignatureOfCore2) {
    CpuidRecord record = Core2DuoE6420();
    // The heading ends in two carriage returns; the register lines use two tabs.
    EXPECT_EQ(DecodeCpuidFunction(record, 0),
              "Standard Function 0:\t\t\"GenuineIntel\"\r\r\n"
              "\tEAX = 0x0000000a\t\tHighest Supported Standard Function\r\n"
              "\tEBX = 0x756e6547\t\t\"Genu\"\r\n"
              "\tECX = 0x6c65746e\t\t\"ntel\"\r\n"
              "\tEDX = 0x49656e69\t\t\"ineI\"\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 1),
              "Standard Function 1:\r\n"
              "\tEAX = 0x000006f6\r\n"
              "\t\tBits 13:12\t0x0\tType\r\n"
              "\t\tBits 11:8\t\t0x6\tFamily\r\n"
              "\t\tBits 7:4\t\t0xf\tModel\r\n"
              "\t\tBits 3:0\t\t0x6\tStepping\r\n"
              "\tEBX = 0x00020800\r\n"
              "\t\tBits 7:0\t\t0x0\t8-Bit Brand ID\r\n"
              "\t\tBits 15:8\t\t0x8\tCLFLUSH Size\r\n"
              "\t\tBits 23:16\t0x2\tCount of logical processors\r\n"
              "\t\tBits 31:24\t0x0\tAPIC ID\r\n"
              "\tECX = 0x0000e3bd\r\n"
              "\t\tBit 0\t1\tStreaming SIMD Extensions (SSE3)\r\n"
              "\t\tBit 3\t1\tMONITOR/MWAIT\r\n"
              "\t\tBit 4\t1\tCPL Qualified Debug Store\r\n"
              "\t\tBit 7\t1\tEnhanced SpeedStep Technology\r\n"
              "\t\tBit 8\t1\tThermal Monitor 2\r\n"
              "\t\tBit 10\t0\tContext ID\r\n"
              "\t\tBit 13\t1\tCMPXCHG16B\r\n"
              "\t\tBit 14\t1\tSend Task Priority Messages\r\n"
              "\tEDX = 0xbfebfbff\r\n"
              "\t\tBit 0\t1\tFloating-Point Unit\r\n"
              "\t\tBit 1\t1\tVirtual Mode Extension\r\n"
              "\t\tBit 2\t1\tDebugging Extension\r\n"
              "\t\tBit 3\t1\tPage Size Extension (4-Mbyte pages)\r\n"
              "\t\tBit 4\t1\tTime Stamp Counter\r\n"
              "\t\tBit 5\t1\tModel-Specific Registers\r\n"
              "\t\tBit 6\t1\tPAE (Physical Address Extension)\r\n"
              "\t\tBit 7\t1\tMachine Check Exception\r\n"
              "\t\tBit 8\t1\tCMPXCHG8B Instruction\r\n"
              "\t\tBit 9\t1\tAPIC\r\n"
              "\t\tBit 11\t1\tFast System Call\r\n"
              "\t\tBit 12\t1\tMemory Type Range Registers\r\n"
              "\t\tBit 13\t1\tPage Global Enable\r\n"
              "\t\tBit 14\t1\tMachine Check Architecture\r\n"
              "\t\tBit 15\t1\tConditional Move Instruction Supported\r\n"
              "\t\tBit 16\t1\tPAT (Page Attribute Table)\r\n"
              "\t\tBit 17\t1\tPSE-36 (36-bit Page Size Extension)\r\n"
              "\t\tBit 18\t0\tProcessor serial number is present and enabled\r\n"
              "\t\tBit 19\t1\tCFLUSH Instruction Supported\r\n"
              "\t\tBit 21\t1\tDebug Store\r\n"
              "\t\tBit 22\t1\tACPI (Thermal Monitor and Software Controlled Clock Facilities "
              "supported\r\n"
              "\t\tBit 23\t1\tMMX Instructions\r\n"
              "\t\tBit 24\t1\tFast floating point save and restore\r\n"
              "\t\tBit 25\t1\tSSE Instructions\r\n"
              "\t\tBit 26\t1\tSSE2\r\n"
              "\t\tBit 27\t1\tSelf-Snoop\r\n"
              "\t\tBit 28\t1\tHyper-Threading Technology\r\n"
              "\t\tBit 29\t1\tThermal Monitor supported\r\n"
              "\t\tBit 31\t1\tPending Break Enable\r\n");
}

TEST(IntelDecode, CacheDescriptorsOfFunction2) {
    // Core 2: known and unknown descriptors side by side, a register of zeros shows four
    // "Null" lines, and the count byte of EAX (01) is not shown.
    EXPECT_EQ(DecodeCpuidFunction(Core2DuoE6420(), 2),
              "Standard Function 2:\tCache Size, Format and TLB Information\r\n"
              "\tEAX = 0x05b0b101\r\n"
              "\t\tBit 31:24\t\t0x5\tUnsupported\r\n"
              "\t\tBit 23:16\t\t0xb0\tInstruction TLB: 4K-byte Pages, 4-way set associative, "
              "128 entries\r\n"
              "\t\tBit 15:8\t\t0xb1\tUnsupported\r\n"
              "\tEBX = 0x005657f0\r\n"
              "\t\tBit 31:24\t\t0x0\tNull\r\n"
              "\t\tBit 23:16\t\t0x56\tUnsupported\r\n"
              "\t\tBit 15:8\t\t0x57\tUnsupported\r\n"
              "\t\tBit 7:0\t\t0xf0\t64-byte Prefetching\r\n"
              "\tECX = 0x00000000\r\n"
              "\t\tBit 31:24\t\t0x0\tNull\r\n"
              "\t\tBit 23:16\t\t0x0\tNull\r\n"
              "\t\tBit 15:8\t\t0x0\tNull\r\n"
              "\t\tBit 7:0\t\t0x0\tNull\r\n"
              "\tEDX = 0x2cb43049\r\n"
              "\t\tBit 31:24\t\t0x2c\t1st-level data cache: 32K-bytes, 8-way set associative, "
              "64-byte line size\r\n"
              "\t\tBit 23:16\t\t0xb4\tUnsupported\r\n"
              "\t\tBit 15:8\t\t0x30\t1st-level instruction cache: 32K-bytes, 8-way set "
              "associative, 64-byte line size\r\n"
              "\t\tBit 7:0\t\t0x49\tUnsupported\r\n");

    // Pentium 4: trace cache, sectored caches and the "no 3rd-level cache" descriptor.
    std::string p4 = DecodeCpuidFunction(Pentium4Northwood(), 2);
    EXPECT_NE(p4.find("\tEAX = 0x665b5001\r\n"
                      "\t\tBit 31:24\t\t0x66\t1st-level data cache: 8K-bytes, 4-way set "
                      "associative, sectored cache, 64-byte line size\r\n"
                      "\t\tBit 23:16\t\t0x5b\tData TLB: 4K or 4M pages, fully associative, 64 "
                      "entries\r\n"
                      "\t\tBit 15:8\t\t0x50\tInstruction TLB: 4K, 2M or 4M pages, fully "
                      "associative, 64 entries\r\n"
                      "\tEBX = 0x00000000\r\n"),
              std::string::npos);
    EXPECT_NE(p4.find("\tEDX = 0x007b7040\r\n"
                      "\t\tBit 31:24\t\t0x0\tNull\r\n"
                      "\t\tBit 23:16\t\t0x7b\t2nd-level cache: 512K-bytes, 8-way set "
                      "associative, sectored cache, 64-byte line size\r\n"
                      "\t\tBit 15:8\t\t0x70\tTrace cache: 12K-uops, 8-way set associative\r\n"
                      "\t\tBit 7:0\t\t0x40\tNo 2nd-level cache or, if processor contains a "
                      "valid 2nd-level cache, no3rd-level cache\r\n"),
              std::string::npos);

    // A register with bit 31 set holds no descriptors: its header line stands alone.
    CpuidRecord record = Core2DuoE6420();
    record.standard[2] = {0x80000001, 0x80000000, 0xffffffff, 0x0C040843};
    EXPECT_EQ(DecodeCpuidFunction(record, 2),
              "Standard Function 2:\tCache Size, Format and TLB Information\r\n"
              "\tEAX = 0x80000001\r\n"
              "\tEBX = 0x80000000\r\n"
              "\tECX = 0xffffffff\r\n"
              "\tEDX = 0x0c040843\r\n"
              "\t\tBit 31:24\t\t0xc\t1st-level data cache: 16K-bytes, 4-way set associative, "
              "32 byte line size\r\n"
              "\t\tBit 23:16\t\t0x4\tData TLB: 4M-byte Pages, 4-way set associative, 8 "
              "entries\r\n"
              "\t\tBit 15:8\t\t0x8\t1st-level instruction cache: 16K-bytes, 4-way set "
              "associative, 32 byte line size\r\n"
              "\t\tBit 7:0\t\t0x43\t2nd-level cache: 512K-bytes, 4-way set associative, 32 "
              "byte line size\r\n");
}

TEST(IntelDecode, SerialCacheParametersAndMonitor) {
    CpuidRecord record = Core2DuoE6420();
    EXPECT_EQ(DecodeCpuidFunction(record, 3),
              "Standard Function 3:\tPROCESSOR SERIAL NUMBER\r\n"
              "\tEAX = 0x00000000\r\n"
              "\tEBX = 0x00000000\r\n"
              "\tECX = 0x00000000\tBits 31-00 of the 96 bit processor serial number\r\n"
              "\tEDX = 0x00000000\tBits 63-32 of the 96 bit processor serial number\r\n");
    // Fields as stored (no 1 added); the sets field spans the whole of ECX.
    EXPECT_EQ(DecodeCpuidFunction(record, 4),
              "Standard Function 4:\r\n"
              "\tEAX = 0x04000121\r\n"
              "\t\tBits 31:26\t0x1\tNumber of processor cores on this die (Multicore)\r\n"
              "\t\tBits 25:14\t\t0x0\tNumber of threads sharing this cache\r\n"
              "\t\tBits 13:10\t\t0x0\tReserved\r\n"
              "\t\tBits 9\t\t0x0\tFully Associative cache\r\n"
              "\t\tBits 8\t\t0x1\tSelf Initializing cache level (does not need SW "
              "initialization)\r\n"
              "\t\tBits 7:5\t\t0x1\tCache Level (starts at 1)\r\n"
              "\t\tBits 4:0\t\t0x1\tCache Type\r\n"
              "\tEBX = 0x01c0003f\r\n"
              "\t\tBits 31:22\t0x7\tWays of associativity\r\n"
              "\t\tBits 21:12\t0x0\tPhysical Lin partitions\r\n"
              "\t\tBits 11:0\t0x3f\tSystem Coherency Line Size\r\n"
              "\tECX = 0x0000003f\r\n"
              "\t\tBits 31:0\t0x3f\tNumber of Sets\r\n"
              "\tEDX = 0x00000001\tReserved\r\n");
    record.standard[4].ecx = 0xfedcba98;
    EXPECT_NE(DecodeCpuidFunction(record, 4).find("\t\tBits 31:0\t0xfedcba98\tNumber of Sets\r\n"),
              std::string::npos);
    EXPECT_EQ(DecodeCpuidFunction(record, 5),
              "Standard Function 5:\r\n"
              "\tEAX = 0x00000040\r\n"
              "\t\tBits 31:16\t0x0\tReserved\r\n"
              "\t\tBits 15:0\t\t0x40\tSmallest monitor-line size in bytes\r\n"
              "\tEBX = 0x00000040\r\n"
              "\t\tBits 31:16\t0x0\tReserved\r\n"
              "\t\tBits 15:0\t\t0x40\tLargest monitor-line size in bytes\r\n"
              "\tECX = 0x00000003\tReserved\r\n"
              "\tEDX = 0x00000020\tReserved\r\n");
}

TEST(IntelDecode, ExtendedFunctionsOfCore2) {
    CpuidRecord record = Core2DuoE6420();
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000000),
              "Extended Function 0x80000000:\r\n"
              "\tEAX = 0x80000008\tLargest Extended Function\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000001),
              "Extended Function 0x80000001:\r\n"
              "\tEAX = 0x00000000\tReserved\r\n"
              "\tEBX = 0x00000000\tReserved\r\n"
              "\tECX = 0x00000001\r\n"
              "\t\tBit 20\t0\tLAHF/SAHF\r\n"
              "\tEDX = 0x20100000\r\n"
              "\t\tBit 11\t0\tSYSCALL/SYSRET\r\n"
              "\t\tBit 20\t1\tExecution Disable Bit\r\n"
              "\t\tBit 29\t1\tIntel (R) Extended Memory 64 Technology\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000006),
              "Extended Function 0x80000006:\r\n"
              "\tEAX = 0x00000000\tReserved\r\n"
              "\tEBX = 0x00000000\tReserved\r\n"
              "\tECX = 0x10008040\r\n"
              "\t\tBits 31:16\t0x1000\tL2 Cache Size in 1-K units\r\n"
              "\t\tBits 15:12\t\t0x8\tL2 Cache Associativity\r\n"
              "\t\tBits 11:8\t\t0x0\tReserved\r\n"
              "\t\tBits 7:0\t\t0x40\tL2 Cache Line Size\r\n");
    // 0x80000007 and 0x80000008 have no heading line.
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000007),
              "\tEAX = 0x00000000\tReserved\r\n"
              "\tEBX = 0x00000000\tReserved\r\n"
              "\tECX = 0x00000000\tReserved\r\n"
              "\tEDX = 0x00000000\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000008),
              "\tEAX = 0x00003024\r\n"
              "\t\tBits 31:16\t0x0\tReserved\r\n"
              "\t\tBits 15:8\t\t0x30\tVirtual Address Size (# of bits)\r\n"
              "\t\tBits 7:0\t\t0x24\tPhysical Address Size (# of bits)\r\n"
              "\tEBX = 0x00000000\tReserved\r\n"
              "\tECX = 0x00000000\tReserved\r\n"
              "\tEDX = 0x00000000\tReserved\r\n");
}

TEST(IntelDecode, NameStringStopsEachPieceAtAZeroByte) {
    CpuidRecord record = Core2DuoE6420();
    const std::string expected =
        "Extended Function 0x80000002-0x80000004:\t\"Intel(R) Core(TM)2 CPU          6420  @ "
        "2.13GHz\"\r\n"
        "\t0x80000002.EAX = 0x65746e49\t\"Inte\"\r\n"
        "\t0x80000002.EBX = 0x2952286c\t\"l(R)\"\r\n"
        "\t0x80000002.ECX = 0x726f4320\t\" Cor\"\r\n"
        "\t0x80000002.EDX = 0x4d542865\t\"e(TM\"\r\n"
        "\t0x80000003.EAX = 0x43203229\t\")2 C\"\r\n"
        "\t0x80000003.EBX = 0x20205550\t\"PU  \"\r\n"
        "\t0x80000003.ECX = 0x20202020\t\"    \"\r\n"
        "\t0x80000003.EDX = 0x20202020\t\"    \"\r\n"
        "\t0x80000004.EAX = 0x30323436\t\"6420\"\r\n"
        "\t0x80000004.EBX = 0x20402020\t\"  @ \"\r\n"
        "\t0x80000004.ECX = 0x33312e32\t\"2.13\"\r\n"
        "\t0x80000004.EDX = 0x007a4847\t\"GHz\"\r\n";
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000002), expected);
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000003), expected);
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000004), expected);

    // A zero byte in the middle of a register ends that piece; the next register goes on.
    record.extended[2].ebx = 0x29520028;  // "(", zero, "R)"
    std::string text = DecodeCpuidFunction(record, 0x80000002);
    EXPECT_EQ(text.substr(0, text.find("\r\n")),
              "Extended Function 0x80000002-0x80000004:\t\"Inte( Core(TM)2 CPU          6420  @ "
              "2.13GHz\"");
    EXPECT_NE(text.find("\t0x80000002.EBX = 0x29520028\t\"(\"\r\n"), std::string::npos);

    std::string p4 = DecodeCpuidFunction(Pentium4Northwood(), 0x80000003);
    EXPECT_EQ(p4.substr(0, p4.find("\r\n")),
              "Extended Function 0x80000002-0x80000004:\t\"              Intel(R) Pentium(R) 4 "
              "CPU 3.06GHz\"");
}

TEST(IntelDecode, FunctionsWithoutExplanationAreEmpty) {
    CpuidRecord record = Core2DuoE6420();
    for (uint32_t f = 6; f <= 10; ++f) EXPECT_EQ(DecodeCpuidFunction(record, f), "") << f;
    EXPECT_EQ(DecodeCpuidFunction(record, 11), "");  // beyond the highest standard function
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000005), "");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000009), "");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80860000), "");
    // The Pentium 4 stops at function 2 and extended function 0x80000004.
    CpuidRecord p4 = Pentium4Northwood();
    EXPECT_EQ(DecodeCpuidFunction(p4, 3), "");
    EXPECT_EQ(DecodeCpuidFunction(p4, 0x80000006), "");
    EXPECT_NE(DecodeCpuidFunction(p4, 2), "");
}

}  // namespace
}  // namespace kvt
