// The CPUID tool's clock measurement on this machine against the kernel's TSC rate
// (/sys/devices/system/cpu/cpu0/tsc_freq_khz, else the boot-time "tsc: Detected" rate in the
// kernel log, else /proc/cpuinfo "cpu MHz"). Reports the ratio measured / kernel.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tools/cpu/cpuid_tool.h"

namespace {

double KernelTscHz(std::string& source) {
    std::ifstream khz("/sys/devices/system/cpu/cpu0/tsc_freq_khz");
    double value = 0;
    if (khz >> value && value > 0) {
        source = "tsc_freq_khz";
        return value * 1000;
    }
    if (std::FILE* log = popen("dmesg 2>/dev/null", "r")) {
        char line[512];
        double mhz = 0;
        while (std::fgets(line, sizeof line, log)) {
            const char* p = std::strstr(line, "tsc: Detected ");
            if (p && std::sscanf(p, "tsc: Detected %lf MHz", &mhz) == 1) break;
        }
        pclose(log);
        if (mhz > 0) {
            source = "dmesg tsc";
            return mhz * 1e6;
        }
    }
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("cpu MHz", 0) == 0) {
            source = "cpuinfo cpu MHz";
            return std::atof(line.substr(line.find(':') + 1).c_str()) * 1e6;
        }
    }
    return 0;
}

void BM_MeasureProcessorClock(benchmark::State& state) {
    auto host = kvt::MakeHostPlatform();
    std::string source;
    double kernel = KernelTscHz(source);
    double sum = 0;
    int64_t n = 0;
    for (auto _ : state) {
        kvt::ClockMeasurement m = kvt::MeasureProcessorClock(*host);
        if (!m.ok) {
            state.SkipWithError("no time-stamp counter");
            return;
        }
        sum += m.hz;
        ++n;
    }
    double mean = sum / static_cast<double>(n);
    state.counters["measured_MHz"] = mean / 1e6;
    state.counters["kernel_MHz"] = kernel / 1e6;
    state.counters["ratio"] = kernel > 0 ? mean / kernel : 0;
    state.counters["deviation_ppm"] = kernel > 0 ? (mean / kernel - 1) * 1e6 : 0;
    state.SetLabel("kernel rate from " + source + "; shown as " + kvt::FormatProcessorClock(mean));
}
BENCHMARK(BM_MeasureProcessorClock)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
