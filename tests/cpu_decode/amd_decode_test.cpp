// AMD texts, checked whole against texts worked out by hand from an Athlon 64 X2 dump.
#include <gtest/gtest.h>

#include "tests/cpu_decode/cpu_dumps.h"
#include "tools/cpu/cpuid_decode.h"

namespace kvt {
namespace {

using test::Athlon64X2_6400;

TEST(AmdDecode, StandardFunctions) {
    CpuidRecord record = Athlon64X2_6400();
    // One tab in the register lines and a single carriage return after the heading.
    EXPECT_EQ(DecodeCpuidFunction(record, 0),
              "Standard Function 0:\t\t\"AuthenticAMD\"\r\n"
              "\tEAX = 0x00000001\tHighest Supported Standard Function\r\n"
              "\tEBX = 0x68747541\t\"Auth\"\r\n"
              "\tECX = 0x444d4163\t\"cAMD\"\r\n"
              "\tEDX = 0x69746e65\t\"enti\"\r\n");
    // Values follow the tab after a blank; the APIC ID line has a blank instead of a tab.
    EXPECT_EQ(DecodeCpuidFunction(record, 1),
              "Standard Function 1:\r\n"
              "\tEAX = 0x00040f33\r\n"
              "\t\tBits 11:8\t 0xf\tFamily\r\n"
              "\t\tBits 7:4\t 0x3\tModel\r\n"
              "\t\tBits 3:0\t 0x3\tStepping\r\n"
              "\tEBX = 0x01020800\r\n"
              "\t\tBits 7:0\t 0x0\t8-Bit Brand ID\r\n"
              "\t\tBits 15:8\t 0x8\tCLFLUSH Size\r\n"
              "\t\tBits 31:24 0x1\tInitial APIC_ID\r\n"
              "\tECX = 0x00002001\r\n"
              "\t\tBit 0\t 1\tSSE3 Instruction\r\n"
              "\t\tBit 13\t 1\tCMPXCHG16B Instruction.\r\n"
              "\tEDX = 0x178bfbff\r\n"
              "\t\tBit 0\t 1\tFloating-Point Unit\r\n"
              "\t\tBit 1\t 1\tVirtual Mode Extensions\r\n"
              "\t\tBit 2\t 1\tDebugging Extensions\r\n"
              "\t\tBit 3\t 1\tPage Size Extensions (4-Mbyte pages)\r\n"
              "\t\tBit 4\t 1\tTime Stamp Counter\r\n"
              "\t\tBit 5\t 1\tModel-Specific Registers\r\n"
              "\t\tBit 6\t 1\tPAE (Page Address Extensions)\r\n"
              "\t\tBit 7\t 1\tMachine Check Exception\r\n"
              "\t\tBit 8\t 1\tCMPXCHG8B Instruction\r\n"
              "\t\tBit 9\t 1\tAPIC\r\n"
              "\t\tBit 11\t 1\tSYSENTER/SYSEXIT\r\n"
              "\t\tBit 12\t 1\tMemory Type Range Registers\r\n"
              "\t\tBit 13\t 1\tGlobal Paging Extension\r\n"
              "\t\tBit 14\t 1\tMachine Check Architecture\r\n"
              "\t\tBit 15\t 1\tConditional Move Instruction\r\n"
              "\t\tBit 16\t 1\tPAT (Page Attribute Table)\r\n"
              "\t\tBit 17\t 1\tPSE-36 (Page Size Extensions)\r\n"
              "\t\tBit 19\t 1\tCFLUSH Instruction\r\n"
              "\t\tBit 23\t 1\tMMX Instructions\r\n"
              "\t\tBit 24\t 1\tFXSAVE/FXRSTOR\r\n"
              "\t\tBit 25\t 1\tSSE Instructions\r\n"
              "\t\tBit 26\t 1\tSSE2\r\n"
              "\t\tBit 28\t 1\tHyper-Threading Technology (HTT)\r\n");

    // Function 2 and above explain nothing, even when the processor has them.
    EXPECT_EQ(DecodeCpuidFunction(record, 2), "");
    record.standard.resize(6, CpuidRegisters{0x12345678, 1, 2, 3});
    record.highestStandard = 5;
    for (uint32_t f = 2; f <= 5; ++f) EXPECT_EQ(DecodeCpuidFunction(record, f), "") << f;
}

TEST(AmdDecode, ProcessorInfoAndNameString) {
    CpuidRecord record = Athlon64X2_6400();
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000000),
              "Extended Function 0x80000000:\r\n"
              "\tEAX = 0x80000018\tLargest Extended Function\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000001),
              "Extended Function 0x80000001:\r\n"
              "\tEAX = 0x00040f33\r\n"
              "\t\tBits 11:8\t0xf\tFamily\r\n"
              "\t\tBits 7:4\t0x3\tModel\r\n"
              "\t\tBits 3:0\t0x3\tStepping\r\n"
              "\tEBX = 0x000009a7\r\n"
              "\t\tBits 11:0\t 0x9a7\t12-Bit Brand ID\r\n"
              "\tECX = 0x0000001f\r\n"
              "\t\tBit 0\t1\tLAHF/SAHF Supported in 64-Bit Mode\r\n"
              "\t\tBit 1\t1\tCMP Legacy\r\n"
              "\t\tBit 4\t1\tCR8 Available in Legacy Mode\r\n"
              "\tEDX = 0xebd3fbff\r\n"
              "\t\tBit 0\t1\tFloating-Point Unit\r\n"
              "\t\tBit 1\t1\tVirtual Mode Extensions\r\n"
              "\t\tBit 2\t1\tDebugging Extensions\r\n"
              "\t\tBit 3\t1\tPage Size Extensions (4-Mbyte pages)\r\n"
              "\t\tBit 4\t1\tTime Stamp Counter\r\n"
              "\t\tBit 5\t1\tModel-Specific Registers\r\n"
              "\t\tBit 6\t1\tPAE (Page Address Extensions)\r\n"
              "\t\tBit 7\t1\tMachine Check Exception\r\n"
              "\t\tBit 8\t1\tCMPXCHG8B Instruction\r\n"
              "\t\tBit 9\t1\tAPIC\r\n"
              "\t\tBit 11\t1\tSYSCALL and SYSRET\r\n"
              "\t\tBit 12\t1\tMemory Type Range Registers\r\n"
              "\t\tBit 13\t1\tGlobal Paging Extension\r\n"
              "\t\tBit 14\t1\tMachine Check Architecture\r\n"
              "\t\tBit 15\t1\tConditional Move Instruction\r\n"
              "\t\tBit 16\t1\tPAT (Page Attribute Table)\r\n"
              "\t\tBit 17\t1\tPSE-36 (Page Size Extensions)\r\n"
              "\t\tBit 20\t1\tNo-execute Page Protection (NX)\r\n"
              "\t\tBit 22\t1\tMMX Instruction Extensions\r\n"
              "\t\tBit 23\t1\tMMX Instructions\r\n"
              "\t\tBit 24\t1\tFXSAVE/FXRSTOR\r\n"
              "\t\tBit 25\t1\tFast FXSAVE/FXRSTOR\r\n"
              "\t\tBit 27\t1\tRDTSCP Instruction.\r\n"
              "\t\tBit 29\t1\tLong Mode Capable (LM)\r\n"
              "\t\tBit 30\t1\t3DNow! Instruction Extensions\r\n"
              "\t\tBit 31\t1\t3DNow! Instructions\r\n");
    // The last register holds "0+" and two zero bytes.
    std::string name = DecodeCpuidFunction(record, 0x80000004);
    EXPECT_EQ(
        name.substr(0, name.find("\r\n") + 2),
        "Extended Function 0x80000002-0x80000004:\t\"AMD Athlon(tm) 64 X2 Dual Core Processor "
        "6400+\"\r\n");
    EXPECT_NE(name.find("\t0x80000004.ECX = 0x30343620\t\" 640\"\r\n"
                        "\t0x80000004.EDX = 0x00002b30\t\"0+\"\r\n"),
              std::string::npos);
}

