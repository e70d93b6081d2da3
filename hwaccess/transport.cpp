#include "hwaccess/transport.h"

#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hwaccess/protocol/endpoint.h"
#include "hwaccess/protocol/frame.h"

namespace kvt {

namespace {

// Longest wait for one exchange with the daemon; a 4 MiB transfer takes milliseconds.
constexpr time_t kExchangeTimeoutSeconds = 10;

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

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

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

TransportResult SocketTransport::Call(const TransportCall& call, DriverRequest& block) {
    if (call.payloadOut.size() > kMaxPayload) return TransportResult::RequestFailed;
    std::string path = SocketPath(runtimeDir_, call.device);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return TransportResult::OpenFailed;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return TransportResult::OpenFailed;
    // A daemon that stops answering must not hold the caller (the window) for ever.
    timeval limit{kExchangeTimeoutSeconds, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return TransportResult::OpenFailed;
    }

    uint8_t prefix[kRequestPrefixSize];
    FrameHeader header{kFrameMagic,
                       kFrameVersion,
                       static_cast<uint16_t>(call.consumerForm ? kFlagConsumerForm : 0),
                       call.code,
                       simulated_ && PinnedProcessor() < 0 ? 0u : CurrentProcessor(),
                       static_cast<uint32_t>(call.payloadOut.size())};
    std::memcpy(prefix, &header, sizeof header);
    std::memcpy(prefix + sizeof header, &block, kDriverRequestSize);
    if (!SendAll(fd.get(), prefix, sizeof prefix)) return TransportResult::RequestFailed;
    if (!call.payloadOut.empty() &&
        !SendAll(fd.get(), call.payloadOut.data(), call.payloadOut.size())) {
        return TransportResult::RequestFailed;
    }

    uint8_t answerPrefix[kAnswerPrefixSize];
    if (!RecvAll(fd.get(), answerPrefix, sizeof answerPrefix)) {
        return TransportResult::RequestFailed;
    }
    AnswerHeader answer;
    std::memcpy(&answer, answerPrefix, sizeof answer);
    if (answer.magic != kAnswerMagic || answer.version != kFrameVersion ||
        answer.payloadLength > kMaxPayload) {
        return TransportResult::RequestFailed;
    }
    if (answer.success != 1) return TransportResult::RequestFailed;
    // The payload arrives in a buffer of its own, so a broken exchange leaves the caller's
    // buffers as they were.
    std::vector<uint8_t> payload(answer.payloadLength);
    if (!payload.empty() && !RecvAll(fd.get(), payload.data(), payload.size())) {
        return TransportResult::RequestFailed;
    }
    std::memcpy(&block, answerPrefix + sizeof answer, kDriverRequestSize);
    if (call.payloadIn != nullptr) *call.payloadIn = std::move(payload);
    return TransportResult::Ok;
}

}  // namespace kvt
