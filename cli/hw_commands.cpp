// Driver requests from the command line: PCI, ports, physical memory, MSRs, the daemon.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "tools/cpu/cpu_exec.h"

namespace kvt::cli {

bool WindowAddress(DriverClient& client, const PciAddress& f, uint32_t& address,
                   std::string& error) {
    PciWindow window;
    if (!client.PcieWindow(window)) {
        error =
            "offsets from 100 need the PCI Express configuration window, which this machine "
            "does not offer";
        return false;
    }
    if (!window.Covers(f)) {
        error = Format("bus %02X is outside the PCI Express configuration window (buses %02X-%02X)",
                       f.bus, window.firstBus, window.lastBus);
        return false;
    }
    address = static_cast<uint32_t>(window.AddressOf(f));
    return true;
}

namespace {

// Adds a positional argument, as text, to a command.
CLI::Option* AddArgument(CLI::App& command, const char* name, std::string& text, const char* what,
                         bool hex = true) {
    CLI::Option* option = command.add_option(name, text, what)->required();
    if (hex) option->check(kHex)->type_name("HEX");
    return option;
}

void AddWidthOption(CLI::App& command, uint32_t& width) {
    command.add_option("--width", width, "access width in bytes, default 1")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                return text == "1" || text == "2" || text == "4" ? "" : "not 1, 2 or 4: " + text;
            },
            ""))
        ->type_name("1|2|4");
}

struct Arguments {
    std::string a, b, c, d;
    uint32_t width = 1;
    int processor = 0;
    std::string output;
};

Action DefinePciList(CLI::App& command) {
    auto json = std::make_shared<bool>(false);
    command.add_flag("--json", *json, "write a JSON document");
    return [json](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        // Every function of every domain; a daemon without the complete list gives its
        // driver list (256 functions of domain 0 at most).
        std::vector<PciAddress> all;
        RequestStatus complete = session->client().ListPciAll(all);
        if (!complete) {
            uint8_t bus[256], devFn[256];
            Reply<uint32_t> listed = session->client().TryListPciFunctions(bus, devFn);
            if (listed.value == 0)
                return FailRequest(*session, Access::PciConfig, false,
                                   "the PCI function list request failed", listed);
            for (uint32_t i = 0; i < listed.value; ++i)
                all.push_back(PciAddress::FromDevFn(bus[i], devFn[i]));
        }
        if (all.empty())
            return FailRequest(*session, Access::PciConfig, false,
                               "the PCI function list request failed", complete);
        std::string text;
        Json functions = Json::array();
        for (const PciAddress& f : all) {
            text += f.FunctionText() + "\n";
            functions.push_back({{"domain", f.domain},
                                 {"bus", f.bus},
                                 {"device", f.device},
                                 {"function", f.function}});
        }
        if (*json) text = JsonText({{"functions", std::move(functions)}});
        std::fputs(text.c_str(), stdout);
        return 0;
    };
}

bool ParseRegister(const std::string& function, const std::string& offsetText, PciAddress& f,
                   std::string& error) {
    uint64_t off = 0;
    if (!ParseFunction(function, f)) {
        error = "bad function '" + function + "' (BB:DD.F)";
        return false;
    }
    if (!ParseHex(offsetText, 0xFFC, off) || off % 4 != 0) {
        error = "bad offset '" + offsetText + "' (a multiple of 4 up to FFC)";
        return false;
    }
    f = f.At(static_cast<uint32_t>(off));
    return true;
}

Action DefinePciRead(CLI::App& command) {
    auto o = std::make_shared<Arguments>();
    AddArgument(command, "FUNCTION", o->a, "bus, device and function (hexadecimal)", false)
        ->type_name("BB:DD.F");
    AddArgument(command, "OFFSET", o->b, "register offset, a multiple of 4 up to FFC");
    return [o](Context& context) {
        PciAddress f;
        std::string error;
        if (!ParseRegister(o->a, o->b, f, error)) return Fail(error);
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        DriverClient& client = session->client();
        uint32_t value = 0;
        if (f.reg < 0x100) {
            Reply<uint32_t> read = client.TryReadPciConfig(f.ConfigAddress());
            if (!read) {
                return FailRequest(*session, Access::PciConfig, false,
                                   "the configuration read failed", read);
            }
            value = read.value;
        } else {
            uint32_t address = 0;
            if (!WindowAddress(client, f, address, error)) return Fail(error);
            RequestStatus read = client.TryReadMemory(address, &value, 4);
            if (!read) {
                return FailRequest(*session, Access::PcieWindow, false,
                                   "the configuration read failed", read);
            }
        }
        std::printf("%08X\n", value);
        return 0;
    };
}

