#include "hwaccess/transport.h"

#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/endpoint.h"
#include "protocol/frame.h"

namespace kvt {

// A 4 MiB transfer takes milliseconds; KORVANTA_TIME_LIMIT_MS shortens (or lengthens) the
// limit, for tests and slow machines.
long ExchangeTimeLimitMs() {
    static const long limit = [] {
        const char* text = std::getenv("KORVANTA_TIME_LIMIT_MS");
        long ms = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
        return ms > 0 && ms <= 3600000 ? ms : 10000L;
    }();
    return limit;
}

namespace {

// Simulated processor number of a thread pinned with PinCurrentThread; -1 when not pinned.
thread_local int64_t t_pinnedProcessor = -1;

bool SendAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, void* data, size_t size) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, MSG_WAITALL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Receives call.payloadInto whole; with payloadArrived, in pieces, reporting each.
bool ReceiveInto(int fd, const TransportCall& call) {
    std::span<uint8_t> into = call.payloadInto;
    if (call.payloadArrived == nullptr) return RecvAll(fd, into.data(), into.size());
    // Large enough to keep system calls few, small enough that the caller's work on one piece
    // overlaps the sender's on the next.
    constexpr size_t kPiece = 1024 * 1024;
    for (size_t done = 0; done < into.size();) {
        size_t piece = std::min(kPiece, into.size() - done);
        if (!RecvAll(fd, into.data() + done, piece)) return false;
        done += piece;
        (*call.payloadArrived)(done);
    }
    return true;
}

}  // namespace

uint32_t CurrentProcessor() {
    if (t_pinnedProcessor >= 0) return static_cast<uint32_t>(t_pinnedProcessor);
    int cpu = sched_getcpu();
    return cpu < 0 ? 0u : static_cast<uint32_t>(cpu);
}

int64_t PinnedProcessor() {
    return t_pinnedProcessor;
}

void PinCurrentThread(uint32_t processor) {
    t_pinnedProcessor = processor;
    // Best effort: a simulated board may have more processors than this machine, and the
    // request header carries the chosen processor either way.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (processor < CPU_SETSIZE) {
        CPU_SET(processor, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    }
}

namespace {

// Connects to a device's socket once its folders pass the checks, and only when the process
// serving it is one the client trusts (SO_PEERCRED, before a byte is sent): another user can
// serve a socket of the same name in a folder of theirs, and would see every request (write
// payloads included) and forge the answers. -1 with *failed set otherwise: OpenFailed when
// nobody serves the socket (a daemon may be started), a refusal when a check failed.
int OpenConnection(const std::string& runtimeDir, const std::string& device, bool board,
                   TransportStatus* failed) {
    std::string why;
    if (!CheckSocketFolders(runtimeDir, board, &why)) {
        *failed = {TransportResult::RequestFailed, TransportFailure::UnsafeFolder, why};
        return -1;
    }
    const std::string path = SocketPath(runtimeDir, device);
    *failed = TransportResult::OpenFailed;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A daemon that stops answering must not hold the caller (the window) for ever.
    long ms = ExchangeTimeLimitMs();
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer;
    std::vector<uid_t> trusted = TrustedDaemonUsers(board);
    if (!known || std::find(trusted.begin(), trusted.end(), peer.uid) == trusted.end()) {
        ::close(fd);
        *failed = {TransportResult::RequestFailed, TransportFailure::UntrustedDaemon,
                   known ? path + " is served by uid " + std::to_string(peer.uid) + " (pid " +
                               std::to_string(peer.pid) + "), not by " +
                               (board ? "uid " + std::to_string(geteuid())
                                      : std::string("root or the daemon's user"))
                         : "the user serving " + path + " is unknown"};
        return -1;
    }
    return fd;
}

}  // namespace

int ConnectDaemon(const std::string& runtimeDir, const std::string& device, bool board,
                  TransportStatus* failed) {
    return OpenConnection(runtimeDir, device, board, failed);
}

SocketTransport::~SocketTransport() {
    Disconnect();
}

void SocketTransport::Disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [device, fd] : kept_) {
        if (fd >= 0) ::close(fd);
        Closed(device, TransportFailure::None);
    }
    kept_.clear();
}

int SocketTransport::Connect(const std::string& device, TransportStatus* failed) {
    return OpenConnection(runtimeDir_, device, simulated_, failed);
}

TransportStatus SocketTransport::Closed(const std::string&, TransportFailure failure) {
    return {TransportResult::RequestFailed, failure};
}

