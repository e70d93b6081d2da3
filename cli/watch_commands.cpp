// `watch`: a register read again and again, a line per sample (or per change), until the count
// or time is reached or Ctrl+C.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "cli/cli.h"
#include "platform/format.h"
#include "tools/smbus/smbus_detect.h"
#include "tools/smbus/smbus_host.h"
#include "tools/watch/watch.h"

namespace kvt::cli {

namespace {

struct WatchArguments {
    std::string a, b, c, d;
    std::string width = "1", cpu = "0", bank = "70";
    std::string interval = "1000", count, seconds;
    bool changes = false, json = false, word = false, block = false, force = false;
};

CLI::Validator Decimal(const char* what, bool fraction) {
    return CLI::Validator(
        [what, fraction](std::string& text) -> std::string {
            const char* allowed = fraction ? "0123456789." : "0123456789";
            bool ok = !text.empty() && text.size() <= 9 &&
                      text.find_first_not_of(allowed) == std::string::npos &&
                      text.find('.') == text.rfind('.') && text != ".";
            if (ok) ok = std::stod(text) > 0;
            return ok ? std::string() : std::string("not ") + what + ": " + text;
        },
        "");
}

void AddCommon(CLI::App& command, WatchArguments& o) {
    command
        .add_option("--interval", o.interval,
                    "milliseconds from one sample to the next (decimal), default 1000")
        ->check(Decimal("a number of milliseconds from 1", false))
        ->type_name("MS");
    CLI::Option* count = command.add_option("--count", o.count, "end after N lines (decimal)")
                             ->check(Decimal("a count from 1", false))
                             ->type_name("N");
    command.add_option("--for", o.seconds, "end after SECONDS (decimal, fractions accepted)")
        ->check(Decimal("a number of seconds above 0", true))
        ->type_name("SECONDS")
        ->excludes(count);
    command.add_flag("--changes", o.changes, "a line for the first value and each change only");
    command.add_flag("--json", o.json, "a JSON object per line");
}

CLI::Option* AddHex(CLI::App& command, const char* name, std::string& text, const char* what) {
    return command.add_option(name, text, what)->required()->check(kHex)->type_name("HEX");
}

// Ctrl+C (and SIGTERM) end the watch: a thread takes the signals and asks the loop to stop, so
// the line being written is finished and the output flushed.
class SignalStop {
  public:
    explicit SignalStop(WatchStop& stop) : stop_(stop) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
        thread_ = std::thread([this] {
            const timespec slice{0, 100 * 1000 * 1000};
            while (!done_) {
                if (sigtimedwait(&set_, nullptr, &slice) > 0) {
                    stop_.Request();
                    return;
                }
            }
        });
    }
    ~SignalStop() {
        done_ = true;
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }

