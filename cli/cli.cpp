#include "cli/cli.h"

#include <cstdio>

#include "platform/format.h"

namespace kvt::cli {

namespace {

std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

}  // namespace

CommandRegistrar::CommandRegistrar(const Command& command) {
    Registry().push_back(command);
}

const std::vector<Command>& Commands() {
    return Registry();
}

HardwareSession* Context::SessionOnly() {
    if (!session_) {
        std::string error;
        session_ = remote_.empty() ? HardwareSession::Create(board_, &error)
                                   : HardwareSession::CreateRemote(remote_, board_, &error);
        if (!session_) {
            Fail(error);
            return nullptr;
        }
    }
    return session_.get();
}

HardwareSession* Context::Session() {
    HardwareSession* session = SessionOnly();
    if (session == nullptr) return nullptr;
    if (!loaded_) {
        std::string why;
        if (!session->LoadDriver(&why)) {
            Fail("Error! Load driver failed! (" + why + ")");
            return nullptr;
        }
        loaded_ = true;
    }
    return session;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "korvanta-cli: %s\n", message.c_str());
    return 1;
}

bool PlainRefusal(TransportFailure failure) {
    return failure == TransportFailure::None || failure == TransportFailure::Refused;
}

int FailRequest(const std::string& message, const RequestStatus& status) {
    const TransportFailure failure = status.failure;
    const std::string& detail = status.detail;
    if (PlainRefusal(failure))
        return Fail(detail.empty() ? message : message + " (" + detail + ")");
    return Fail(message + " (" + DescribeFailure(failure) + (detail.empty() ? "" : ": " + detail) +
                ")");
}

std::string RefusalCause(HardwareSession& session, Access kind, bool write) {
    DriverCapabilities caps;
    if (!session.client().Detect(caps)) return {};
    const DriverCapabilities::Access& access = AccessOf(caps, kind);
    if (!access.available) {
        std::string detail = access.detail;
        const std::string prefix = "unavailable: ";
        if (detail.rfind(prefix, 0) == 0) detail = detail.substr(prefix.size());
        return detail.empty() ? "unavailable on " + caps.backend : detail;
    }
    if (write && !caps.writes) {
        // The daemon says why: "refused (read-only)", or no audit destination.
        if (caps.writesState.empty()) return "the daemon serves reads only";
        return "the daemon serves reads only; writes: " + caps.writesState;
    }
    return {};
}

int FailRequest(HardwareSession& session, Access kind, bool write, const std::string& message,
                const RequestStatus& status) {
    if (!PlainRefusal(status.failure) || !status.detail.empty())
        return FailRequest(message, status);
    std::string cause = RefusalCause(session, kind, write);
    return Fail(cause.empty() ? message : message + " (" + cause + ")");
}

bool ParseFunction(const std::string& text, PciAddress& f) {
    std::optional<PciAddress> parsed = ParsePciFunction(text, false);
    if (!parsed) return false;
    f = *parsed;
    return true;
}

bool ParseFunctionInDomain(const std::string& text, PciAddress& f) {
    std::optional<PciAddress> parsed = ParsePciFunction(text, true);
    if (!parsed) return false;
    f = *parsed;
    return true;
}

std::string HexDump(uint64_t address, const uint8_t* bytes, size_t size) {
    std::string text;
    for (size_t line = 0; line < size; line += 16) {
        text += Format("%08llX ", static_cast<unsigned long long>(address + line));
        std::string chars;
        for (size_t i = line; i < line + 16; ++i) {
            if (i < size) {
                text += Format(" %02X", bytes[i]);
                chars += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
            } else {
                text += "   ";
            }
        }
        text += "  " + chars + "\n";
    }
    return text;
}

bool WriteOutput(const std::string& path, const std::string& bytes) {
    std::FILE* f = path.empty() ? stdout : std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (path.empty()) {
        ok = std::fflush(f) == 0 && ok;
    } else {
        ok = std::fclose(f) == 0 && ok;
    }
    return ok;
}

namespace {

const CLI::Validator kDecimal(
    [](std::string& text) -> std::string {
        bool digits = !text.empty() && text.size() <= 9 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
        return digits ? std::string() : "not a decimal number: " + text;
    },
    "");

}  // namespace

void AddProcessorOption(CLI::App& command, int& processor) {
    command.add_option("--cpu", processor, "processor number (decimal), default 0")
        ->check(kDecimal)
        ->type_name("N");
}