bool SocketTransport::SendFrame(int fd, const TransportCall& call, const DriverRequest& block) {
    uint8_t prefix[kRequestPrefixSize];
    FrameHeader header{kFrameMagic,
                       kFrameVersion,
                       static_cast<uint16_t>(call.consumerForm ? kFlagConsumerForm : 0),
                       call.code,
                       call.processor >= 0                   ? static_cast<uint32_t>(call.processor)
                       : simulated_ && PinnedProcessor() < 0 ? 0u
                                                             : CurrentProcessor(),
                       static_cast<uint32_t>(call.payloadOut.size())};
    std::memcpy(prefix, &header, sizeof header);
    std::memcpy(prefix + sizeof header, &block, kDriverRequestSize);
    // A send that fails means the daemon closed the connection before reading this frame.
    if (!SendAll(fd, prefix, sizeof prefix)) return false;
    return call.payloadOut.empty() || SendAll(fd, call.payloadOut.data(), call.payloadOut.size());
}

SocketTransport::Outcome SocketTransport::ReceiveAnswer(int fd, const TransportCall& call,
                                                        DriverRequest& block,
                                                        std::string* refusal) {
    uint8_t answerPrefix[kAnswerPrefixSize];
    refusal->clear();
    ssize_t first;
    do {
        first = ::recv(fd, answerPrefix, 1, 0);
    } while (first < 0 && errno == EINTR);
    if (first < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Outcome::TimedOut;
    if (first <= 0) return Outcome::Dropped;  // closed with no answer byte
    if (!RecvAll(fd, answerPrefix + 1, sizeof answerPrefix - 1)) return Outcome::Broken;
    AnswerHeader answer;
    std::memcpy(&answer, answerPrefix, sizeof answer);
    if (answer.magic != kAnswerMagic || answer.version != kFrameVersion ||
        answer.payloadLength > kMaxPayload) {
        return Outcome::Broken;
    }
    if (answer.success == 1 && call.receivedInto != nullptr && !call.payloadInto.empty() &&
        answer.payloadLength == call.payloadInto.size()) {
        // The payload the caller expects goes straight to its place.
        if (!ReceiveInto(fd, call)) return Outcome::Broken;
        std::memcpy(&block, answerPrefix + sizeof answer, kDriverRequestSize);
        *call.receivedInto = true;
        return Outcome::Ok;
    }
    // The payload arrives in a buffer of its own, so a broken exchange leaves the caller's
    // buffers as they were.
    std::vector<uint8_t> payload(answer.payloadLength);
    if (!payload.empty() && !RecvAll(fd, payload.data(), payload.size())) return Outcome::Broken;
    if (answer.success != 1) {
        // A refusal may say why: a cause code and its text as the payload. Only printable
        // text is kept, so a daemon cannot send terminal controls to the user's screen.
        if (answer.reserved == kCauseRule && payload.size() <= kMaxCauseText)
            for (uint8_t c : payload) refusal->push_back(c >= 0x20 && c < 0x7F ? char(c) : '?');
        return Outcome::Refused;
    }
    std::memcpy(&block, answerPrefix + sizeof answer, kDriverRequestSize);
    if (call.payloadIn != nullptr) *call.payloadIn = std::move(payload);
    return Outcome::Ok;
}

SocketTransport::Outcome SocketTransport::Exchange(int fd, const TransportCall& call,
                                                   DriverRequest& block, std::string* refusal) {
    if (!SendFrame(fd, call, block)) return Outcome::Dropped;
    return ReceiveAnswer(fd, call, block, refusal);
}

namespace {

// The status of an exchange that broke off.
TransportStatus Broke(TransportFailure failure) {
    return {TransportResult::RequestFailed, failure};
}

}  // namespace

TransportStatus SocketTransport::Call(const TransportCall& call, DriverRequest& block) {
    if (call.payloadOut.size() > kMaxPayload) return TransportResult::RequestFailed;
    std::lock_guard<std::mutex> lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto found = kept_.find(call.device);
        bool fresh = found == kept_.end();
        if (fresh) {
            TransportStatus failed;
            int fd = Connect(call.device, &failed);
            if (fd < 0) return failed;
            found = kept_.emplace(call.device, fd).first;
        }
        std::string refusal;
        Outcome outcome = Exchange(found->second, call, block, &refusal);
        if (outcome == Outcome::Ok) return TransportResult::Ok;
        if (outcome == Outcome::Refused)
            return {TransportResult::RequestFailed, TransportFailure::Refused, std::move(refusal)};
        // The connection is no longer in step with the daemon: never reuse it.
        ::close(found->second);
        kept_.erase(found);
        TransportStatus lost =
            Closed(call.device, outcome == Outcome::Dropped    ? TransportFailure::NoAnswer
                                : outcome == Outcome::TimedOut ? TransportFailure::TimedOut
                                                               : TransportFailure::BrokenAnswer);
        if (outcome == Outcome::Dropped && !fresh && ReplaceDropped())
            continue;  // closed while kept: once more
        return lost;
    }
    return Broke(TransportFailure::NoAnswer);
}