TEST(AmdDecode, CacheTlbPowerAndAddressFunctions) {
    CpuidRecord record = Athlon64X2_6400();
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000005),
              "Extended Function 0x80000005:\tL1 Cache and L1 TLB Information\r\n"
              "\tEAX = 0xff08ff08\tTwo-Mbyte/4-Mbyte Pages\r\n"
              "\t\tBit 7:0\t0x8\tInstruction TLB #Entries\r\n"
              "\t\tBit 15:8\t0xff\tInstruction TLB Associativity\r\n"
              "\t\tBit 23:16\t0x8\tData TLB #Entries\r\n"
              "\t\tBit 31:24\t0xff\tData TLB Associativity\r\n"
              "\tEBX = 0xff20ff20\tFour-Kbyte Pages\r\n"
              "\t\tBit 7:0\t0x20\tInstruction TLB #Entries\r\n"
              "\t\tBit 15:8\t0xff\tInstruction TLB Associativity\r\n"
              "\t\tBit 23:16\t0x20\tData TLB #Entries\r\n"
              "\t\tBit 31:24\t0xff\tData TLB Associativity\r\n"
              "\tECX = 0x40020140\tL1 Data Cache\r\n"
              "\t\tBit 7:0\t0x40\tLine Size (bytes)\r\n"
              "\t\tBit 15:8\t0x1\tLines per Tag\r\n"
              "\t\tBit 23:16\t0x2\tAssociativity\r\n"
              "\t\tBit 31:24\t0x40\tSize (Kbytes)\r\n"
              "\tEDX = 0x40020140\tL1 Instruction Cache\r\n"
              "\t\tBit 7:0\t0x40\tLine Size (bytes)\r\n"
              "\t\tBit 15:8\t0x1\tLines per Tag\r\n"
              "\t\tBit 23:16\t0x2\tAssociativity\r\n"
              "\t\tBit 31:24\t0x40\tSize (Kbytes)\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000006),
              "Extended Function 0x80000006:\tL2 Cache and L2 TLB Information\r\n"
              "\tEAX = 0x00000000\tTwo-Mbyte/4-Mbyte Pages\r\n"
              "\t\tBit 11:0\t0x0\tInstruction TLB #Entries\r\n"
              "\t\tBit 15:12\t0x0\tInstruction TLB Associativity\r\n"
              "\t\tBit 27:16\t0x0\tData TLB #Entries\r\n"
              "\t\tBit 31:28\t0x0\tData TLB Associativity\r\n"
              "\tEBX = 0x42004200\tFour-Kbyte Pages\r\n"
              "\t\tBit 11:0\t0x200\tInstruction TLB #Entries\r\n"
              "\t\tBit 15:12\t0x4\tInstruction TLB Associativity\r\n"
              "\t\tBit 27:16\t0x200\tData TLB #Entries\r\n"
              "\t\tBit 31:28\t0x4\tData TLB Associativity\r\n"
              "\tECX = 0x04008140\tL2 Cache\r\n"
              "\t\tBit 7:0\t0x40\tLine Size (bytes)\r\n"
              "\t\tBit 11:8\t0x1\tLines per Tag\r\n"
              "\t\tBit 15:12\t0x8\tAssociativity\r\n"
              "\t\tBit 31:16\t0x400\tSize (Kbytes)\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000007),
              "Extended Function 0x80000007:\tAdvanced Power Management Feature Flags\r\n"
              "\tEDX = 0x0000003f\tAdvanced Power Management Feature Flags\r\n"
              "\t\tBit 0\t\t0x1\tTemperature Sensor\r\n"
              "\t\tBit 1\t\t0x1\tFrequency ID Control\r\n"
              "\t\tBit 2\t\t0x1\tVoltage ID Control\r\n"
              "\t\tBit 3\t\t0x1\tThermal Trip\r\n"
              "\t\tBit 4\t\t0x1\tThermal Monitoring\r\n"
              "\t\tBit 5\t\t0x1\tSoftware Thermal Control\r\n"
              "\t\tBit 31:62\t\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000008),
              "Extended Function 0x80000008:\tMaximum Address Sizes and Number of CPU Cores\r\n"
              "\tEAX = 0x00003028\tMax Physical and Linear Address Width\r\n"
              "\t\tBit 7:0\t0x28\tMaximum Physical Address Width\r\n"
              "\t\tBit 15:8\t0x30\tMaximum Virtual Address Width\r\n"
              "\t\tBit 31:16\t0x0\tReserved\r\n"
              "\tEBX = 0x00000000\tReserved\r\n"
              "\tECX = 0x00000001\tPhysical Core Count\r\n"
              "\t\tBit 7:0\t0x1\tPhysical Core Count\r\n"
              "\t\tBit 31:8\t0x0\tReserved\r\n"
              "\tEDX = 0x00000000\tReserved\r\n");
}

TEST(AmdDecode, ReservedHeadingsUpTo0x80000018AndNothingAbove) {
    CpuidRecord record = Athlon64X2_6400();
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000009),
              "Extended Function 0x80000009:\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x8000000a),
              "Extended Function 0x8000000a:\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000018),
              "Extended Function 0x80000018:\tReserved\r\n");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000019), "");  // beyond the highest function
    // A later processor that reports more functions still gets nothing above 0x80000018.
    record.extended.resize(0x20, CpuidRegisters{1, 2, 3, 4});
    record.highestExtended = 0x8000001f;
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80000019), "");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x8000001f), "");
    EXPECT_EQ(DecodeCpuidFunction(record, 0x80860000), "");
}

}  // namespace
}  // namespace kvt
