// The CPUID tool: every CPUID function of one processor as a list row, the explanation of the
// selected row, the processor choice and the measured clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/platform.h"
#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/cpu/cpuid_record.h"

namespace kvt {

struct ClockMeasurement {
    bool ok = false;  // false: no counter to measure against
    double hz = 0;
};

// Counts time-stamp ticks for a tenth of a second of CLOCK_MONOTONIC_RAW (nanosecond
// frequency) at raised priority where permitted, on whatever processor the caller runs.
ClockMeasurement MeasureProcessorClock(Platform& platform);
// "%-8.2f Mhz" of the rate in MHz.
std::string FormatProcessorClock(double hz);

// The processor list of the processor tools: "#%d" for 0 .. count - 1.
std::vector<std::string> ProcessorEntries(uint32_t count);

struct CpuidRow {
    uint32_t function = 0;
    std::string id;           // "Function ID" column
    std::string description;  // "Description" column
    std::string value;        // "Value" column
};

// Description of a row's function, and its "Value" cell, for a record.
std::string CpuidFunctionDescription(uint32_t function);
std::vector<CpuidRow> BuildCpuidRows(const CpuidRecord& record);

class CpuidTool {
  public:
    CpuidTool(Platform& platform, DriverClient& client, UserMessages& messages);

    // Opening: processor list, clock (unless told not to measure), collection, rows.
    void Open(bool measureClock = true);
    // A change of processor: collect again there, refill the rows, measure again.
    void SelectProcessor(int index, bool measureClock = true);
    // A change of the selected row: its function's text goes into the panel. -1 (no row
    // selected) keeps the panel's text.
    void SelectRow(int row);

    const std::vector<std::string>& processors() const { return processors_; }
    bool processorListEnabled() const { return processors_.size() > 1; }
    int selectedProcessor() const { return selectedProcessor_; }
    const std::vector<CpuidRow>& rows() const { return rows_; }
    int selectedRow() const { return selectedRow_; }
    const std::string& registerText() const { return registerText_; }
    bool clockVisible() const { return clockVisible_; }
    const std::string& clockText() const { return clockText_; }
    const CpuidRecord& record() const { return record_; }

    void WriteReport(ReportStream& out) const;

  private:
    void Collect(uint32_t processor, bool inCallingThread);
    void MeasureClock();

    Platform& platform_;
    DriverClient& client_;
    UserMessages& messages_;
    CpuidRecord record_;
    std::vector<std::string> processors_;
    int selectedProcessor_ = 0;
    std::vector<CpuidRow> rows_;
    int selectedRow_ = -1;
    std::string registerText_;
    bool clockVisible_ = true;
    std::string clockText_;
};

}  // namespace kvt
