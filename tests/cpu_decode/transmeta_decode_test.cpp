// Transmeta texts, checked whole against texts worked out by hand from a Crusoe TM5700 dump,
// and the lines whose wording depends on the register values.
#include <gtest/gtest.h>

#include "tests/cpu_decode/cpu_dumps.h"
#include "tools/cpu/cpuid_decode.h"

namespace kvt {
namespace {

using test::CrusoeTM5700;

// The line of the text that starts with the given prefix, or "" when there is none.
std::string LineStartingWith(const std::string& text, const std::string& prefix) {
    size_t at = text.find(prefix);
    if (at == std::string::npos) return "";
    return text.substr(at, text.find("\r\n", at) + 2 - at);
}

TEST(TransmetaDecode, StandardFunctions) {
    CpuidRecord record = CrusoeTM5700();
    EXPECT_EQ(DecodeCpuidFunction(record, 0),
              "Standard Function 0:\t\t\"GenuineTMx86\"\r\n"
              "\tEAX = 0x00000001\tHighest Supported Standard Function\r\n"
              "\tEBX = 0x756e6547\t\"Genu\"\r\n"
              "\tECX = 0x3638784d\t\"Mx86\"\r\n"
              "\tEDX = 0x54656e69\t\"ineT\"\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 1),
              "Standard Function 1:\r\n"
              "\tEAX = 0x00000543\r\n"
              "\t\tBits 13:12\t0x0\tType\r\n"
              "\t\tBits 11:8\t0x5\tFamily\r\n"
              "\t\tBits 7:4\t0x4\tModel\r\n"
              "\t\tBits 3:0\t0x3\tStepping\r\n"
              "\tEBX = 0x00000000\r\n"
              "\t\tBits 7:0\t0x0\t8-Bit Brand ID\r\n"
              "\t\tBits 15:8\t0x0\tCLFLUSH Size\r\n"
              "\t\tBits 23:16\t0x0\tCount of logical processors\r\n"
              "\t\tBits 31:24\t0x0\tAPIC ID\r\n"
              "\tECX = 0x00000000\tReserved\r\n"
              "\tEDX = 0x0080893f\r\n"
              "\t\tBit 0\t1\tFloating-Point Unit\r\n"
              "\t\tBit 1\t1\tVirtual Mode Extension\r\n"
              "\t\tBit 2\t1\tDebugging Extension\r\n"
              "\t\tBit 3\t1\tPage Size Extension (4-Mbyte pages)\r\n"
              "\t\tBit 4\t1\tTime Stamp Counter\r\n"
              "\t\tBit 5\t1\tModel-Specific Registers\r\n"
              "\t\tBit 8\t1\tCMPXCHG8B Instruction\r\n"
              "\t\tBit 11\t1\tFast System Call\r\n"
              "\t\tBit 15\t1\tConditional Move Instruction Supported\r\n"
              "\t\tBit 18\t0\tProcessor serial number is present and enabled\r\n"
              "\t\tBit 23\t1\tMMX Instructions\r\n");
    // The TM5700 stops at function 1; registers made up for a processor that has 2 and 3:
    EXPECT_EQ(DecodeCpuidFunction(record, 2), "");
    record.standard.push_back({0, 0, 0, 0});
    record.standard.push_back({0x11111111, 0x22222222, 0x33333333, 0x44444444});
    record.highestStandard = 3;
    EXPECT_EQ(DecodeCpuidFunction(record, 2), "Standard Function 2:\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 3),
              "Standard Function 3:\tProcessor Serial Number\r\n"
              "\tEAX = 0x11111111\tBits 127-96 of the 96 bit processor serial number\r\n"
              "\tEBX = 0x22222222\tBits 95-64 of the 96 bit processor serial number\r\n"
              "\tECX = 0x33333333\tBits 63-32 of the 96 bit processor serial number\r\n"
              "\tEDX = 0x44444444\tBits 31-0 of the 96 bit processor serial number\r\n");
}

TEST(TransmetaDecode, ExtendedFunctionsOfCrusoe) {
    CpuidRecord record = CrusoeTM5700();
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000000),
              "Extended Function 0x80000000:\r\n"
              "\tEAX = 0x80000006\tLargest Extended Function\r\n"
              "\tEBX = 0x6e617254\t\"Tran\"\r\n"
              "\tECX = 0x55504361\t\"aCPU\"\r\n"
              "\tEDX = 0x74656d73\t\"smet\"\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000001),
              "Extended Function 0x80000001:\r\n"
              "\tEAX = 0x00000543\r\n"
              "\t\tBits 13:12\t0x0\tType\r\n"
              "\t\tBits 11:8\t0x5\tFamily\r\n"
              "\t\tBits 7:4\t0x4\tModel\r\n"
              "\t\tBits 3:0\t0x3\tStepping\r\n"
              "\tEDX = 0x0080813f\r\n"
              "\t\tBit 0\t1\tFloating-Point Unit\r\n"
              "\t\tBit 1\t1\tVirtual Mode Extensions\r\n"
              "\t\tBit 2\t1\tDebugging Extensions\r\n"
              "\t\tBit 3\t1\tPage Size Extensions (4-Mbyte pages)\r\n"
              "\t\tBit 4\t1\tTime Stamp Counter\r\n"
              "\t\tBit 5\t1\tModel-Specific Registers\r\n"
              "\t\tBit 8\t1\tCMPXCHG8B Instruction\r\n"
              "\t\tBit 15\t1\tConditional Move Instruction\r\n"
              "\t\tBit 16\t0\tFP Conditional Move Instructions\r\n"
              "\t\tBit 23\t1\tMMX Instructions\r\n");
    std::string name = DecodeCpuidFunction(record, 0x80000003);
    EXPECT_EQ(name.substr(0, name.find("\r\n") + 2),
              "Extended Function 0x80000002-0x80000004:\t\"Transmeta(tm) Crusoe(tm) Processor "
              "TM5700\"\r\n");
    EXPECT_NE(name.find("\t0x80000004.ECX = 0x00000030\t\"0\"\r\n"
                        "\t0x80000004.EDX = 0x00000000\t\"\"\r\n"),
              std::string::npos);
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000005),
              "Extended Function 0x80000005:\tL1 Cache and L1 TLB Information\r\n"
              "\tEAX = 0x00000000\tReserved\r\n"
              "\tEBX = 0x04ff04ff\t4-way 256 entry data TLB, 4-way 256 entry code TLB\r\n"
              "\tECX = 0x40100120\t64 KB 16-way 1 line/tag 32 bytes/line L1 data cache "
              "(TM5x00)\r\n"
              "\tEDX = 0x40080140\t64 KB 8-way 1 line/tag 64 bytes/line L1 code cache\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000006),
              "Extended Function 0x80000006:\tL2 Cache and L2 TLB Information\r\n"
              "\tEAX = 0x00000000\tReserved\r\n"
              "\tEBX = 0x00000000\tReserved\r\n"
              "\tECX = 0x01004180\t256 KB 4-way 1 line/tag 128 bytes/line L2 cache "
              "(TM5400/TM5500)\r\n"
              "\tEDX = 0x00000000\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000007), "");  // beyond the highest function
    record.extended.resize(9);
    record.highestExtended = 0x80000008;
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000007), "");  // not explained
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000008), "");
}

