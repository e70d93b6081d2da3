// Memory Dump: a range of physical memory copied into the window's data file through the
// driver, shown and edited in the hex edit control, and the edited bytes written back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/hexview/hex_document.h"
#include "tools/hexview/search_panel.h"

namespace kvt {

class MemoryDumpTool {
  public:
    static constexpr const char* kFieldAddress = "address";
    static constexpr const char* kFieldSize = "size";
    static constexpr int kTypingLimit = 8;
    static constexpr uint64_t kPage = 0x1000;
    // Chunks asked for together; the progress (and a cancel) is seen between rounds.
    static constexpr size_t kChunksPerRound = 4;

    // baseName: the path of the window's two files without extension (…/Memory1).
    MemoryDumpTool(DriverClient& client, UserMessages& messages, HexDocument& document,
                   std::string baseName);

    std::string address, size;  // entry fields as typed
    SearchPanel search;
    // Go on past refused pages, filling them with 00h (each listed in holes()), instead of
    // stopping at the first.
    bool skipHoles = false;
    struct Hole {
        uint64_t address, length;
    };

    // Checks the fields, reads the range in 4 MiB chunks into the data file and shows it.
    // A refused read keeps the bytes before it and names the refused address; a cancel
    // leaves the tool cleared. True when the whole range was dumped.
    bool Dump(const ProgressFn& progress = {});
    // Fields := "%08X" of the two numbers, then Dump.
    bool Preset(uint32_t physicalAddress, uint32_t bytes, const ProgressFn& progress = {});
    // Writes every run of modified bytes back (runs never cross a 4 MiB chunk), then clears
    // the marks. A refused write stops there, names its address and keeps the marks of the
    // runs not written. True when everything was written.
    bool Write(const ProgressFn& progress = {});
    void Clear();
    FindResult Search(const ProgressFn& progress = {});
    // The dumped (edited) bytes, unchanged; "No Data To Save!" without a dump.
    bool WriteReport(ReportStream& out);

    bool controlEnabled() const { return controlEnabled_; }
    bool searchEnabled() const { return searchEnabled_; }
    uint32_t dumpAddress() const { return dumpAddress_; }
    uint64_t dumpSize() const { return dumpSize_; }
    HexDocument& document() { return document_; }
    const std::string& baseName() const { return baseName_; }
    // The refused stretches of the last dump with skipHoles, in order, adjacent pages joined.
    const std::vector<Hole>& holes() const { return holes_; }

  private:
    bool CheckField(const std::string& text, const char* field, const char* message,
                    uint64_t& value);
    // Reads [address, address + n) into buffer page by page (after a refused chunk) and
    // returns the bytes read before the first refused page (its address in *refused); with
    // skipHoles, all n, refused pages zero and listed.
    uint64_t ReadPages(uint64_t address, uint8_t* buffer, uint64_t n, uint64_t* refused);

    DriverClient& client_;
    UserMessages& messages_;
    HexDocument& document_;
    std::string baseName_;
    bool controlEnabled_ = false;
    bool searchEnabled_ = false;
    uint32_t dumpAddress_ = 0;
    uint64_t dumpSize_ = 0;
    std::vector<Hole> holes_;
};

}  // namespace kvt