namespace {

// A batch window: at most this many frames, and this many bytes unless one frame is larger,
// well within a socket's send buffer, so sending a window never waits for the daemon, which
// answers frame after frame while the client is still sending.
constexpr size_t kBatchWindowFrames = 64;
constexpr size_t kBatchWindowBytes = 64 * 1024;

}  // namespace

size_t SocketTransport::BatchWindow(std::span<TransportBatchEntry> entries) {
    const std::string& device = entries[0].call.device;
    size_t count = 0, bytes = 0;
    while (count < entries.size() && count < kBatchWindowFrames &&
           entries[count].call.device == device) {
        size_t frame = kRequestPrefixSize + entries[count].call.payloadOut.size();
        if (count > 0 && bytes + frame > kBatchWindowBytes) break;
        bytes += frame;
        ++count;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto found = kept_.find(device);
        bool fresh = found == kept_.end();
        if (fresh) {
            TransportStatus failed;
            int fd = Connect(device, &failed);
            if (fd < 0) {
                for (size_t i = 0; i < count; ++i) entries[i].result = failed;
                return count;
            }
            found = kept_.emplace(device, fd).first;
        }
        const int fd = found->second;
        size_t sent = 0;
        while (sent < count && SendFrame(fd, entries[sent].call, entries[sent].block)) ++sent;
        // Answers come in the order of the frames; a refused request does not disturb the rest.
        size_t settled = 0;
        Outcome outcome = Outcome::Dropped;  // a frame not sent whole gets no answer
        for (; settled < sent; ++settled) {
            TransportBatchEntry& entry = entries[settled];
            std::string refusal;
            outcome = ReceiveAnswer(fd, entry.call, entry.block, &refusal);
            if (outcome == Outcome::Ok) {
                entry.result = TransportResult::Ok;
            } else if (outcome == Outcome::Refused) {
                entry.result = {TransportResult::RequestFailed, TransportFailure::Refused,
                                std::move(refusal)};
            } else {
                break;
            }
        }
        if (settled == count) return count;
        // The connection is no longer in step with the daemon: never reuse it.
        ::close(fd);
        kept_.erase(found);
        const TransportStatus broken =
            Closed(device, outcome == Outcome::Dropped    ? TransportFailure::NoAnswer
                           : outcome == Outcome::TimedOut ? TransportFailure::TimedOut
                                                          : TransportFailure::BrokenAnswer);
        if (outcome == Outcome::Dropped && ReplaceDropped()) {
            // The daemon closed the connection between frames (idle, evicted): the frames
            // without an answer byte were not served. Once answers came, or on a connection that
            // was kept, the rest is sent again on a new one.
            if (settled > 0) return settled;
            if (!fresh) continue;
            entries[0].result = broken;
            return 1;
        }
        // No answer in time, or a broken one (or a lost connection, whose frames may have
        // reached the daemon): the requests after it may still be served, so none of this
        // window is sent again.
        for (size_t i = settled; i < count; ++i) entries[i].result = broken;
        return count;
    }
    entries[0].result = Broke(TransportFailure::NoAnswer);
    return 1;
}

void SocketTransport::CallBatch(std::span<TransportBatchEntry> entries) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t done = 0;
    while (done < entries.size()) {
        TransportBatchEntry& entry = entries[done];
        if (entry.call.payloadOut.size() > kMaxPayload) {
            entry.result = TransportResult::RequestFailed;
            ++done;
            continue;
        }
        size_t end = done + 1;
        while (end < entries.size() && entries[end].call.payloadOut.size() <= kMaxPayload) ++end;
        done += BatchWindow(entries.subspan(done, end - done));
    }
}

const char* DescribeFailure(TransportFailure failure) {
    switch (failure) {
        case TransportFailure::None:
            return "no failure";
        case TransportFailure::NoDaemon:
            return "no daemon answers at its socket";
        case TransportFailure::Refused:
            return "the daemon refused the request";
        case TransportFailure::NoAnswer:
            return "the daemon closed the connection without an answer";
        case TransportFailure::TimedOut: {
            static const std::string text = [] {
                long ms = ExchangeTimeLimitMs();
                return "the daemon did not answer within " + (ms % 1000 == 0
                                                                  ? std::to_string(ms / 1000) + " s"
                                                                  : std::to_string(ms) + " ms");
            }();
            return text.c_str();
        }
        case TransportFailure::BrokenAnswer:
            return "the daemon's answer broke off";
        case TransportFailure::UntrustedDaemon:
            return "the socket is served by a process of another user, not by the daemon";
        case TransportFailure::UnsafeFolder:
            return "a folder on the way to the daemon's socket is not safe";
        case TransportFailure::Cancelled:
            return "cancelled before it was sent";
        case TransportFailure::ConnectionLost:
            return "the connection to the remote daemon was lost";
    }
    return "unknown failure";
}

}  // namespace kvt