TEST(TransmetaDecode, CacheLinesDependOnExactValues) {
    CpuidRecord record = CrusoeTM5700();
    record.extended[5] = {0, 0x04ff04fe, 0x20080120, 0x40080141};
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000005),
              "Extended Function 0x80000005:\tL1 Cache and L1 TLB Information\r\n"
              "\tEAX = 0x00000000\tReserved\r\n"
              "\tEBX = 0x04ff04fe\r\n"
              "\tECX = 0x20080120\t32 KB 8-way 1 line/tag 32 bytes/line L1 data cache "
              "(TM3x00)\r\n"
              "\tEDX = 0x40080141\r\n");
    record.extended[5].ecx = 0x40100121;
    EXPECT_EQ(LineStartingWith(DecodeCpuidFunction(record, 0x80000005), "\tECX"),
              "\tECX = 0x40100121\r\n");

    auto l2Line = [&](uint32_t ecx) {
        record.extended[6].ecx = ecx;
        return LineStartingWith(DecodeCpuidFunction(record, 0x80000006), "\tECX");
    };
    EXPECT_EQ(l2Line(0), "\tECX = 0x00000000\tno integrated L2 cache (TM3200)\r\n");
    EXPECT_EQ(l2Line(0x02004180),
              "\tECX = 0x02004180\t512 KB 4-way 1 line/tag 128 bytes/line L2 cache "
              "(TM5600/TM5800)\r\n");
    EXPECT_EQ(l2Line(0x03004180), "\tECX = 0x03004180\r\n");
}