bool CheckProcessor(HardwareSession& session, int processor) {
    uint32_t count = session.platform().ProcessorCount();
    if (processor < 0 || static_cast<uint32_t>(processor) >= count) {
        Fail("--cpu: no processor " + std::to_string(processor) + " (this machine has " +
             std::to_string(count) + ")");
        return false;
    }
    return true;
}

const CLI::Validator kHex(
    [](std::string& text) -> std::string {
        uint64_t value = 0;
        if (ParseHex(text, ~0ull, value)) return {};
        return "not a hexadecimal number: " + text;
    },
    "");

CLI::Validator OneOf(std::vector<std::string> texts) {
    return CLI::Validator(
        [texts](std::string& text) -> std::string {
            for (const std::string& t : texts) {
                if (t == text) return {};
            }
            std::string list;
            for (size_t i = 0; i < texts.size(); ++i) {
                list += (i == 0 ? "" : i + 1 == texts.size() ? " or " : ", ") + texts[i];
            }
            return "takes " + list + ", not " + text;
        },
        "");
}

const char* GroupDescription(const std::string& word) {
    static const std::pair<const char*, const char*> kGroups[] = {
        {"board", "Simulated boards: this machine captured as a profile, two profiles compared"},
        {"cmos", "CMOS bytes behind the index/data port pairs"},
        {"driver", "The driver daemon that does the hardware access: start, stop, status"},
        {"hex", "Files in hexadecimal: find bytes or text, patch bytes"},
        {"io", "I/O ports by byte, word or double word"},
        {"mem", "Physical memory: read, write, dump to a file"},
        {"msr", "Model-specific registers of each processor"},
        {"pci", "PCI functions and their configuration space"},
        {"report", "The tools' reports, as the desktop program saves them"},
        {"smbus", "SMBus controllers and the devices on their buses"},
        {"watch", "A register read again and again: a line per sample or per change"},
    };
    for (const auto& [name, text] : kGroups) {
        if (word == name) return text;
    }
    return nullptr;
}

void DefineCommandLine(CLI::App& app, std::string& board, Action& chosen, std::string* remote) {
    app.add_option("--board", board, "a simulated board: its name or profile file")
        ->type_name("NAME|FILE");
    if (remote != nullptr) {
        app.add_option("--remote", *remote,
                       "work on another machine's daemon through ssh (with --board: a profile "
                       "name known there)")
            ->type_name("[USER@]HOST[:PORT]")
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    return text.empty() ? "--remote takes [USER@]HOST[:PORT]" : "";
                },
                ""));
    }
    app.require_subcommand(1);
    for (const Command& c : Commands()) {
        // The command's words, each a subcommand of the one before ("pci", then "read").
        CLI::App* parent = &app;
        std::string words = c.name;
        size_t start = 0;
        while (start < words.size()) {
            size_t end = words.find(' ', start);
            if (end == std::string::npos) end = words.size();
            std::string word = words.substr(start, end - start);
            start = end + 1;
            CLI::App* sub = nullptr;
            try {
                sub = parent->get_subcommand(word);
            } catch (const CLI::OptionNotFound&) {
                bool last = start >= words.size();
                const char* group = parent == &app ? GroupDescription(word) : nullptr;
                sub = parent->add_subcommand(word, last    ? c.description
                                                   : group ? group
                                                           : word + " commands");
                sub->fallthrough();
            }
            if (start < words.size()) sub->require_subcommand(1);
            parent = sub;
        }
        Action action = c.define(*parent);
        parent->callback([&chosen, action] { chosen = action; });
    }
}

void ReportOutput::Add(CLI::App& command) {
    command.add_option("-o", file, "write the report to FILE")->type_name("FILE");
    command.add_flag("--json", json, "write a JSON document instead of the text");
}

bool ReportOutput::WriteText(const std::function<void(ReportStream&)>& write) const {
    std::FILE* f = file.empty() ? stdout : std::fopen(file.c_str(), "wb");
    if (f == nullptr) return false;
    ReportStream stream(f, true);
    write(stream);
    const bool ok = !stream.failed();
    return (file.empty() ? std::fflush(f) : std::fclose(f)) == 0 && ok;
}

bool ReportOutput::Write(const std::string& text, const Json& document) const {
    if (!json) return WriteOutput(file, text);
    return document.is_null() || WriteOutput(file, document.dump(2) + "\n");
}

}  // namespace kvt::cli
