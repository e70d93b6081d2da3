// The watch model: its schedule, change detection, lines, and runs against a board's models.
#include "tools/watch/watch.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "smbus/board_client.h"

namespace kvt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(WatchSchedule, SlotsAreOnTheStartsGridAndMissedOnesAreSkipped) {
    const Clock::time_point t0 = Clock::now();
    WatchSchedule schedule(t0, 10ms);
    EXPECT_EQ(schedule.Next(t0 + 3ms), t0 + 10ms);  // a read of 3 ms does not shift the grid
    EXPECT_EQ(schedule.Next(t0 + 19ms), t0 + 20ms);
    EXPECT_EQ(schedule.Next(t0 + 55ms), t0 + 60ms);  // 30, 40 and 50 were overrun
    EXPECT_EQ(schedule.Next(t0 + 60ms), t0 + 70ms);
}

WatchSample Sample(bool ok, const std::string& text) {
    WatchSample s;
    s.ok = ok;
    s.text = text;
    return s;
}

TEST(WatchChanges, FirstValueThenEachChangeFailuresIncluded) {
    WatchChanges changes;
    std::vector<std::string> passed;
    for (const WatchSample& s :
         {Sample(true, "00"), Sample(true, "00"), Sample(true, "01"), Sample(false, "refused"),
          Sample(false, "refused"), Sample(true, "01"), Sample(true, "01")}) {
        if (changes.Pass(s)) passed.push_back(s.text);
    }
    EXPECT_EQ(passed, (std::vector<std::string>{"00", "01", "refused", "01"}));
}

TEST(WatchLines, TextAndJsonForms) {
    WatchSample s = Sample(true, "0000000000000010 0000000000000020");
    s.values = {0x10, 0x20};
    s.time = std::chrono::system_clock::now();
    WatchTarget all;
    all.kind = WatchKind::Msr;
    all.processor = WatchTarget::kAllProcessors;
    EXPECT_TRUE(
        std::regex_match(WatchLine(s), std::regex(R"(\d\d:\d\d:\d\d\.\d{3} 0{14}10 0{14}20)")))
        << WatchLine(s);
    const std::string time = WatchTimeText(s.time);
    EXPECT_EQ(WatchJsonLine(s, all),
              "{\"time\":\"" + time + "\",\"value\":[\"0000000000000010\",\"0000000000000020\"]}");
    WatchSample failed = Sample(false, "the \"port\" read was refused\n");
    failed.time = s.time;
    EXPECT_EQ(WatchJsonLine(failed, WatchTarget{}),
              "{\"time\":\"" + time + "\",\"error\":\"the \\\"port\\\" read was refused\\u000a\"}");
    EXPECT_EQ(WatchLine(failed).substr(time.size()), " failed: " + failed.text);
}

TEST(WatchRun, ChangesPassesTheFirstValueAndTheChange) {
    test::BoardClient board("intel-desktop");
    WatchTarget t;
    t.kind = WatchKind::Io;
    t.port = 0xCF8;  // the configuration address register keeps what was written
    t.width = 4;
    ASSERT_TRUE(board.client().TryWritePort(0xCF8, 0x80000010, 4));
    WatchSampler sampler(board.client(), t);
    WatchOptions options;
    options.interval = 1ms;
    options.changes = true;
    options.count = 2;
    WatchStop stop;
    std::vector<std::string> lines;
    WatchEnd end = RunWatch(sampler, options, stop, [&](const WatchSample& s) {
        lines.push_back(s.text);
        if (lines.size() == 1) EXPECT_TRUE(board.client().TryWritePort(0xCF8, 0x80000020, 4));
        return true;
    });
    EXPECT_EQ(end, WatchEnd::Done);
    EXPECT_EQ(lines, (std::vector<std::string>{"80000010", "80000020"}));
}

TEST(WatchRun, StopsWhenAskedAndWhenTheOutputGoes) {
    test::BoardClient board("intel-desktop");
    WatchTarget t;
    t.kind = WatchKind::Msr;
    t.msr = 0x10;  // the time-stamp counter changes on its own
    WatchSampler sampler(board.client(), t);
    WatchOptions options;
    options.interval = 1h;
    WatchStop stop;
    int emitted = 0;
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        stop.Request();
    });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(RunWatch(sampler, options, stop,
                       [&](const WatchSample& s) {
                           EXPECT_TRUE(s.ok) << s.text;
                           return ++emitted > 0;
                       }),
              WatchEnd::Stopped);
    stopper.join();
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(emitted, 1);

    WatchStop fresh;
    options.interval = 1ms;
    options.changes = true;
    emitted = 0;
    EXPECT_EQ(RunWatch(sampler, options, fresh, [&](const WatchSample&) { return ++emitted < 3; }),
              WatchEnd::OutputClosed);
    EXPECT_EQ(emitted, 3);
}

TEST(WatchSampler, ARefusedReadIsALineWithoutAValue) {
    test::BoardClient board("intel-desktop");
    WatchTarget t;
    t.kind = WatchKind::Msr;
    t.msr = 0x12345;
    WatchSampler sampler(board.client(), t);
    WatchSample s = sampler.Read();
    EXPECT_FALSE(s.ok);
    EXPECT_FALSE(s.fatal);
    EXPECT_TRUE(s.values.empty());
    EXPECT_EQ(s.text, "the MSR read was refused");
}

}  // namespace
}  // namespace kvt
