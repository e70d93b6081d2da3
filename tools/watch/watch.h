// Watching a register: one read of a port, PCI register, MSR, memory range, CMOS byte or SMBus
// command at a time, on an absolute schedule (start + k x interval, so the interval holds however
// long a read takes), with change detection and the text and JSON line of each sample. The
// command line's `watch` and the desktop program's chart window both sample through it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "tools/smbus/smbus_detect.h"
#include "tools/smbus/smbus_host.h"

namespace kvt {

enum class WatchKind { Io, Pci, Msr, Mem, Cmos, Smbus };

// What is watched. Only the fields of the kind count.
struct WatchTarget {
    WatchKind kind = WatchKind::Io;
    uint32_t width = 1;  // io: 1, 2 or 4; smbus: 1 byte, 2 word, 0 block
    uint16_t port = 0;   // io
    uint32_t bus = 0, device = 0, function = 0, offset = 0;  // pci (offset a multiple of 4)
    uint32_t msr = 0;                                        // msr
    static constexpr int kAllProcessors = -1;
    int processor = 0;                 // msr: a processor number or kAllProcessors
    uint32_t processorCount = 1;       // msr with kAllProcessors
    uint32_t address = 0, length = 1;  // mem
    uint8_t cmosOffset = 0;            // cmos
    int bank = 0;                      // cmos: 0, 1, 2 for 70h, 72h, 74h
    SmbusController controller;        // smbus
    bool throughKernel = false;        // smbus: the kernel's adapter of the controller
    uint8_t slave = 0, command = 0;    // smbus
};

// Largest memory range one sample reads.
inline constexpr uint32_t kWatchMemMax = 0x1000;

// The short name of a target, as the command line writes it ("pci 00:1F.3 40", "msr 10 cpu 1").
std::string WatchTitle(const WatchTarget& target);

// One read.
struct WatchSample {
    std::chrono::system_clock::time_point time;  // when it was taken, for the time stamp
    std::chrono::steady_clock::time_point steady;
    bool ok = false;
    // The value: one number; one per processor for all processors; the bytes of a memory range
    // or SMBus block.
    std::vector<uint64_t> values;
    // The value in the tool's hexadecimal form (values separated by blanks), or why the read
    // failed.
    std::string text;
    // The daemon is gone, did not answer or is not trusted: later reads would fail the same way.
    bool fatal = false;
};

// "HH:MM:SS.mmm" in local time.
std::string WatchTimeText(std::chrono::system_clock::time_point time);
// "12:00:00.123 000000FF", or "12:00:00.123 failed: <why>".
std::string WatchLine(const WatchSample& sample);
// {"time":"12:00:00.123","value":"000000FF"}; "value" is a list of texts for all processors
// and {"time":...,"error":"<why>"} for a read that failed.
std::string WatchJsonLine(const WatchSample& sample, const WatchTarget& target);

// Reads the target once per call.
class WatchSampler {
  public:
    // caps: what the daemon reported, for the causes of refusals; may be null.
    WatchSampler(DriverClient& client, const WatchTarget& target,
                 const DriverCapabilities* caps = nullptr);
    // What has to be known before the first read (where the PCI Express window lies); false
    // with why when the target cannot be read at all.
    bool Prepare(std::string& error);
    WatchSample Read();
    const WatchTarget& target() const { return target_; }

  private:
    bool ReadValue(WatchSample& sample);
    bool Failed(WatchSample& sample, const std::string& what, const RequestStatus& status,
                int kind);

    DriverClient& client_;
    WatchTarget target_;
    const DriverCapabilities* caps_;
    SmbusPorts smbus_;
    uint32_t windowAddress_ = 0;  // pci registers from 100h
};

// Passes the first sample and each one that differs from the one before (a failure and the
// value after it count as changes; the same failure twice does not).
class WatchChanges {
  public:
    bool Pass(const WatchSample& sample);

  private:
    std::optional<std::string> last_;
};

// Ends a running watch from another thread: the loop's wait ends at once.
class WatchStop {
  public:
    void Request();
    bool requested() const;
    // Waits until the time or a stop request; false when stopped.
    bool WaitUntil(std::chrono::steady_clock::time_point when);

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

// The times at which samples are due: start + k x interval. A read that overran its slot
// skips the slots it missed rather than reading in a burst to catch up.
class WatchSchedule {
  public:
    WatchSchedule(std::chrono::steady_clock::time_point start, std::chrono::nanoseconds interval)
        : start_(start), interval_(interval) {}
    // The first slot after the one just read, not earlier than now.
    std::chrono::steady_clock::time_point Next(std::chrono::steady_clock::time_point now);

  private:
    std::chrono::steady_clock::time_point start_;
    std::chrono::nanoseconds interval_;
    uint64_t slot_ = 0;
};

struct WatchOptions {
    std::chrono::nanoseconds interval = std::chrono::seconds(1);
    uint64_t count = 0;  // samples passed on (changes with `changes`); 0: no bound
    std::chrono::nanoseconds duration{0};  // 0: no bound
    bool changes = false;
};

// How a watch ended.
enum class WatchEnd { Done, Stopped, Fatal, OutputClosed };

// Samples until the count or duration is reached, a stop is requested, a read fails fatally, or
// `emit` returns false (the output is gone). `emit` gets each sample passed on.
WatchEnd RunWatch(WatchSampler& sampler, const WatchOptions& options, WatchStop& stop,
                  const std::function<bool(const WatchSample&)>& emit);

}  // namespace kvt