uint32_t WidthMask(uint32_t width) {
    return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

Action DefineIoRead(CLI::App& command) {
    auto o = std::make_shared<Arguments>();
    AddArgument(command, "PORT", o->a, "port, up to FFFF");
    AddWidthOption(command, o->width);
    return [o](Context& context) {
        uint64_t port = 0;
        if (!ParseHex(o->a, 0xFFFF, port)) return Fail("bad port '" + o->a + "'");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        // Only a served read has a value to print (the consumer form reads all ones otherwise).
        Reply<uint32_t> read = session->client().TryReadPort(static_cast<uint16_t>(port), o->width);
        if (!read) return FailRequest(*session, Access::Ports, false, "the port read failed", read);
        std::printf("%0*X\n", static_cast<int>(2 * o->width), read.value & WidthMask(o->width));
        return 0;
    };
}

Action DefineIoWrite(CLI::App& command) {
    auto o = std::make_shared<Arguments>();
    AddArgument(command, "PORT", o->a, "port, up to FFFF");
    AddArgument(command, "VALUE", o->b, "value that fits the width");
    AddWidthOption(command, o->width);
    return [o](Context& context) {
        uint64_t port = 0, value = 0;
        if (!ParseHex(o->a, 0xFFFF, port)) return Fail("bad port '" + o->a + "'");
        if (!ParseHex(o->b, WidthMask(o->width), value)) {
            return Fail("bad value '" + o->b + "' for width " + std::to_string(o->width));
        }
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        RequestStatus written = session->client().TryWritePort(
            static_cast<uint16_t>(port), static_cast<uint32_t>(value), o->width);
        if (!written)
            return FailRequest(*session, Access::Ports, true, "the port write failed", written);
        return 0;
    };
}

Action DefineMemRead(CLI::App& command) {
    auto o = std::make_shared<Arguments>();
    AddArgument(command, "ADDRESS", o->a, "physical address, up to FFFFFFFF");
    AddArgument(command, "LENGTH", o->b, "bytes to read");
    command.add_option("-o", o->output, "write the raw bytes to FILE")->type_name("FILE");
    return [o](Context& context) {
        const std::string& output = o->output;
        uint64_t address = 0, length = 0;
        if (!ParseHex(o->a, 0xFFFFFFFF, address)) return Fail("bad address '" + o->a + "'");
        if (!ParseHex(o->b, 0x100000000ull, length) || length == 0 ||
            length > 0x100000000ull - address) {
            return Fail("bad length '" + o->b + "' (the range must end by 100000000)");
        }
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        // A terminal gets a hex dump; a file, a pipe or -o get the raw bytes.
        bool dump = output.empty() && isatty(STDOUT_FILENO);
        std::FILE* out = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
        if (out == nullptr) return Fail("cannot create " + output + ": " + std::strerror(errno));
        std::vector<uint8_t> chunk(std::min<uint64_t>(length, kMaxTransfer));
        uint64_t done = 0;
        bool ok = true;
        bool readFailed = false;
        RequestStatus read;
        while (ok && done < length) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length - done, kMaxTransfer));
            read = session->client().TryReadMemory(static_cast<uint32_t>(address + done),
                                                   chunk.data(), n);
            ok = read.served();
            readFailed = !ok;
            if (ok && dump) {
                std::string text = HexDump(address + done, chunk.data(), n);
                ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
            } else if (ok) {
                ok = std::fwrite(chunk.data(), 1, n, out) == n;
            }
            if (ok) done += n;
        }
        if (!output.empty()) {
            ok = std::fclose(out) == 0 && ok;
            if (!ok) std::remove(output.c_str());
        } else {
            ok = std::fflush(stdout) == 0 && ok;
        }
        if (!ok) {
            // Names the start of the piece that failed.
            std::string message = Format(readFailed ? "the memory read at %08llX failed"
                                                    : "writing the bytes read at %08llX failed",
                                         static_cast<unsigned long long>(address + done));
            return readFailed ? FailRequest(*session, Access::Memory, false, message, read)
                              : Fail(message);
        }
        return 0;
    };
}