TEST(TransmetaDecode, TransmetaFunctionsOfCrusoe) {
    CpuidRecord record = CrusoeTM5700();
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80860000),
              "Transmeta Function 0x80860000:\r\n"
              "\tEAX = 0x80860007\tLargest Transmeta Function\r\n"
              "\tEBX = 0x6e617254\t\"Tran\"\r\n"
              "\tECX = 0x55504361\t\"aCPU\"\r\n"
              "\tEDX = 0x74656d73\t\"smet\"\r\n");
    // Class 0x0105 with the 256 KB L2 cache of extended function 0x80000006.
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80860001),
              "Transmeta Function 0x80860001:\tTransmeta processor information\r\n"
              "\tEAX = 0x00000543\r\n"
              "\t\tBits 13:12\t0x0\tType\r\n"
              "\t\tBits 11:8\t0x5\tFamily\r\n"
              "\t\tBits 7:4\t0x4\tModel\r\n"
              "\t\tBits 3:0\t0x3\tStepping\r\n"
              "\tEBX = 0x01050002\tTM5500\r\n"
              "\tECX = 0x00000320\tNominal Processor Core Frequency (Mhz)\r\n"
              "\tEDX = 0x000005ce\tTransmeta feature flags.\r\n"
              "\t\tBit 0\t0\tRecovery CMS is active (after a bad flash)\r\n"
              "\t\tBit 1\t1\tLongRun\r\n"
              "\t\tBit 3\t1\tLongRun Table Interface (CMS 4.2)\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80860002),
              "Transmeta Function 0x80860002:\tTransmeta CMS information\r\n"
              "\tEAX = 0x00000000\tProcessor revision ID\r\n"
              "\tEBX = 0x0405020c\tFirst part of the Transmeta CMS revision ID\r\n"
              "\tECX = 0x0000000b\tSecond part of the Transmeta CMS revision ID\r\n");
    const std::string information =
        "Transmeta Function 0x80860003-0x80860006:\t\"20040614 15:00 official release "
        "4.5.2#1\"\r\n"
        "\t0x80860003.EAX = 0x34303032\t\"2004\"\r\n"
        "\t0x80860003.EBX = 0x34313630\t\"0614\"\r\n"
        "\t0x80860003.ECX = 0x3a353120\t\" 15:\"\r\n"
        "\t0x80860003.EDX = 0x6f203030\t\"00 o\"\r\n"
        "\t0x80860004.EAX = 0x63696666\t\"ffic\"\r\n"
        "\t0x80860004.EBX = 0x206c6169\t\"ial \"\r\n"
        "\t0x80860004.ECX = 0x656c6572\t\"rele\"\r\n"
        "\t0x80860004.EDX = 0x20657361\t\"ase \"\r\n"
        "\t0x80860005.EAX = 0x2e352e34\t\"4.5.\"\r\n"
        "\t0x80860005.EBX = 0x00312332\t\"2#1\"\r\n"
        "\t0x80860005.ECX = 0x00000000\t\"\"\r\n"
        "\t0x80860005.EDX = 0x00000000\t\"\"\r\n"
        "\t0x80860006.EAX = 0x00000000\t\"\"\r\n"
        "\t0x80860006.EBX = 0x00000000\t\"\"\r\n"
        "\t0x80860006.ECX = 0x00000000\t\"\"\r\n"
        "\t0x80860006.EDX = 0x00000000\t\"\"\r\n";
    for (uint32_t f = 0x80860003; f <= 0x80860006; ++f)
        EXPECT_EQ(DecodeCpuidFunction(record, f), information) << std::hex << f;
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80860007),
              "Transmeta Function 0x80860007:\tCurrent Transmeta processor information\r\n"
              "\tEAX = 0x00000320\tCurrent Processor Core Frequency (Mhz)\r\n"
              "\tEBX = 0x000004e2\tCurrent Processor Voltage (mv)\r\n"
              "\tECX = 0x00000064\tCurrent Processor Performance Percentage (between 0 and "
              "100d)\r\n"
              "\tEDX = 0x00005489\tCurrent Gate Delay (femtoseconds).\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80860008), "");
}

