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
#include <optional>
#include <string>
#include <vector>

#include "hwaccess/session.h"

namespace kvt::cli {

class Context {
  public:
    explicit Context(std::string board) : board_(std::move(board)) {}
    // The session with its driver ready; prints a one-line message and returns null when the
    // board cannot be found or the driver cannot be made ready.
    HardwareSession* Session();
    // The session without loading the driver (for `driver status`/`driver stop`).
    HardwareSession* SessionOnly();
    const std::string& board() const { return board_; }

  private:
    std::string board_;
    std::unique_ptr<HardwareSession> session_;
    bool loaded_ = false;
};

using Action = std::function<int(Context&)>;

struct Command {
    const char* name;         // words that select the command, e.g. "pci read"
    const char* description;  // one line for --help
    Action (*define)(CLI::App& command);
    int (*runArgs)(Context& context, std::vector<std::string>& args) = nullptr;
};

// A command that takes its words after the command name as a plain list and checks them
// itself (usage text shown in --help). Its subcommand passes every later argument through.
using Args = std::vector<std::string>;
struct ArgsCommand {
    const char* name;
    const char* usage;  // arguments, e.g. "BB:DD.F OFFSET"
    int (*run)(Context& context, Args& args);
};

// Registers a command at start-up: `static CommandRegistrar reg{{"pci list", "...", &Define}};`
struct CommandRegistrar {
    explicit CommandRegistrar(const Command& command);
    explicit CommandRegistrar(const ArgsCommand& command);
};
const std::vector<Command>& Commands();

// Exit statuses: a request failed (1), the command line is not understood (2).
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Builds the whole command line: --board and every registered command. `board` receives the
// --board value; `chosen` the action of the command the arguments select.
void DefineCommandLine(CLI::App& app, std::string& board, Action& chosen);

// Prints "korvanta-cli: <message>" on standard error and returns exit status 1.
int Fail(const std::string& message);
// A hexadecimal number (0x prefix accepted) of at most `max`.
bool ParseHex(const std::string& text, uint64_t max, uint64_t& value);
// Accepts hexadecimal numbers (0x prefix accepted) of up to 64 bits; shown as HEX in --help.
extern const CLI::Validator kHex;
// Adds --cpu N (a decimal processor number, default 0) to a command.
void AddProcessorOption(CLI::App& command, int& processor);
// Checks --cpu against the processors of the machine or board; prints the message and returns
// false when it is not one of them.
bool CheckProcessor(HardwareSession& session, int processor);
// For argument-list commands: removes "--name VALUE" from args; true when found. *missing is
// set when the option has no value.
bool TakeOption(Args& args, const std::string& name, std::string& value, bool* missing = nullptr);
bool TakeFlag(Args& args, const std::string& name);
// --cpu N (decimal), default 0, checked against the processors of the machine or board.
bool TakeProcessor(Args& args, HardwareSession& session, int& processor);
// A PCI function given as "BB:DD.F" in hexadecimal.
struct PciBdf {
    uint32_t bus = 0, device = 0, function = 0;
};
bool ParseBdf(const std::string& text, PciBdf& f);
// Writes bytes to a file, or to standard output when path is empty; false on failure.
bool WriteOutput(const std::string& path, const std::string& bytes);
// The "SMBus: ..." lines of `driver status` (each controller's kernel driver, or none found).
std::string SmbusStatusLines(HardwareSession& session);

}  // namespace kvt::cli
