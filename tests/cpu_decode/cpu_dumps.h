// CPUID results of real processors, as published in public CPUID dumps, put into records the
// way the collection fills them (entry i holds function base + i).
#pragma once

#include <vector>

#include "tools/cpu/cpuid_record.h"

namespace kvt::test {

inline CpuidRecord MakeRecord(uint32_t vendor, std::vector<CpuidRegisters> standard,
                              std::vector<CpuidRegisters> extended,
                              std::vector<CpuidRegisters> transmeta = {}) {
    CpuidRecord record;
    record.vendor = vendor;
    record.highestStandard = static_cast<int32_t>(standard.size()) - 1;
    if (!extended.empty())
        record.highestExtended = 0x80000000u + static_cast<uint32_t>(extended.size()) - 1;
    if (!transmeta.empty()) {
        record.transmetaBase = 0x80860000u;
        record.highestTransmeta = 0x80860000u + static_cast<uint32_t>(transmeta.size()) - 1;
    }
    record.standard = std::move(standard);
    record.extended = std::move(extended);
    record.transmeta = std::move(transmeta);
    return record;
}

// Intel Core 2 Duo E6420 (Conroe, family 6 model 15 stepping 6); dump from the libcpuid
// test set, tests/intel/core2/conroe.test.
inline CpuidRecord Core2DuoE6420() {
    return MakeRecord(kCpuVendorIntel,
                      {
                          {0x0000000a, 0x756e6547, 0x6c65746e, 0x49656e69},
                          {0x000006f6, 0x00020800, 0x0000e3bd, 0xbfebfbff},
                          {0x05b0b101, 0x005657f0, 0x00000000, 0x2cb43049},
                          {0x00000000, 0x00000000, 0x00000000, 0x00000000},
                          {0x04000121, 0x01c0003f, 0x0000003f, 0x00000001},
                          {0x00000040, 0x00000040, 0x00000003, 0x00000020},
                          {0x00000001, 0x00000002, 0x00000001, 0x00000000},
                          {0x00000000, 0x00000000, 0x00000000, 0x00000000},
                          {0x00000400, 0x00000000, 0x00000000, 0x00000000},
                          {0x00000000, 0x00000000, 0x00000000, 0x00000000},
                          {0x07280202, 0x00000000, 0x00000000, 0x00000000},
                      },
                      {
                          {0x80000008, 0x00000000, 0x00000000, 0x00000000},
                          {0x00000000, 0x00000000, 0x00000001, 0x20100000},
                          {0x65746e49, 0x2952286c, 0x726f4320, 0x4d542865},
                          {0x43203229, 0x20205550, 0x20202020, 0x20202020},
                          {0x30323436, 0x20402020, 0x33312e32, 0x007a4847},
                          {0x00000000, 0x00000000, 0x00000000, 0x00000000},
                          {0x00000000, 0x00000000, 0x10008040, 0x00000000},
                          {0x00000000, 0x00000000, 0x00000000, 0x00000000},
                          {0x00003024, 0x00000000, 0x00000000, 0x00000000},
                      });
}

// Intel Pentium 4 3.06 GHz (Northwood, family 15 model 2 stepping 7); dump from the rustid
// test set, tests/cpuid/dump/Intel_Pentium_4_Northwood.txt.
inline CpuidRecord Pentium4Northwood() {
    return MakeRecord(kCpuVendorIntel,
                      {
                          {0x00000002, 0x756E6547, 0x6C65746E, 0x49656E69},
                          {0x00000F27, 0x00020809, 0x00004400, 0xBFEBFBFF},
                          {0x665B5001, 0x00000000, 0x00000000, 0x007B7040},
                      },
                      {
                          {0x80000004, 0x00000000, 0x00000000, 0x00000000},
                          {0x00000000, 0x00000000, 0x00000000, 0x00000000},
                          {0x20202020, 0x20202020, 0x20202020, 0x6E492020},
                          {0x286C6574, 0x50202952, 0x69746E65, 0x52286D75},
                          {0x20342029, 0x20555043, 0x36302E33, 0x007A4847},
                      });
}

// AMD Athlon 64 X2 6400+ (family 15 model 0x43 stepping 3), second core; dump from the
// rustid test set, tests/cpuid/dump/Amd_Athlon(tm)_64_X2_6400+.txt.
inline CpuidRecord Athlon64X2_6400() {
    std::vector<CpuidRegisters> extended = {
        {0x80000018, 0x68747541, 0x444D4163, 0x69746E65},
        {0x00040F33, 0x000009A7, 0x0000001F, 0xEBD3FBFF},
        {0x20444D41, 0x6C687441, 0x74286E6F, 0x3620296D},
        {0x32582034, 0x61754420, 0x6F43206C, 0x50206572},
        {0x65636F72, 0x726F7373, 0x30343620, 0x00002B30},
        {0xFF08FF08, 0xFF20FF20, 0x40020140, 0x40020140},
        {0x00000000, 0x42004200, 0x04008140, 0x00000000},
        {0x00000000, 0x00000000, 0x00000000, 0x0000003F},
        {0x00003028, 0x00000000, 0x00000001, 0x00000000},
        {0x00000000, 0x00000000, 0x00000000, 0x00000000},
        {0x00000001, 0x00000040, 0x00000000, 0x00000000},
    };
    extended.resize(0x19);  // 0x8000000B to 0x80000018 return zeros
    return MakeRecord(kCpuVendorAmd,
                      {
                          {0x00000001, 0x68747541, 0x444D4163, 0x69746E65},
                          {0x00040F33, 0x01020800, 0x00002001, 0x178BFBFF},
                      },
                      std::move(extended));
}

// Transmeta Crusoe TM5700 (CMS 4.5.2); dump from the rustid test set,
// tests/cpuid/dump/Transmeta_Crusoe_TM5700.txt.
inline CpuidRecord CrusoeTM5700() {
    return MakeRecord(kCpuVendorTransmeta,
                      {
                          {0x00000001, 0x756e6547, 0x3638784d, 0x54656e69},
                          {0x00000543, 0x00000000, 0x00000000, 0x0080893f},
                      },
                      {
                          {0x80000006, 0x6e617254, 0x55504361, 0x74656d73},
                          {0x00000543, 0x00000000, 0x00000000, 0x0080813f},
                          {0x6e617254, 0x74656d73, 0x6d742861, 0x72432029},
                          {0x656f7375, 0x296d7428, 0x6f725020, 0x73736563},
                          {0x5420726f, 0x3037354d, 0x00000030, 0x00000000},
                          {0x00000000, 0x04ff04ff, 0x40100120, 0x40080140},
                          {0x00000000, 0x00000000, 0x01004180, 0x00000000},
                      },
                      {
                          {0x80860007, 0x6e617254, 0x55504361, 0x74656d73},
                          {0x00000543, 0x01050002, 0x00000320, 0x000005ce},
                          {0x00000000, 0x0405020c, 0x0000000b, 0x00000000},
                          {0x34303032, 0x34313630, 0x3a353120, 0x6f203030},
                          {0x63696666, 0x206c6169, 0x656c6572, 0x20657361},
                          {0x2e352e34, 0x00312332, 0x00000000, 0x00000000},
                          {0x00000000, 0x00000000, 0x00000000, 0x00000000},
                          {0x00000320, 0x000004e2, 0x00000064, 0x00005489},
                      });
}

}  // namespace kvt::test
