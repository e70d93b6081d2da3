// Checks and serves one driver request against a backend. Every field of the header and the
// block is checked before the backend sees it; a request that fails a check is refused
// (success 0) without touching the hardware.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/backend.h"
#include "driver/journal.h"
#include "driver/policy.h"
#include "protocol/driver_request.h"
#include "protocol/frame.h"

namespace kvt::driver {

// Who sent a request, as the kernel reports the peer of the connection.
struct Caller {
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
};

struct Answer {
    bool success = false;
    uint16_t cause = 0;  // kCauseRule: the payload says which rule refused the request
    alignas(8) DriverRequest block{};  // aligned, so its 32-bit fields are too
    std::vector<uint8_t> payload;
};

// Receives one line per write request: once before the backend is called and once with the
// result (or the reason it was refused). Returns false when the line could not be recorded:
// the write is then refused.
using WriteLogger = std::function<bool(const std::string& line)>;

struct HandlerOptions {
    bool readOnly = false;
    WriteLogger writeLogger;  // empty: write requests are not logged
    std::string profileLine;  // a board daemon's "profile: ..." status line
    std::string profilePath;  // and the file it names
    // Whether audit lines can be written now, and where they go ("system log (/dev/log)"),
    // for the status; empty: always, and no "audit:" line.
    std::function<bool()> auditReady;
    std::function<std::string()> auditDestination;
    // What members of the group may do (empty: no policy file). Never restricts root or the
    // user the daemon runs as.
    Policy policy;
    // Where served writes are recorded so they can be undone (null: nowhere).
    WriteJournal* journal = nullptr;
};

class RequestHandler {
  public:
    RequestHandler(Backend& backend, HandlerOptions options);
    // Journals the port writes of an SMBus bracket still open, as port writes.
    ~RequestHandler();
    RequestHandler(const RequestHandler&) = delete;
    RequestHandler& operator=(const RequestHandler&) = delete;

    // `device` is the socket the request arrived on ("Korvanta" or "korvavxd.vxd").
    Answer Handle(const Caller& caller, std::string_view device, const FrameHeader& header,
                  const DriverRequest& request, std::span<const uint8_t> payload);

    // Set once a stop request was served; the server ends after sending its answer.
    bool stopRequested() const { return stopRequested_; }
    Backend& backend() { return backend_; }
    // Records a write the backend carried out (the entry's id and time are given here). Every
    // write request calls it once its write succeeded; an undo passes the id it undoes.
    void JournalWrite(const Caller& caller, JournalEntry entry);
    // Hands back an answer's payload once it was sent, so the next memory read reuses its
    // pages instead of faulting in fresh ones.
    void Recycle(std::vector<uint8_t>&& buffer);

  private:
    Answer HandleNt(const Caller& caller, const FrameHeader& header, const DriverRequest& request,
                    std::span<const uint8_t> payload);
    Answer HandleConsumer(const Caller& caller, const FrameHeader& header,
                          const DriverRequest& request, std::span<const uint8_t> payload);
    Answer HandleExtension(const Caller& caller, const FrameHeader& header,
                           const DriverRequest& request);

    Answer ReadMemory(const Caller& caller, const DriverRequest& request);
    Answer ReadPciBlock(const Caller& caller, const DriverRequest& request);
    Answer PciBarSizes(const Caller& caller, const DriverRequest& request);
    Answer ListPciAll(const DriverRequest& request);
    Answer SmbusKernel(const Caller& caller, const DriverRequest& request);
    Answer WriteMemory(const Caller& caller, const char* name, const DriverRequest& request,
                       std::span<const uint8_t> payload);
    Answer ReadMsr(const Caller& caller, const FrameHeader& header, const DriverRequest& request);
    Answer WriteMsr(const Caller& caller, const char* name, const FrameHeader& header,
                    const DriverRequest& request);
    Answer ReadPort(const Caller& caller, const DriverRequest& request);
    Answer WritePort(const Caller& caller, const char* name, const DriverRequest& request);
    Answer WriteCmos(const Caller& caller, const DriverRequest& request);
    Answer WritePciSized(const Caller& caller, const DriverRequest& request);
    Answer ReadJournal(const Caller& caller, const DriverRequest& request);
    Answer SmbusPortsBegin(const Caller& caller, const DriverRequest& request);
    Answer SmbusPortsEnd(const Caller& caller, const DriverRequest& request);
    // Journals the port writes kept for an open SMBus bracket as port writes, and closes it.
    void FlushSmbusPorts();
    Answer Undo(const Caller& caller, const DriverRequest& request);

    // Each write with its audit lines and journal entry (old value read first where that has
    // no side effects); false when it was refused or failed.
    bool PciWrite(const Caller& caller, const char* name, uint32_t configAddress, uint32_t value,
                  std::optional<uint64_t> undoOf = {});
    // One register of 1, 2 or 4 bytes; `address` in the extended mechanism-#1 form. `after`
    // receives the register read back, when it could be.
    bool PciSizedWrite(const Caller& caller, const char* name, uint32_t address, uint32_t width,
                       uint32_t value, std::optional<uint64_t> undoOf = {},
                       std::optional<uint32_t>* after = nullptr);
    bool MsrWrite(const Caller& caller, const char* name, uint32_t processor, uint32_t msr,
                  uint64_t value, std::optional<uint64_t> undoOf = {});
    bool MemoryWrite(const Caller& caller, const char* name, uint32_t address, const uint8_t* data,
                     uint32_t length, std::optional<uint64_t> undoOf = {});
    bool CmosWrite(const Caller& caller, const char* name, uint16_t indexPort, uint8_t offset,
                   uint8_t value, std::optional<uint64_t> undoOf = {});
    // A CMOS byte through its index; false when it cannot be read without side effects.
    bool CmosRead(uint16_t indexPort, uint8_t offset, uint8_t& value);
    // What an entry's target holds now, as its bytes; false when it cannot be read.
    bool ReadCurrent(const JournalEntry& entry, std::vector<uint8_t>& bytes);

    // Logs a write before it reaches the backend; false when the daemon is read-only (the
    // refusal is logged too).
    bool BeginWrite(const Caller& caller, const char* name, const std::string& target);
    void EndWrite(const Caller& caller, const char* name, const std::string& target, bool ok);
    bool Log(const std::string& line);
    // Whether the policy applies to the caller.
    bool Restricted(const Caller& caller) const;
    // A write the policy refuses: logged with the rule, and answered with it.
    Answer PolicyRefusal(const Caller& caller, const char* name, const std::string& target,
                         const DriverRequest& request, const std::string& why);
    // Why every write is refused now (read-only, no audit destination); empty when none is.
    std::string WritesRefused();
    std::string Status();
    Answer Capabilities(const DriverRequest& request);

    Backend& backend_;
    HandlerOptions options_;
    bool stopRequested_ = false;
    std::vector<uint8_t> spare_;
    // An SMBus write a caller makes through a controller's ports (kExtSmbusPortsBegin): its
    // entry, and its port writes until the end request.
    struct SmbusBracket {
        bool open = false;
        Caller caller;
        JournalEntry entry;
        std::vector<JournalEntry> ports;
    } smbusBracket_;
};

// Text of the status request: the backend's name on the first line, then one line per kind
// of access, then the write policy: "writes: allowed" or "writes: refused (why)".
std::string StatusText(Backend& backend, bool readOnly, const std::string& refusedWhy = {});
// What the backend can do, as the bits of the capabilities request.
uint32_t CapabilityBitsOf(Backend& backend, bool readOnly);

}  // namespace kvt::driver
