#include "protocol/records.h"

#include <gtest/gtest.h>

namespace kvt {
namespace {

TEST(Records, FactsSurviveTheTripAndUnknownFieldsAreSkipped) {
    PlatformFacts facts;
    facts.computer = "KVT-P35-ICH9";
    facts.board = "intel-desktop";
    facts.processors = 4;
    facts.tscHz = 2666700000ull;
    facts.hasVersion = true;
    facts.major = 4, facts.minor = 10, facts.build = 2222, facts.platform = 1;
    facts.csd = " A ";
    std::vector<uint8_t> bytes = EncodePlatformFacts(facts);
    // A field a newer daemon might add, in the middle.
    const uint8_t unknown[] = {0x99, 0x00, 0x02, 0x00, 'x', 'y'};
    bytes.insert(bytes.begin() + 4 + facts.computer.size(), unknown, unknown + sizeof unknown);
    PlatformFacts back;
    ASSERT_TRUE(DecodePlatformFacts(bytes, back));
    EXPECT_EQ(back.computer, facts.computer);
    EXPECT_EQ(back.board, facts.board);
    EXPECT_EQ(back.processors, 4u);
    EXPECT_EQ(back.tscHz, facts.tscHz);
    EXPECT_TRUE(back.hasVersion);
    EXPECT_EQ(back.build, 2222u);
    EXPECT_EQ(back.csd, " A ");

    CapabilityFacts caps;
    caps.backend = "board intel-desktop";
    caps.access[2] = "unavailable: this board has none";
    caps.writes = "refused (daemon started with --read-only)";
    caps.status = "board intel-desktop\nwrites: refused\n";
    CapabilityFacts capsBack;
    ASSERT_TRUE(DecodeCapabilityFacts(EncodeCapabilityFacts(caps), capsBack));
    EXPECT_EQ(capsBack.backend, caps.backend);
    EXPECT_EQ(capsBack.access[2], caps.access[2]);
    EXPECT_EQ(capsBack.access[0], "");
    EXPECT_EQ(capsBack.writes, caps.writes);
    EXPECT_EQ(capsBack.profile, "");
    EXPECT_EQ(capsBack.status, caps.status);
}

TEST(Records, MalformedRecordsAreRefused) {
    PlatformFacts facts;
    facts.computer = "PC";
    std::vector<uint8_t> bytes = EncodePlatformFacts(facts);
    PlatformFacts back;
    // Cut inside a field, or inside a field's head.
    for (size_t cut : {bytes.size() - 1, size_t{2}, size_t{5}}) {
        std::vector<uint8_t> shorter(bytes.begin(), bytes.begin() + cut);
        EXPECT_FALSE(DecodePlatformFacts(shorter, back)) << cut;
    }
    // A number of the wrong size.
    RecordWriter w;
    w.U64(3, 4);  // processors as 8 bytes
    EXPECT_FALSE(DecodePlatformFacts(w.bytes(), back));
    RecordWriter access;
    access.Text(2, "ok");  // an access text without its kind
    CapabilityFacts caps;
    EXPECT_FALSE(DecodeCapabilityFacts(access.bytes(), caps));
    // Nothing at all is a valid, empty record.
    EXPECT_TRUE(DecodeCapabilityFacts({}, caps));
}

}  // namespace
}  // namespace kvt