Action DefineMemWrite(CLI::App& command) {
    auto o = std::make_shared<Arguments>();
    AddArgument(command, "ADDRESS", o->a, "physical address, up to FFFFFFFF");
    AddArgument(command, "FILE", o->b, "the bytes to write", false)->type_name("FILE");
    return [o](Context& context) {
        uint64_t address = 0;
        if (!ParseHex(o->a, 0xFFFFFFFF, address)) return Fail("bad address '" + o->a + "'");
        std::ifstream in(o->b, std::ios::binary);
        if (!in) return Fail("cannot open " + o->b);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        if (bytes.empty()) return Fail(o->b + " is empty");
        if (bytes.size() > 0x100000000ull - address) return Fail("the file runs past 100000000");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        for (size_t done = 0; done < bytes.size();) {
            uint32_t n = static_cast<uint32_t>(std::min<size_t>(bytes.size() - done, kMaxTransfer));
            RequestStatus written = session->client().TryWriteMemory(
                static_cast<uint32_t>(address + done), bytes.data() + done, n);
            if (!written) {
                return FailRequest(*session, Access::Memory, true,
                                   Format("the memory write at %08llX failed",
                                          static_cast<unsigned long long>(address + done)),
                                   written);
            }
            done += n;
        }
        return 0;
    };
}

Action DefineMsrRead(CLI::App& command) {
    auto o = std::make_shared<Arguments>();
    AddArgument(command, "MSR", o->a, "MSR number");
    AddProcessorOption(command, o->processor);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr || !CheckProcessor(*session, o->processor)) return 1;
        uint64_t msr = 0;
        if (!ParseHex(o->a, 0xFFFFFFFF, msr)) return Fail("bad MSR number '" + o->a + "'");
        DriverClient& client = session->client();
        // On the chosen processor, in the protocol form the system family selects. Either form
        // returns some number for a refused read; an all-ones value that was served is a value.
        Reply<uint64_t> read =
            client.TryReadMsr(static_cast<uint32_t>(o->processor), static_cast<uint32_t>(msr));
        if (!read) {
            return FailRequest(
                *session, Access::Msr, false,
                PlainRefusal(read.failure) ? "the MSR read was refused" : "the MSR read failed",
                read);
        }
        std::printf("%016llX\n", static_cast<unsigned long long>(read.value));
        return 0;
    };
}

Action DefineMsrWrite(CLI::App& command) {
    auto o = std::make_shared<Arguments>();
    AddArgument(command, "MSR", o->a, "MSR number");
    AddArgument(command, "EDX", o->b, "high double word");
    AddArgument(command, "EAX", o->c, "low double word");
    AddProcessorOption(command, o->processor);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr || !CheckProcessor(*session, o->processor)) return 1;
        uint64_t msr = 0, edx = 0, eax = 0;
        if (!ParseHex(o->a, 0xFFFFFFFF, msr)) return Fail("bad MSR number '" + o->a + "'");
        if (!ParseHex(o->b, 0xFFFFFFFF, edx)) return Fail("bad EDX '" + o->b + "'");
        if (!ParseHex(o->c, 0xFFFFFFFF, eax)) return Fail("bad EAX '" + o->c + "'");
        DriverClient& client = session->client();
        RequestStatus written =
            client.TryWriteMsr(static_cast<uint32_t>(o->processor), static_cast<uint32_t>(msr),
                               static_cast<uint32_t>(eax), static_cast<uint32_t>(edx), 0, 0);
        return written ? 0
                       : FailRequest(*session, Access::Msr, true, "the MSR write failed", written);
    };
}

Action DefineDriverStart(CLI::App&) {
    return [](Context& context) { return context.Session() == nullptr ? 1 : 0; };
}

Action DefineDriverStop(CLI::App&) {
    return [](Context& context) {
        HardwareSession* session = context.SessionOnly();
        if (session == nullptr) return 1;
        std::string status;
        if (!session->client().DriverStatus(status)) {
            std::printf("not running\n");
            return 0;
        }
        if (!session->client().StopDriver()) return Fail("the driver daemon refused to stop");
        std::printf("stopped\n");
        return 0;
    };
}

