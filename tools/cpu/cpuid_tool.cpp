#include "tools/cpu/cpuid_tool.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include "platform/format.h"
#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/cpuid_decode.h"

namespace kvt {

namespace {

bool MonotonicNanoseconds(int64_t& now) {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_RAW, &ts) != 0) return false;
    now = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return true;
}

// Raises the calling thread to the highest real-time priority for the measurement, where the
// system permits it, and puts it back afterwards.
class RaisedPriority {
  public:
    RaisedPriority() {
        if (pthread_getschedparam(pthread_self(), &policy_, &param_) != 0) return;
        sched_param high{};
        high.sched_priority = sched_get_priority_max(SCHED_FIFO);
        raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &high) == 0;
    }
    ~RaisedPriority() {
        if (raised_) pthread_setschedparam(pthread_self(), policy_, &param_);
    }
    RaisedPriority(const RaisedPriority&) = delete;
    RaisedPriority& operator=(const RaisedPriority&) = delete;

  private:
    int policy_ = SCHED_OTHER;
    sched_param param_{};
    bool raised_ = false;
};

}  // namespace

ClockMeasurement MeasureProcessorClock(Platform& platform) {
    constexpr int64_t kFrequency = 1000000000;  // CLOCK_MONOTONIC_RAW counts nanoseconds
    ClockMeasurement result;
    int64_t start = 0;
    uint64_t first = 0;
    if (!MonotonicNanoseconds(start)) return result;
    int64_t now = start;
    uint64_t last = 0;
    {
        RaisedPriority priority;
        if (!MonotonicNanoseconds(start) || !platform.ReadTsc(first)) return result;
        const int64_t end = start + kFrequency / 10;
        do {
            if (!MonotonicNanoseconds(now) || !platform.ReadTsc(last)) return result;
        } while (now < end);
    }
    int64_t ticks = static_cast<int64_t>(last - first);
    result.ok = true;
    result.hz = static_cast<double>(ticks) * static_cast<double>(kFrequency) /
                static_cast<double>(now - start);
    return result;
}

std::string FormatProcessorClock(double hz) {
    return Format("%-8.2f Mhz", hz * 0.000001);
}

std::vector<std::string> ProcessorEntries(uint32_t count) {
    std::vector<std::string> entries;
    if (count == 0) count = 1;  // the program itself runs on one
    for (uint32_t i = 0; i < count; ++i) entries.push_back(Format("#%d", static_cast<int>(i)));
    return entries;
}

std::string CpuidFunctionDescription(uint32_t f) {
    if (f < kCpuidExtendedBase) {
        switch (f) {
            case 0:
                return "Vendor Name";
            case 1:
                return "Processor Signature & Feature Flags";
            case 2:
                return "Cache and TLB Descriptors";
            case 3:
                return "Reserved";
            default:
                return "";
        }
    }
    if (f >= kCpuidTransmetaBase && f <= kCpuidTransmetaBase + 0xFFFF) {
        switch (f - kCpuidTransmetaBase) {
            case 0:
                return "Maximum supported Transmeta function and Transmeta vendor ID string";
            case 1:
                return "Transmeta processor information";
            case 2:
                return "Transmeta CMS informationn";
            case 3:
            case 4:
            case 5:
            case 6:
                return "Transmeta information string";
            case 7:
                return "Current Transmeta processor information";
            default:
                return "";
        }
    }
    uint32_t i = f - kCpuidExtendedBase;
    switch (i) {
        case 0:
            return "Maximum Extended Function";
        case 1:
            return "Processor Info. and Ex-Feature Flags";
        case 2:
        case 3:
        case 4:
            return "Processor Name String";
        case 5:
            return "L1 Cache and TLB Info.";
        case 6:
            return "L2 Cache and TLB Info.";
        case 7:
            return "Advanced Power Management Feature Flags";
        case 8:
            return "Physical Address and Linear Address Size";
        default:
            return i <= 0x18 ? "Reserved" : "";
    }
}

std::vector<CpuidRow> BuildCpuidRows(const CpuidRecord& record) {
    std::vector<CpuidRow> rows;
    // The arrays bound the rows too, so a record that was never filled lists nothing.
    for (int32_t f = 0;
         f <= record.highestStandard && static_cast<size_t>(f) < record.standard.size(); ++f) {
        CpuidRow row;
        row.function = static_cast<uint32_t>(f);
        row.id = Format("Standard Function %d", f);
        row.description = CpuidFunctionDescription(row.function);
        if (f == 0) row.value = CpuVendorName(record.vendor);
        rows.push_back(std::move(row));
    }
    if (record.highestExtended != 0) {
        for (size_t i = 0; i < record.extended.size(); ++i) {
            CpuidRow row;
            row.function = kCpuidExtendedBase + static_cast<uint32_t>(i);
            if (row.function > record.highestExtended) break;
            row.id = Format("Ex-Function 0x%x", row.function);
            row.description = CpuidFunctionDescription(row.function);
            if (i == 0) row.value = Format("0x%x", record.highestExtended);
            rows.push_back(std::move(row));
        }
    }
    if (record.highestTransmeta != 0) {
        for (size_t i = 0; i < record.transmeta.size(); ++i) {
            CpuidRow row;
            row.function = kCpuidTransmetaBase + static_cast<uint32_t>(i);
            if (row.function > record.highestTransmeta) break;
            row.id = Format("TransMeta Function %d", static_cast<int32_t>(row.function));
            row.description = CpuidFunctionDescription(row.function);
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

CpuidTool::CpuidTool(Platform& platform, DriverClient& client, UserMessages& messages)
    : platform_(platform), client_(client), messages_(messages) {}

void CpuidTool::Open(bool measureClock) {
    processors_ = ProcessorEntries(platform_.ProcessorCount());
    selectedProcessor_ = 0;
    if (measureClock) MeasureClock();
    Collect(0, client_.ConsumerForm());
}

void CpuidTool::SelectProcessor(int index, bool measureClock) {
    if (index < 0 || static_cast<size_t>(index) >= processors_.size()) return;
    selectedProcessor_ = index;
    Collect(static_cast<uint32_t>(index), false);
    if (measureClock) MeasureClock();
}

void CpuidTool::Collect(uint32_t processor, bool inCallingThread) {
    // Start from an empty record: a failed collection then lists nothing.
    record_ = CpuidRecord{};
    if (inCallingThread) {
        CollectCpuid(record_, platform_);
    } else {
        CollectCpuidOnProcessor(record_, processor, platform_, messages_);
    }
    rows_ = BuildCpuidRows(record_);
    selectedRow_ = -1;
    registerText_.clear();
}

void CpuidTool::MeasureClock() {
    ClockMeasurement clock = MeasureProcessorClock(platform_);
    clockVisible_ = clock.ok;
    if (clock.ok) clockText_ = FormatProcessorClock(clock.hz);
}

void CpuidTool::SelectRow(int row) {
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) {
        selectedRow_ = -1;  // the panel keeps the last row's text
        return;
    }
    selectedRow_ = row;
    registerText_ = DecodeCpuidFunction(record_, rows_[static_cast<size_t>(row)].function);
}

void CpuidTool::WriteReport(ReportStream& out) const {
    out.Write("========================= CPUID Information==========================\n\n");
    for (const CpuidRow& row : rows_) {
        out.Printf("%32s\t", row.id.c_str());
        out.Printf("%s", row.description.c_str());
        out.Write("\n");
        out.Write(DecodeCpuidFunction(record_, row.function));
        out.Write("\n");
    }
}

}  // namespace kvt