  private:
    WatchStop& stop_;
    sigset_t set_, old_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

int RunTarget(HardwareSession& session, const WatchTarget& target, const WatchArguments& o) {
    DriverCapabilities caps;
    const bool known = session.client().Detect(caps).served();
    WatchSampler sampler(session.client(), target, known ? &caps : nullptr);
    std::string error;
    if (!sampler.Prepare(error)) return Fail(error);

    WatchOptions options;
    options.interval = std::chrono::milliseconds(std::stoll(o.interval));
    if (!o.count.empty()) options.count = std::stoull(o.count);
    if (!o.seconds.empty())
        options.duration = std::chrono::nanoseconds(std::llround(std::stod(o.seconds) * 1e9));
    options.changes = o.changes;

    // A reader that goes away (`| head`) ends the watch quietly.
    signal(SIGPIPE, SIG_IGN);
    bool outputError = false;
    uint64_t failed = 0;
    std::string fatal;
    WatchStop stop;
    WatchEnd end;
    {
        SignalStop signals(stop);
        end = RunWatch(sampler, options, stop, [&](const WatchSample& sample) {
            if (!sample.ok) {
                ++failed;
                if (sample.fatal) fatal = sample.text;
            }
            std::string line = (o.json ? WatchJsonLine(sample, target) : WatchLine(sample)) + "\n";
            if (std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
                std::fflush(stdout) == 0)
                return true;
            outputError = errno != EPIPE;
            return false;
        });
    }
    if (end == WatchEnd::OutputClosed) return outputError ? Fail("cannot write the output") : 0;
    if (end == WatchEnd::Fatal) return Fail("the watch ended: " + fatal);
    if (failed != 0)
        return Fail(Format("%llu read%s failed", static_cast<unsigned long long>(failed),
                           failed == 1 ? "" : "s"));
    return 0;
}

Action DefineWatchIo(CLI::App& command) {
    auto o = std::make_shared<WatchArguments>();
    AddHex(command, "PORT", o->a, "port, up to FFFF");
    command.add_option("--width", o->width, "access width in bytes, default 1")
        ->check(OneOf({"1", "2", "4"}))
        ->type_name("1|2|4");
    AddCommon(command, *o);
    return [o](Context& context) {
        uint64_t port = 0;
        if (!ParseHex(o->a, 0xFFFF, port)) return Fail("bad port '" + o->a + "'");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        WatchTarget t;
        t.kind = WatchKind::Io;
        t.port = static_cast<uint16_t>(port);
        t.width = static_cast<uint32_t>(std::stoul(o->width));
        return RunTarget(*session, t, *o);
    };
}

Action DefineWatchPci(CLI::App& command) {
    auto o = std::make_shared<WatchArguments>();
    command.add_option("FUNCTION", o->a, "bus, device and function (hexadecimal)")
        ->required()
        ->type_name("BB:DD.F");
    AddHex(command, "OFFSET", o->b, "register offset, a multiple of 4 up to FFC");
    AddCommon(command, *o);
    return [o](Context& context) {
        PciAddress f;
        uint64_t offset = 0;
        if (!ParseFunction(o->a, f)) return Fail("bad function '" + o->a + "' (BB:DD.F)");
        if (!ParseHex(o->b, 0xFFC, offset) || offset % 4 != 0)
            return Fail("bad offset '" + o->b + "' (a multiple of 4 up to FFC)");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        WatchTarget t;
        t.kind = WatchKind::Pci;
        t.bus = f.bus;
        t.device = f.device;
        t.function = f.function;
        t.offset = static_cast<uint32_t>(offset);
        return RunTarget(*session, t, *o);
    };
}

Action DefineWatchMsr(CLI::App& command) {
    auto o = std::make_shared<WatchArguments>();
    AddHex(command, "MSR", o->a, "MSR number");
    command
        .add_option("--cpu", o->cpu,
                    "processor number (decimal), or all for every processor; default 0")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                bool ok =
                    text == "all" || (!text.empty() && text.size() <= 9 &&
                                      text.find_first_not_of("0123456789") == std::string::npos);
                return ok ? std::string() : "not a decimal number or all: " + text;
            },
            ""))
        ->type_name("N|all");
    AddCommon(command, *o);
    return [o](Context& context) {
        uint64_t msr = 0;
        if (!ParseHex(o->a, 0xFFFFFFFF, msr)) return Fail("bad MSR number '" + o->a + "'");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        WatchTarget t;
        t.kind = WatchKind::Msr;
        t.msr = static_cast<uint32_t>(msr);
        t.processorCount = session->platform().ProcessorCount();
        if (o->cpu == "all") {
            t.processor = WatchTarget::kAllProcessors;
        } else {
            t.processor = std::stoi(o->cpu);
            if (!CheckProcessor(*session, t.processor)) return 1;
        }
        return RunTarget(*session, t, *o);
    };
}