// The capability record as a JSON object, for scripts.
std::string CapabilitiesJson(const HardwareSession& session, const DriverCapabilities& caps,
                             const std::string& smbusLines) {
    auto access = [](const DriverCapabilities::Access& a) {
        return nlohmann::json{{"available", a.available}, {"detail", a.detail}};
    };
    nlohmann::json smbus = nlohmann::json::array();
    for (size_t start = 0; start < smbusLines.size();) {
        size_t end = smbusLines.find('\n', start);
        if (end == std::string::npos) end = smbusLines.size();
        std::string line = smbusLines.substr(start, end - start);
        if (line.rfind("SMBus: ", 0) == 0) smbus.push_back(line.substr(7));
        start = end + 1;
    }
    nlohmann::json record = {{"session", session.Describe()},
                             {"backend", caps.backend},
                             {"simulated", caps.simulated},
                             {"processors", caps.processors},
                             {"ports", access(caps.ports)},
                             {"pci_configuration", access(caps.pciConfig)},
                             {"pcie_window", access(caps.pcieWindow)},
                             {"physical_memory", access(caps.memory)},
                             {"msr", access(caps.msr)},
                             {"cpuid_per_processor", caps.cpuid},
                             {"tsc_per_processor", caps.tsc},
                             {"port_instructions", caps.directPorts},
                             {"writes", caps.writes},
                             {"smbus", smbus}};
    if (!caps.profile.empty()) record["profile"] = caps.profile;
    if (session.IsRemote()) record["remote"] = session.remote();
    return record.dump(2) + "\n";
}

Action DefineDriverStatus(CLI::App& command) {
    auto json = std::make_shared<bool>(false);
    command.add_flag("--json", *json, "the daemon's capabilities as a JSON object");
    return [json](Context& context) {
        HardwareSession* session = context.SessionOnly();
        if (session == nullptr) return 1;
        DriverCapabilities caps;
        RequestStatus detected = session->client().Detect(caps);
        if (!detected && session->IsRemote()) {
            return Fail(session->Describe() + ": the daemon cannot be reached (" +
                        DescribeFailure(detected.failure) +
                        (detected.detail.empty() ? "" : ": " + detected.detail) + ")");
        }
        if (!detected) {
            return Fail(session->Describe() +
                        ": the driver daemon is not running or refuses this "
                        "user (start it with: korvanta-cli" +
                        (session->IsBoard() ? " --board " + context.board() : std::string()) +
                        " driver start)");
        }
        std::string smbus = SmbusStatusLines(*session);
        if (*json) {
            std::printf("%s", CapabilitiesJson(*session, caps, smbus).c_str());
            return 0;
        }
        if (session->IsRemote())
            std::printf("remote: %s (through ssh)\n", session->remote().c_str());
        std::printf("%s", caps.text.c_str());
        if (!caps.text.empty() && caps.text.back() != '\n') std::printf("\n");
        std::printf("processors: %u%s\n", caps.processors,
                    caps.cpuid ? " (CPUID and time-stamp counter answered by the daemon)" : "");
        std::printf("%s", smbus.c_str());
        return 0;
    };
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"pci list", "Lists the PCI functions", &DefinePciList}),
    CommandRegistrar({"pci read", "Reads a configuration register", &DefinePciRead}),
    CommandRegistrar({"io read", "Reads a port", &DefineIoRead}),
    CommandRegistrar({"io write", "Writes a port", &DefineIoWrite}),
    CommandRegistrar({"mem read", "Reads physical memory", &DefineMemRead}),
    CommandRegistrar({"mem write", "Writes a file to physical memory", &DefineMemWrite}),
    CommandRegistrar({"msr read", "Reads an MSR", &DefineMsrRead}),
    CommandRegistrar({"msr write", "Writes an MSR", &DefineMsrWrite}),
    CommandRegistrar({"driver start", "Makes the driver ready", &DefineDriverStart}),
    CommandRegistrar({"driver stop", "Stops the driver daemon", &DefineDriverStop}),
    CommandRegistrar({"driver status", "Tells whether the driver serves", &DefineDriverStatus}),
};

}  // namespace

}  // namespace kvt::cli