TEST(TransmetaDecode, ProcessorClassLineDependsOnClassAndL2Size) {
    CpuidRecord record = CrusoeTM5700();
    auto classLine = [&](uint32_t ebx, uint32_t l2Ecx) {
        record.transmeta[1].ebx = ebx;
        record.extended[6].ecx = l2Ecx;
        return LineStartingWith(DecodeCpuidFunction(record, 0x80860001), "\tEBX");
    };
    const uint32_t k256 = 0x01004180, k512 = 0x02004180;
    EXPECT_EQ(classLine(0x01010203, 0), "\tEBX = 0x01010203\tTM3200\r\n");
    EXPECT_EQ(classLine(0x01020000, k512), "\tEBX = 0x01020000\tTM5400\r\n");
    EXPECT_EQ(classLine(0x01030000, k256), "\tEBX = 0x01030000\tTM5400\r\n");
    EXPECT_EQ(classLine(0x01030000, k512), "\tEBX = 0x01030000\tTM5600\r\n");
    EXPECT_EQ(classLine(0x01030000, 0), "\tEBX = 0x01030000\r\n");
    EXPECT_EQ(classLine(0x01040102, k256), "\tEBX = 0x01040102\tTM5500\r\n");
    EXPECT_EQ(classLine(0x01040102, k512), "\tEBX = 0x01040102\tTM5800\r\n");
    EXPECT_EQ(classLine(0x01050002, k512), "\tEBX = 0x01050002\tTM5800\r\n");
    EXPECT_EQ(classLine(0x01050002, 0x01004181), "\tEBX = 0x01050002\r\n");
    EXPECT_EQ(classLine(0x02000001, 0),
              "\tEBX = 0x02000001\tRefer to function 8086_0002h, register EAX for processor Rev "
              "ID\r\n");
    EXPECT_EQ(classLine(0x03000000, k512), "");  // unknown class: no EBX line
    std::string text = DecodeCpuidFunction(record, 0x80860001);
    EXPECT_NE(text.find("\t\tBits 3:0\t0x3\tStepping\r\n"
                        "\tECX = 0x00000320\t"),
              std::string::npos);

    // Without extended function 0x80000006 the L2 size is unknown, not read from elsewhere.
    record.transmeta[1].ebx = 0x01050002;
    record.extended.resize(6);
    record.highestExtended = 0x80000005;
    EXPECT_EQ(LineStartingWith(DecodeCpuidFunction(record, 0x80860001), "\tEBX"),
              "\tEBX = 0x01050002\r\n");
}

}  // namespace
}  // namespace kvt
