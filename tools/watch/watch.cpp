#include "tools/watch/watch.h"

#include <time.h>

#include "hwaccess/request_failure.h"
#include "platform/format.h"
#include "platform/user_messages.h"
#include "tools/io/cmos_tool.h"
#include "tools/pci/pci_enum.h"

namespace kvt {

namespace {

class NoMessages : public UserMessages {
  public:
    void ShowMessage(std::string_view) override {}
    void SetFocus(std::string_view) override {}
};

std::string Bytes(const std::vector<uint64_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        AppendFormat(text, i ? " %02X" : "%02X", static_cast<unsigned>(bytes[i]));
    return text;
}

// A JSON string: the texts are hexadecimal digits and messages, which may hold quotes.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            AppendFormat(out, "\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool Fatal(TransportFailure failure) {
    switch (failure) {
        case TransportFailure::NoDaemon:
        case TransportFailure::NoAnswer:
        case TransportFailure::TimedOut:
        case TransportFailure::BrokenAnswer:
        case TransportFailure::UntrustedDaemon:
        case TransportFailure::UnsafeFolder:
        case TransportFailure::Cancelled:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string WatchTitle(const WatchTarget& t) {
    switch (t.kind) {
        case WatchKind::Io:
            return Format("io %04X", t.port) + (t.width == 1 ? "" : Format(" width %u", t.width));
        case WatchKind::Pci:
            return Format("pci %02X:%02X.%X %X", t.bus, t.device, t.function, t.offset);
        case WatchKind::Msr:
            return Format("msr %X", t.msr) + (t.processor == WatchTarget::kAllProcessors
                                                  ? std::string(" cpu all")
                                                  : Format(" cpu %d", t.processor));
        case WatchKind::Mem:
            return Format("mem %08X %X", t.address, t.length);
        case WatchKind::Cmos:
            return Format("cmos %02X bank %02X", t.cmosOffset, 0x70 + 2 * t.bank);
        case WatchKind::Smbus:
            return Format("smbus %02X:%02X.%X %02X %02X", t.controller.bus, t.controller.device,
                          t.controller.function, t.slave, t.command) +
                   (t.width == 2   ? " word"
                    : t.width == 0 ? " block"
                                   : "");
    }
    return {};
}

std::string WatchTimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(ms / 1000);
    long millis = static_cast<long>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    struct tm local {};
    localtime_r(&seconds, &local);
    return Format("%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec, millis);
}

std::string WatchLine(const WatchSample& sample) {
    return WatchTimeText(sample.time) + (sample.ok ? " " : " failed: ") + sample.text;
}

std::string WatchJsonLine(const WatchSample& sample, const WatchTarget& target) {
    std::string line = "{\"time\":" + JsonString(WatchTimeText(sample.time));
    if (!sample.ok) return line + ",\"error\":" + JsonString(sample.text) + "}";
    line += ",\"value\":";
    if (target.kind == WatchKind::Msr && target.processor == WatchTarget::kAllProcessors) {
        line += "[";
        for (size_t i = 0; i < sample.values.size(); ++i)
            line +=
                (i ? "," : "") +
                JsonString(Format("%016llX", static_cast<unsigned long long>(sample.values[i])));
        line += "]";
    } else {
        line += JsonString(sample.text);
    }
    return line + "}";
}

WatchSampler::WatchSampler(DriverClient& client, const WatchTarget& target,
                           const DriverCapabilities* caps)
    : client_(client), target_(target), caps_(caps), smbus_(client) {
    if (target_.kind == WatchKind::Smbus && target_.throughKernel)
        smbus_.RouteThroughKernel(target_.controller.bus, target_.controller.device,
                                  target_.controller.function);
}

bool WatchSampler::Prepare(std::string& error) {
    if (target_.kind != WatchKind::Pci || target_.offset < 0x100) return true;
    // Offsets from 100h lie in the PCI Express configuration window, as `pci read` reads them.
    const PciAddress at(target_.bus, target_.device, target_.function, target_.offset);
    PciWindow window;
    if (!client_.PcieWindow(window)) {
        error =
            "offsets from 100 need the PCI Express configuration window, which this machine "
            "does not offer";
        return false;
    }
    if (!window.Covers(at)) {
        error = Format("bus %02X is outside the PCI Express configuration window (buses %02X-%02X)",
                       target_.bus, window.firstBus, window.lastBus);
        return false;
    }
    windowAddress_ = static_cast<uint32_t>(window.AddressOf(at));
    return true;
}

bool WatchSampler::Failed(WatchSample& sample, const std::string& what, const RequestStatus& status,
                          int kind) {
    const AccessKind access = static_cast<AccessKind>(kind);
    const bool plain =
        status.failure == TransportFailure::None || status.failure == TransportFailure::Refused;
    if (plain && (caps_ == nullptr || AccessOf(*caps_, access).available)) {
        // The daemon refused this read: its own words when it gave any.
        sample.text =
            what + " was refused" + (status.detail.empty() ? "" : " (" + status.detail + ")");
    } else {
        sample.text = what + " failed (" + DescribeRequestFailure(status.failure, access, caps_) +
                      (status.detail.empty() ? "" : ": " + status.detail) + ")";
    }
    sample.fatal = Fatal(status.failure);
    return false;
}

bool WatchSampler::ReadValue(WatchSample& s) {
    const WatchTarget& t = target_;
    switch (t.kind) {
        case WatchKind::Io: {
            Reply<uint32_t> r = client_.TryReadPort(t.port, t.width);
            if (!r) return Failed(s, "the port read", r, int(AccessKind::Ports));
            uint32_t mask = t.width == 4 ? 0xFFFFFFFFu : (1u << (8 * t.width)) - 1;
            s.values = {r.value & mask};
            s.text = Format("%0*X", static_cast<int>(2 * t.width), r.value & mask);
            return true;
        }
        case WatchKind::Pci: {
            uint32_t value = 0;
            if (t.offset < 0x100) {
                Reply<uint32_t> r = client_.TryReadPciConfig(
                    PciAddress(t.bus, t.device, t.function, t.offset).ConfigAddress());
                if (!r) return Failed(s, "the configuration read", r, int(AccessKind::PciConfig));
                value = r.value;
            } else {
                RequestStatus r = client_.TryReadMemory(windowAddress_, &value, 4);
                if (!r) return Failed(s, "the configuration read", r, int(AccessKind::PcieWindow));
            }
            s.values = {value};
            s.text = Format("%08X", value);
            return true;
        }
        case WatchKind::Msr: {
            const bool all = t.processor == WatchTarget::kAllProcessors;
            const uint32_t first = all ? 0 : static_cast<uint32_t>(t.processor);
            const uint32_t end = all ? t.processorCount : first + 1;
            for (uint32_t p = first; p < end; ++p) {
                Reply<uint64_t> r = client_.TryReadMsr(p, t.msr);
                if (!r) {
                    s.values.clear();
                    return Failed(s,
                                  all ? Format("the MSR read on processor %u", p)
                                      : std::string("the MSR read"),
                                  r, int(AccessKind::Msr));
                }
                s.values.push_back(r.value);
                AppendFormat(s.text, s.text.empty() ? "%016llX" : " %016llX",
                             static_cast<unsigned long long>(r.value));
            }
            return true;
        }
        case WatchKind::Mem: {
            std::vector<uint8_t> bytes(t.length);
            RequestStatus r = client_.TryReadMemory(t.address, bytes.data(), t.length);
            if (!r) return Failed(s, "the memory read", r, int(AccessKind::Memory));
            s.values.assign(bytes.begin(), bytes.end());
            s.text = Bytes(s.values);
            return true;
        }
        case WatchKind::Cmos: {
            NoMessages quiet;
            CmosTool cmos(client_, quiet);
            cmos.SelectBank(t.bank);
            uint8_t value = 0;
            RequestStatus r = cmos.ReadByte(t.cmosOffset, value);
            if (!r) return Failed(s, "the CMOS read", r, int(AccessKind::Ports));
            s.values = {value};
            s.text = Format("%02X", value);
            return true;
        }
        case WatchKind::Smbus: {
            const SmbusController& c = t.controller;
            int result = kSmbusOk;
            if (t.width == 2) {
                uint16_t v = 0;
                result = SmbusReadWord(smbus_, c.ioBase, t.slave, t.command, v, c.vendorKind);
                if (result == kSmbusOk) {
                    s.values = {v};
                    s.text = Format("%04X", v);
                }
            } else if (t.width == 0) {
                uint8_t bytes[kSmbusBlockMax] = {};
                uint32_t count = 0;
                result = SmbusReadBlock(smbus_, c.ioBase, t.slave, t.command, kSmbusBlockMax, bytes,
                                        count, c.vendorKind);
                if (result == kSmbusOk) {
                    s.values.assign(bytes, bytes + count);
                    s.text = Bytes(s.values);
                }
            } else {
                uint8_t v = 0;
                result = SmbusReadByte(smbus_, c.ioBase, t.slave, t.command, v, c.vendorKind);
                if (result == kSmbusOk) {
                    s.values = {v};
                    s.text = Format("%02X", v);
                }
            }
            if (result != kSmbusOk) {
                s.values.clear();
                s.text = SmbusResultText(result);
                if (smbus_.throughKernel() && !smbus_.kernelText().empty())
                    s.text += " (through " + smbus_.kernelText() + ")";
                return false;
            }
            return true;
        }
    }
    return false;
}

WatchSample WatchSampler::Read() {
    WatchSample sample;
    sample.time = std::chrono::system_clock::now();
    sample.steady = std::chrono::steady_clock::now();
    sample.ok = ReadValue(sample);
    return sample;
}

bool WatchChanges::Pass(const WatchSample& sample) {
    std::string state = (sample.ok ? "v" : "e") + sample.text;
    if (last_ && *last_ == state) return false;
    last_ = std::move(state);
    return true;
}

void WatchStop::Request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    cv_.notify_all();
}

bool WatchStop::requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

bool WatchStop::WaitUntil(std::chrono::steady_clock::time_point when) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_until(lock, when, [this] { return stopped_; });
    return !stopped_;
}

std::chrono::steady_clock::time_point WatchSchedule::Next(
    std::chrono::steady_clock::time_point now) {
    ++slot_;
    auto due = start_ + interval_ * static_cast<int64_t>(slot_);
    if (due < now && interval_.count() > 0) {
        // Past one or more slots: the first one still ahead.
        slot_ += static_cast<uint64_t>((now - due) / interval_) + 1;
        due = start_ + interval_ * static_cast<int64_t>(slot_);
    }
    return due;
}

WatchEnd RunWatch(WatchSampler& sampler, const WatchOptions& options, WatchStop& stop,
                  const std::function<bool(const WatchSample&)>& emit) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const bool bounded = options.duration.count() > 0;
    const Clock::time_point end = start + options.duration;
    WatchSchedule schedule(start, options.interval);
    WatchChanges changes;
    uint64_t passed = 0;
    for (Clock::time_point due = start;;) {
        if (stop.requested()) return WatchEnd::Stopped;
        WatchSample sample = sampler.Read();
        if (!options.changes || changes.Pass(sample)) {
            if (!emit(sample)) return WatchEnd::OutputClosed;
            ++passed;
        }
        if (sample.fatal) return WatchEnd::Fatal;
        if (options.count != 0 && passed >= options.count) return WatchEnd::Done;
        due = schedule.Next(Clock::now());
        if (bounded && due >= end) return WatchEnd::Done;
        if (!stop.WaitUntil(due)) return WatchEnd::Stopped;
    }
}

}  // namespace kvt
