// Every shipped board served by a private korvanta-driver and asked through the real
// client over its socket: the program sees the machine the profile describes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "hwaccess/board_platform.h"
#include "hwaccess/driver_client.h"
#include "hwaccess/transport.h"
#include "platform/platform.h"
#include "support/daemon.h"

namespace kvt {
namespace {

using nlohmann::json;

json ReadProfile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return json::parse(text.str());
}

uint64_t Number(const json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    return std::stoull(v.get<std::string>(), nullptr, 0);
}

std::vector<std::string> ShippedBoards() {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(KORVANTA_SOURCE_DIR) + "/boards"))
        if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(BoardDaemon, EveryShippedBoardAnswersThroughTheClient) {
    auto boards = ShippedBoards();
    ASSERT_GE(boards.size(), 5u);
    PinCurrentThread(0);
    for (const std::string& name : boards) {
        SCOPED_TRACE(name);
        const json profile = ReadProfile(test::BoardProfile(name));
        test::PrivateDaemon daemon;
        std::string error;
        test::DaemonOptions options;
        options.board = test::BoardProfile(name);
        ASSERT_TRUE(daemon.Start(options, &error)) << error;

        SocketTransport transport(daemon.socketDir());
        VersionRecord nt{5, 1, 2600, kPlatformNt, "Service Pack 3"};
        DriverClient client(transport, [nt] { return nt; });
        auto platform = MakeBoardPlatform(client);

        EXPECT_EQ(platform->ComputerName(), profile["computer"].get<std::string>());
        EXPECT_EQ(platform->ProcessorCount(), Number(profile["processors"]["count"]));
        CpuidRegisters leaf0 = platform->Cpuid(0, 0);
        for (const json& e : profile["processors"]["cpuid"])
            if (Number(e["leaf"]) == 0) {
                EXPECT_EQ(leaf0.ebx, Number(e["ebx"]));
            }

        uint32_t value = 0;
        EXPECT_EQ(client.ReadPort(0x80, value, 1), 1);
        EXPECT_EQ(value & 0xFF, 0xFFu);

        uint8_t busList[256], devFnList[256];
        uint32_t count = client.ListPciFunctions(busList, devFnList);
        EXPECT_EQ(count, profile["pci"]["functions"].size());
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t address = 0x80000000u | busList[i] << 16 | devFnList[i] << 8;
            ASSERT_EQ(client.ReadPciConfig(address, value), 1);
            EXPECT_NE(value & 0xFFFF, 0xFFFFu);
        }
        ASSERT_EQ(client.ReadPciConfig(0x80FFF800, value), 1);
        EXPECT_EQ(value, 0xFFFFFFFFu);

        uint8_t reset[5] = {};
        EXPECT_EQ(client.ReadPhysicalMemory(0xFFFF0, reset, 5), 1);
        EXPECT_EQ(reset[0], 0xEA);  // far jump at the reset vector

        for (const json& m : profile["processors"]["msrs"])
            if (m.value("access", "") == "refused") {
                EXPECT_EQ(client.ReadMsrNt(uint32_t(Number(m["msr"]))), ~0ull);
            }

        // The RTC year byte of the CMOS bank, through the index/data ports.
        std::vector<uint8_t> cmos;
        {
            std::string hex = profile["cmos"]["bank70"].get<std::string>();
            std::istringstream s(hex);
            unsigned b;
            while (s >> std::hex >> b) cmos.push_back(uint8_t(b));
        }
        EXPECT_EQ(client.WritePort(0x70, 0x09, 1), 1);
        EXPECT_EQ(client.ReadPort(0x71, value, 1), 1);
        EXPECT_EQ(value & 0xFF, cmos.at(9));

        uint32_t base = 0;
        uint8_t first = 0, last = 0;
        if (profile["pci"].contains("ecam")) {
            ASSERT_TRUE(client.PcieWindow(base, first, last));
            EXPECT_EQ(base, Number(profile["pci"]["ecam"]["base"]));
        } else {
            EXPECT_FALSE(client.PcieWindow(base, first, last));
        }

        // A board that declares a consumer-family version is driven in the consumer form:
        // configuration reads through CF8h/CFCh give what the NT form gives.
        VersionRecord version = platform->Version();
        if (version.platformId == kPlatformWindows) {
            DriverClient consumer(transport, [version] { return version; });
            ASSERT_TRUE(ConsumerWindows(consumer.GetOsKind()));
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t address = 0x80000000u | busList[i] << 16 | devFnList[i] << 8 | 0x08;
                uint32_t viaPorts = 0, viaRequest = 0;
                consumer.ReadPciConfig(address, viaPorts);
                client.ReadPciConfig(address, viaRequest);
                EXPECT_EQ(viaPorts, viaRequest);
            }
        }
        EXPECT_TRUE(daemon.Stop());
    }
}

}  // namespace
}  // namespace kvt