Action DefineWatchMem(CLI::App& command) {
    auto o = std::make_shared<WatchArguments>();
    AddHex(command, "ADDRESS", o->a, "physical address, up to FFFFFFFF");
    AddHex(command, "LENGTH", o->b, "bytes to read, up to 1000");
    AddCommon(command, *o);
    return [o](Context& context) {
        uint64_t address = 0, length = 0;
        if (!ParseHex(o->a, 0xFFFFFFFF, address)) return Fail("bad address '" + o->a + "'");
        if (!ParseHex(o->b, kWatchMemMax, length) || length == 0 ||
            length > 0x100000000ull - address)
            return Fail("bad length '" + o->b + "' (1 to 1000, ending by 100000000)");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        WatchTarget t;
        t.kind = WatchKind::Mem;
        t.address = static_cast<uint32_t>(address);
        t.length = static_cast<uint32_t>(length);
        return RunTarget(*session, t, *o);
    };
}

Action DefineWatchCmos(CLI::App& command) {
    auto o = std::make_shared<WatchArguments>();
    AddHex(command, "OFFSET", o->a, "offset in the bank (hexadecimal)");
    command.add_option("--bank", o->bank, "the CMOS bank's index port, default 70")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                uint64_t port = 0;
                bool ok =
                    ParseHex(text, 0xFF, port) && (port == 0x70 || port == 0x72 || port == 0x74);
                return ok ? std::string() : "takes 70, 72 or 74";
            },
            ""))
        ->type_name("70|72|74");
    AddCommon(command, *o);
    return [o](Context& context) {
        uint64_t offset = 0, bank = 0x70;
        if (!ParseHex(o->a, 0xFF, offset)) return Fail("Input CMOS Offset Error!");
        ParseHex(o->bank, 0xFF, bank);
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        WatchTarget t;
        t.kind = WatchKind::Cmos;
        t.cmosOffset = static_cast<uint8_t>(offset);
        t.bank = static_cast<int>((bank - 0x70) / 2);
        return RunTarget(*session, t, *o);
    };
}

Action DefineWatchSmbus(CLI::App& command) {
    auto o = std::make_shared<WatchArguments>();
    command.add_option("CTRL", o->a, "controller number (smbus list)")->required();
    command.add_option("ADDR", o->b, "7-bit device address (hexadecimal)")->required();
    command.add_option("CMD", o->c, "command byte (hexadecimal)")->required();
    CLI::Option* word = command.add_flag("--word", o->word, "read a word");
    command.add_flag("--block", o->block, "read a block")->excludes(word);
    command.add_flag("--force", o->force, "go on when a kernel driver holds the controller");
    AddCommon(command, *o);
    return [o](Context& context) {
        uint64_t address = 0, cmd = 0;
        if (!ParseHex(o->b, 0x7F, address))
            return Fail("ADDR: not a 7-bit address (00-7F): " + o->b);
        if (!ParseHex(o->c, 0xFF, cmd)) return Fail("CMD: not a hexadecimal byte: " + o->c);
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        WatchTarget t;
        t.kind = WatchKind::Smbus;
        SmbusPorts io(session->client());
        if (!OpenController(context, o->a, o->force, session, t.controller, io)) return 1;
        t.throughKernel = io.throughKernel();
        t.slave = static_cast<uint8_t>(address);
        t.command = static_cast<uint8_t>(cmd);
        t.width = o->word ? 2 : o->block ? 0 : 1;
        return RunTarget(*session, t, *o);
    };
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"watch io", "Reads a port again and again", &DefineWatchIo}),
    CommandRegistrar(
        {"watch pci", "Reads a configuration register again and again", &DefineWatchPci}),
    CommandRegistrar({"watch msr", "Reads an MSR again and again", &DefineWatchMsr}),
    CommandRegistrar({"watch mem", "Reads physical memory again and again", &DefineWatchMem}),
    CommandRegistrar({"watch cmos", "Reads a CMOS byte again and again", &DefineWatchCmos}),
    CommandRegistrar(
        {"watch smbus", "Reads an SMBus byte, word or block again and again", &DefineWatchSmbus}),
};

}  // namespace

}  // namespace kvt::cli
