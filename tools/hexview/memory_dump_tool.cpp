#include "tools/hexview/memory_dump_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/format.h"
#include "platform/hex.h"
#include "tools/io/hex_input.h"

namespace kvt {

namespace {
constexpr uint64_t kAddressSpace = 0x100000000ull;
constexpr const char* kTempFileError = "Error!  Open temporary file failed!";
}  // namespace

MemoryDumpTool::MemoryDumpTool(DriverClient& client, UserMessages& messages, HexDocument& document,
                               std::string baseName)
    : client_(client), messages_(messages), document_(document), baseName_(std::move(baseName)) {}

bool MemoryDumpTool::CheckField(const std::string& text, const char* field, const char* message,
                                uint64_t& value) {
    if (!IsHexString(text) || text.size() > static_cast<size_t>(kTypingLimit)) {
        messages_.ShowMessage(message);
        messages_.SetFocus(field);
        return false;
    }
    value = LeadingHexValue(text);
    return true;
}

void MemoryDumpTool::Clear() {
    document_.Attach(0, 0, baseName_);
    controlEnabled_ = false;
    searchEnabled_ = false;
    dumpSize_ = 0;
}

uint64_t MemoryDumpTool::ReadPages(uint64_t address, uint8_t* buffer, uint64_t n,
                                   uint64_t* refused) {
    uint64_t done = 0;
    while (done < n) {
        uint64_t at = address + done;
        uint64_t piece = std::min(n - done, kPage - at % kPage);
        if (client_.ReadPhysicalMemory(static_cast<uint32_t>(at), buffer + done,
                                       static_cast<uint32_t>(piece)) == 0) {
            if (!skipHoles) break;
            std::fill(buffer + done, buffer + done + piece, uint8_t{0});
            if (!holes_.empty() && holes_.back().address + holes_.back().length == at) {
                holes_.back().length += piece;
            } else {
                holes_.push_back({at, piece});
            }
        }
        done += piece;
    }
    *refused = address + done;
    return done;
}

bool MemoryDumpTool::Dump(const ProgressFn& progress) {
    uint64_t start = 0, bytes = 0;
    if (!CheckField(address, kFieldAddress, "Input Memory Address Error!", start)) return false;
    if (!CheckField(size, kFieldSize, "Input Memory Size Error!", bytes)) return false;
    if (bytes > kAddressSpace - start) {
        messages_.ShowMessage("Input Memory Size Error!");
        messages_.SetFocus(kFieldSize);
        return false;
    }
    Clear();
    holes_.clear();
    const std::string dataPath = HexDocument::DataPath(baseName_);
    // The file of an earlier dump is written over in place and cut to size at the end: its
    // pages are reused rather than dropped and allocated again (and a file emptied and
    // written anew is not flushed to disk on close).
    int fd = baseName_.empty() ? -1 : open(dataPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        messages_.ShowMessage(kTempFileError);
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(bytes > 0 ? new uint8_t[std::min(bytes, kHexChunk)]
                                                : nullptr);
    uint64_t done = 0;  // bytes of the range read and written
    uint64_t refused = 0;
    bool readFailed = false, writeFailed = false, cancelled = false;
    // Writes buffer[from, to) at file offset chunk + from.
    auto store = [&](uint64_t chunk, uint64_t from, uint64_t to) {
        while (!writeFailed && from < to) {
            ssize_t w =
                pwrite(fd, buffer.get() + from, to - from, static_cast<off_t>(chunk + from));
            if (w <= 0)
                writeFailed = true;
            else
                from += static_cast<uint64_t>(w);
        }
    };
    std::vector<DriverClient::MemoryRead> reads;
    while (done < bytes) {
        // A few chunks are asked for together, through the one buffer: each is written to the
        // file piece by piece as it arrives, while the driver sends the rest and then reads
        // the next chunk. Bytes of a chunk that is then refused are written over or cut off.
        reads.clear();
        for (uint64_t at = done; at < bytes && reads.size() < kChunksPerRound; at += kHexChunk) {
            DriverClient::MemoryRead read;
            read.address = static_cast<uint32_t>(start + at);
            read.buffer = buffer.get();
            read.length = static_cast<uint32_t>(std::min(kHexChunk, bytes - at));
            read.arrived = [&store, at, stored = uint64_t{0}](size_t n) mutable {
                store(at, stored, n);
                stored = n;
            };
            reads.push_back(std::move(read));
        }
        client_.ReadPhysicalMemoryBatch(reads);
        for (const DriverClient::MemoryRead& read : reads) {
            if (!read.served) {
                // Read again page by page, so the bytes before a refused page are kept (and a
                // chunk whose request alone failed is read whole).
                uint64_t got = ReadPages(start + done, buffer.get(), read.length, &refused);
                store(done, 0, got);
                if (writeFailed) break;
                done += got;
                if (got < read.length) {
                    readFailed = true;
                    break;
                }
                continue;
            }
            if (writeFailed) break;
            done += read.length;
        }
        if (writeFailed || readFailed) break;
        if (progress && done < bytes && !progress(done, bytes)) {
            cancelled = true;
            break;
        }
    }
    if (!writeFailed && ftruncate(fd, static_cast<off_t>(done)) != 0) writeFailed = true;
    if (close(fd) != 0) writeFailed = true;
    if (writeFailed || cancelled) {
        if (writeFailed) messages_.ShowMessage(kTempFileError);
        return false;
    }
    if (readFailed) {
        messages_.ShowMessage(
            Format("Error! Read physical memory failed at %08X!", static_cast<unsigned>(refused)));
        if (done == 0) return false;
    }
    if (done > 0 && document_.Attach(done, start, baseName_) != 0) {
        messages_.ShowMessage(kTempFileError);
        return false;
    }
    dumpAddress_ = static_cast<uint32_t>(start);
    dumpSize_ = done;
    controlEnabled_ = true;
    searchEnabled_ = true;
    return !readFailed;
}

bool MemoryDumpTool::Preset(uint32_t physicalAddress, uint32_t bytes, const ProgressFn& progress) {
    address = Format("%08X", physicalAddress);
    size = Format("%08X", bytes);
    return Dump(progress);
}

bool MemoryDumpTool::Write(const ProgressFn& progress) {
    if (dumpSize_ == 0 || !document_.attached()) return true;
    std::vector<uint8_t> data(static_cast<size_t>(std::min(dumpSize_, kHexChunk)));
    std::vector<uint8_t> map(data.size() / 8 + 2);
    for (uint64_t off = 0; off < dumpSize_; off += kHexChunk) {
        size_t n = document_.ReadData(data.data(), off, data.size());
        size_t m = document_.ReadMap(map.data(), off, n);
        if (n == 0 || m == 0) break;
        auto marked = [&](size_t i) { return (map[i / 8] >> (i % 8)) & 1; };
        for (size_t i = 0; i < n;) {
            if (!marked(i)) {
                ++i;
                continue;
            }
            size_t runStart = i;
            while (i < n && marked(i)) ++i;
            uint64_t at = dumpAddress_ + off + runStart;
            if (client_.WritePhysicalMemory(static_cast<uint32_t>(at), data.data() + runStart,
                                            static_cast<uint32_t>(i - runStart)) == 0) {
                // Runs before this one are written: their marks go, the rest stay.
                if (off + runStart > 0) document_.ClearMarks(0, off + runStart);
                messages_.ShowMessage(Format("Error! Write physical memory failed at %08X!",
                                             static_cast<unsigned>(at)));
                return false;
            }
        }
        if (progress && off + n < dumpSize_) progress(off + n, dumpSize_);
    }
    document_.ClearMap();
    return true;
}

FindResult MemoryDumpTool::Search(const ProgressFn& progress) {
    return search.Search(document_, messages_, progress);
}

bool MemoryDumpTool::WriteReport(ReportStream& out) {
    if (dumpSize_ == 0) {
        messages_.ShowMessage("No Data To Save!");
        return false;
    }
    std::vector<uint8_t> data(static_cast<size_t>(std::min(dumpSize_, kHexChunk)));
    for (uint64_t off = 0; off < dumpSize_; off += kHexChunk) {
        size_t n = document_.ReadData(data.data(), off, data.size());
        if (n == 0) return false;
        out.WriteBytes(data.data(), n);
    }
    return !out.failed();
}

}  // namespace kvt
