// Sends one framed request to a driver daemon and reads its answer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "protocol/driver_request.h"

namespace kvt {

enum class TransportResult {
    Ok,             // the daemon handled the request and reported success
    OpenFailed,     // no daemon answers at the device's socket (the device cannot be opened)
    RequestFailed,  // the daemon refused the request, or the exchange broke off
};

// Why a call that was not Ok failed, for messages.
enum class TransportFailure {
    None,
    NoDaemon,         // nothing listens at the socket
    Refused,          // the daemon answered: request refused
    NoAnswer,         // the daemon closed the connection without answering (peer not served)
    TimedOut,         // no answer within the exchange time limit
    BrokenAnswer,     // the answer broke off or was malformed
    UntrustedDaemon,  // the socket is served by a user the client does not trust: nothing sent
    UnsafeFolder,     // a folder on the way to the socket is a link or others may change it
    Cancelled,        // not sent: the user cancelled the action it belonged to
    ConnectionLost,   // the connection to a remote daemon (ssh) ended; detail: ssh's last words
};

// What one exchange came to: its result and, when it was not Ok, why and the particulars
// (which folder, which user, which rule refused a write), else empty. Made from a bare result,
// the cause is the plain one of that result.
struct TransportStatus {
    TransportResult result = TransportResult::RequestFailed;
    TransportFailure failure = TransportFailure::Refused;
    std::string detail;

    TransportStatus() = default;
    TransportStatus(TransportResult r)  // NOLINT: a bare result is a status
        : result(r),
          failure(r == TransportResult::Ok           ? TransportFailure::None
                  : r == TransportResult::OpenFailed ? TransportFailure::NoDaemon
                                                     : TransportFailure::Refused) {}
    TransportStatus(TransportResult r, TransportFailure f, std::string d = {})
        : result(r), failure(f), detail(std::move(d)) {}
    bool ok() const { return result == TransportResult::Ok; }
    friend bool operator==(const TransportStatus& s, TransportResult r) { return s.result == r; }
    friend bool operator==(const TransportStatus& a, const TransportStatus& b) {
        return a.result == b.result && a.failure == b.failure && a.detail == b.detail;
    }
};

struct TransportCall {
    std::string device;                         // "Korvanta" or "korvavxd.vxd"
    uint32_t code = 0;                          // request code of its form
    bool consumerForm = false;                  // block as output buffer only
    std::span<const uint8_t> payloadOut;        // bytes sent after the block (memory write)
    std::vector<uint8_t>* payloadIn = nullptr;  // answer payload; untouched unless Ok
    // Optional place for the answer payload. A transport that supports it receives the payload
    // of a successful answer of exactly this size straight into it (no copy), sets
    // *receivedInto and leaves payloadIn untouched; otherwise payloadIn gets it as above. An
    // answer that breaks off may leave part of it written.
    std::span<uint8_t> payloadInto = {};
    bool* receivedInto = nullptr;
    // Optional, with payloadInto: told how many of its bytes have arrived, piece by piece while
    // the rest is still on its way, so the caller can pass them on (a memory dump writes them
    // to its file meanwhile). Until the call returns Ok the bytes may belong to an answer that
    // breaks off.
    const std::function<void(size_t arrived)>* payloadArrived = nullptr;
    // The processor the request is for, as the header carries it; -1: the calling thread's.
    int64_t processor = -1;
};

// One request of a batch: the call, its block (the answer's block once Ok) and its result.
struct TransportBatchEntry {
    TransportCall call;
    DriverRequest block;
    TransportStatus result;
};

class DriverTransport {
  public:
    virtual ~DriverTransport() = default;
    // One request: open, send, receive, close. On Ok the block holds the answer's block;
    // otherwise the block is left as it was.
    virtual TransportStatus Call(const TransportCall& call, DriverRequest& block) = 0;
    // Independent requests, each with its own result as if Call had been made for each in
    // turn (which this default does). A transport may send several before reading their
    // answers; the requests must not depend on one another's answers.
    virtual void CallBatch(std::span<TransportBatchEntry> entries) {
        for (TransportBatchEntry& entry : entries) entry.result = Call(entry.call, entry.block);
    }
};

// The real transport: Unix-socket connections to <runtimeDir>/korvanta/<device>, one kept per
// device and reused for every request (one request in flight at a time; calls from several
// threads take turns). A kept connection the daemon has closed meanwhile (idle or evicted)
// is replaced once, before any answer byte arrived, so no request is served twice.
// CallBatch sends the frames of a batch back to back (a bounded window at a time) and then
// reads their answers in order, which saves a round trip per request.
class SocketTransport : public DriverTransport {
  public:
    // simulated: the daemon simulates a board, whose processors need not match this machine's;
    // a thread that was not pinned then speaks for the board's processor 0.
    explicit SocketTransport(std::string runtimeDir, bool simulated = false)
        : runtimeDir_(std::move(runtimeDir)), simulated_(simulated) {}
    ~SocketTransport() override;
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;
    TransportStatus Call(const TransportCall& call, DriverRequest& block) override;
    void CallBatch(std::span<TransportBatchEntry> entries) override;
    const std::string& runtimeDir() const { return runtimeDir_; }
    // Closes the kept connections (the next call connects anew).
    void Disconnect();

  protected:
    // Opens a new connection to the daemon of a device: a stream socket, or -1 with *failed set.
    virtual int Connect(const std::string& device, TransportStatus* failed);
    // The connection of a device has been closed: after an exchange that broke off with
    // `failure` (the status returned for it is made here), or by Disconnect (None).
    virtual TransportStatus Closed(const std::string& device, TransportFailure failure);
    // Whether a kept connection the daemon closed before any answer byte is replaced once.
    virtual bool ReplaceDropped() const { return true; }

  private:
    enum class Outcome { Ok, Refused, Dropped, TimedOut, Broken };
    Outcome Exchange(int fd, const TransportCall& call, DriverRequest& block, std::string* refusal);
    bool SendFrame(int fd, const TransportCall& call, const DriverRequest& block);
    // A refusal's words from the daemon, if it gave any, land in *refusal.
    Outcome ReceiveAnswer(int fd, const TransportCall& call, DriverRequest& block,
                          std::string* refusal);
    // Sends one window of a batch (the first entries, one device) and reads its answers;
    // returns how many entries it settled.
    size_t BatchWindow(std::span<TransportBatchEntry> entries);

    std::string runtimeDir_;
    bool simulated_;
    std::mutex mutex_;
    std::map<std::string, int> kept_;  // device -> connection
};

// Connects to the socket of a device's daemon under a runtime folder after the checks of the
// folders and of the user serving it (board: the daemon of a simulated board). -1 with *failed
// set when nobody serves it or a check failed.
int ConnectDaemon(const std::string& runtimeDir, const std::string& device, bool board,
                  TransportStatus* failed);

// Longest wait for one exchange with the daemon, in milliseconds.
long ExchangeTimeLimitMs();

// Text for a failure, such as "closed the connection without an answer".
const char* DescribeFailure(TransportFailure failure);

// The processor the calling thread runs on, as carried in every request header. A thread
// pinned with PinCurrentThread reports the processor it was pinned to, even on a simulated
// board with more processors than this machine.
uint32_t CurrentProcessor();
// The processor a thread was pinned to, or -1 when it was not pinned.
int64_t PinnedProcessor();
void PinCurrentThread(uint32_t processor);

}  // namespace kvt
