// The command line's building blocks. Every command is a CLI11 subcommand that registers
// itself at start-up, so a new command file needs no edit anywhere else.
//
// Adding a command (in cli/<tool>_commands.cpp, listed in cli/CMakeLists.txt):
//
//   Action DefineIoRead(CLI::App& command) {
//       auto port = std::make_shared<std::string>();
//       command.add_option("PORT", *port, "port (hexadecimal)")->required()->check(kHex);
//       return [port](Context& context) { ... return 0; };
//   }
//   CommandRegistrar ioRead{{"io read", "Reads a port", &DefineIoRead}};
//
// The define function adds the command's options, positionals and validators to its CLI11
// subcommand and returns the action, which runs after a successful parse; option values live in
// storage the action shares (a shared_ptr). The action returns the exit status: 0 on success,
// 1 (through Fail) after a one-line message when a request failed.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "hwaccess/request_failure.h"
#include "hwaccess/session.h"
#include "platform/hex.h"
#include "platform/report_stream.h"
#include "protocol/pci_address.h"

namespace kvt {
struct SmbusController;
class SmbusPorts;
}  // namespace kvt

namespace kvt::cli {

class Context {
  public:
    explicit Context(std::string board, std::string remote = {})
        : board_(std::move(board)), remote_(std::move(remote)) {}
    // The session with its driver ready; prints a one-line message and returns null when the
    // board cannot be found or the driver cannot be made ready.
    HardwareSession* Session();
    // The session without loading the driver (for `driver status`/`driver stop`).
    HardwareSession* SessionOnly();
    const std::string& board() const { return board_; }
    // --remote [USER@]HOST[:PORT], or empty for this machine.
    const std::string& remote() const { return remote_; }

  private:
    std::string board_;
    std::string remote_;
    std::unique_ptr<HardwareSession> session_;
    bool loaded_ = false;
};

using Action = std::function<int(Context&)>;

struct Command {
    const char* name;         // words that select the command, e.g. "pci read"
    const char* description;  // one line for --help
    Action (*define)(CLI::App& command);
};

// Registers a command at start-up: `static CommandRegistrar reg{{"pci list", "...", &Define}};`
struct CommandRegistrar {
    explicit CommandRegistrar(const Command& command);
};
const std::vector<Command>& Commands();

// Exit statuses: a request failed (1), the command line is not understood (2).
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Builds the whole command line: --board, --remote and every registered command. `board`
// receives the --board value, `remote` (when given) the --remote value; `chosen` the action of
// the command the arguments select.
void DefineCommandLine(CLI::App& app, std::string& board, Action& chosen,
                       std::string* remote = nullptr);
// What a group of commands ("pci", "smbus", ...) is for; null for a word that is no group.
const char* GroupDescription(const std::string& word);

// Prints "korvanta-cli: <message>" on standard error and returns exit status 1.
int Fail(const std::string& message);
// The daemon answered and refused the request (rather than not answering, or breaking off).
bool PlainRefusal(TransportFailure failure);
// Fail for a driver request that was not served, adding why when the daemon did not simply
// refuse it: "the port read failed (the daemon did not answer within 10 s)".
// The failure's particulars follow when there are any (the rule that refused a write).
int FailRequest(const std::string& message, const RequestStatus& status);
// The kind of access a request needs, to tell why the daemon refused it.
using Access = AccessKind;
// Why the daemon refused a request of this kind, in the words `driver status` uses: the access
// the machine does not offer and what to do about it ("/dev/cpu/0/msr missing: load the msr
// module (modprobe msr)") or a daemon that serves reads only; empty when the status tells no
// more than the refusal itself.
std::string RefusalCause(HardwareSession& session, Access kind, bool write);
// FailRequest that names the cause of a plain refusal too: the daemon's own particulars when
// it sent any, else what the status tells ("the MSR read was refused (/dev/cpu/0/msr missing:
// load the msr module (modprobe msr))").
int FailRequest(HardwareSession& session, Access kind, bool write, const std::string& message,
                const RequestStatus& status);
// Accepts one of the texts; shown as the option's type name only.
CLI::Validator OneOf(std::vector<std::string> texts);
// Accepts hexadecimal numbers (0x prefix accepted) of up to 64 bits; shown as HEX in --help.
extern const CLI::Validator kHex;
// Adds --cpu N (a decimal processor number, default 0) to a command.
void AddProcessorOption(CLI::App& command, int& processor);
// Checks --cpu against the processors of the machine or board; prints the message and returns
// false when it is not one of them.
bool CheckProcessor(HardwareSession& session, int processor);
// A PCI function given as "BB:DD.F" in hexadecimal (domain 0: the requests reach no other).
bool ParseFunction(const std::string& text, PciAddress& f);
// Physical address of a configuration register in the PCI Express configuration window, or
// why the window does not reach it.
bool WindowAddress(DriverClient& client, const PciAddress& f, uint32_t& address,
                   std::string& error);
// The same, "DDDD:BB:DD.F" also taken (for the commands that reach every PCI domain).
bool ParseFunctionInDomain(const std::string& text, PciAddress& f);
// Offset, sixteen bytes and their printable characters per line, for reading on a terminal.
std::string HexDump(uint64_t address, const uint8_t* bytes, size_t size);
// Writes bytes to a file, or to standard output when path is empty; false on failure.
bool WriteOutput(const std::string& path, const std::string& bytes);

using Json = nlohmann::ordered_json;

// Where a report goes and in which form: `-o FILE` and `--json`.
struct ReportOutput {
    std::string file;  // empty: standard output
    bool json = false;
    void Add(CLI::App& command);
    // Writes the JSON document with --json (nothing when it is null: the command failed and
    // said why), the text otherwise; false when the output cannot be written.
    bool Write(const std::string& text, const Json& document) const;
    // Writes a text report straight to the output as `write` makes it, without a copy in
    // memory (a report of many functions runs to megabytes); false when it cannot be written.
    bool WriteText(const std::function<void(ReportStream&)>& write) const;
};

// A tool's text report, as Save writes it.
template <typename Tool>
std::string TextOf(const Tool& tool) {
    StringReport report;
    tool.WriteReport(report.stream());
    return report.str();
}
// The controller CTRL ("0", "1", ... in the detection order) and how to reach it: a controller a
// kernel driver owns goes through the kernel's adapter (io is routed there); its ports are
// driven only when forced. Prints the message and returns false when it cannot be used.
bool OpenController(Context& context, const std::string& ctrlText, bool force,
                    HardwareSession*& session, SmbusController& out, SmbusPorts& io);
// The "SMBus: ..." lines of `driver status` (each controller's kernel driver, or none found).
std::string SmbusStatusLines(HardwareSession& session);

}  // namespace kvt::cli
