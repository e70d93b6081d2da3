// The interval a watch holds on a board: 100 samples asked 20 ms apart, on the absolute
// schedule of RunWatch (start + k x interval), against the baseline of sleeping the interval
// after each read. An MSR read (a plain request) and an SMBus byte read (a transaction of
// many port requests and pauses) through the board daemon.
// Counters: interval_ms, the mean achieved interval (last minus first sample over 99);
// worst_ms, the largest gap between two samples; drift_ms, how late the last sample was.
#include "tools/watch/watch.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "hwaccess/session.h"
#include "support/daemon.h"
#include "tools/smbus/smbus_detect.h"

namespace {

using namespace kvt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSamples = 100;
constexpr auto kInterval = 20ms;

HardwareSession& Session() {
    static test::PrivateDaemon daemon;
    static std::unique_ptr<HardwareSession> session = [] {
        test::DaemonOptions options;
        options.board = KORVANTA_SOURCE_DIR "/boards/intel-desktop.json";
        std::string error;
        if (!daemon.Start(options, &error)) {
            std::fprintf(stderr, "bench_watch: %s\n", error.c_str());
            std::exit(1);
        }
        setenv("KORVANTA_RUNTIME_DIR", daemon.runtimeDir().c_str(), 1);
        auto s = HardwareSession::Create(options.board, &error);
        if (!s || !s->LoadDriver(&error)) {
            std::fprintf(stderr, "bench_watch: %s\n", error.c_str());
            std::exit(1);
        }
        return s;
    }();
    return *session;
}

WatchTarget Target(int64_t kind) {
    WatchTarget t;
    if (kind == 0) {
        t.kind = WatchKind::Msr;
        t.msr = 0x10;
    } else {
        t.kind = WatchKind::Smbus;
        t.controller = DetectSmbusControllers(Session().client()).at(0);
        t.slave = 0x50;
        t.command = 2;
    }
    return t;
}

void Report(benchmark::State& state, const std::vector<Clock::time_point>& at) {
    double worst = 0;
    for (size_t i = 1; i < at.size(); ++i)
        worst =
            std::max(worst, std::chrono::duration<double, std::milli>(at[i] - at[i - 1]).count());
    const double span = std::chrono::duration<double, std::milli>(at.back() - at.front()).count();
    state.counters["interval_ms"] = span / double(at.size() - 1);
    state.counters["worst_ms"] = worst;
    state.counters["drift_ms"] =
        span - std::chrono::duration<double, std::milli>(kInterval).count() * double(at.size() - 1);
}

// RunWatch as the command line and the chart window use it.
void BM_WatchAbsolute(benchmark::State& state) {
    WatchSampler sampler(Session().client(), Target(state.range(0)));
    for (auto _ : state) {
        std::vector<Clock::time_point> at;
        WatchOptions options;
        options.interval = kInterval;
        options.count = kSamples;
        WatchStop stop;
        RunWatch(sampler, options, stop, [&](const WatchSample& s) {
            at.push_back(s.steady);
            return s.ok;
        });
        if (at.size() != size_t(kSamples))
            state.SkipWithError("a read failed");
        else
            Report(state, at);
    }
}

// The baseline: read, then sleep the interval.
void BM_WatchSleepAfterRead(benchmark::State& state) {
    WatchSampler sampler(Session().client(), Target(state.range(0)));
    for (auto _ : state) {
        std::vector<Clock::time_point> at;
        for (int i = 0; i < kSamples; ++i) {
            WatchSample s = sampler.Read();
            if (!s.ok) break;
            at.push_back(s.steady);
            if (i + 1 < kSamples) std::this_thread::sleep_for(kInterval);
        }
        if (at.size() != size_t(kSamples))
            state.SkipWithError("a read failed");
        else
            Report(state, at);
    }
}

BENCHMARK(BM_WatchAbsolute)
    ->ArgName("smbus")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WatchSleepAfterRead)
    ->ArgName("smbus")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
