// The command line's building blocks: commands register themselves by name ("pci list",
// "report cpuid") and get a context that makes the driver ready on first use.
#pragma once

#include <cstdint>
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

using Args = std::vector<std::string>;

struct Command {
    const char* name;   // words that select the command, e.g. "pci read"
    const char* usage;  // arguments, e.g. "BB:DD.F OFFSET"
    int (*run)(Context& context, Args& args);
};

// Registers a command at start-up: `static CommandRegistrar reg{{"pci list", "", &Run}};`
struct CommandRegistrar {
    explicit CommandRegistrar(const Command& command);
};
const std::vector<Command>& Commands();

// Prints "korvanta-cli: <message>" on standard error and returns exit status 1.
int Fail(const std::string& message);
// A hexadecimal number (0x prefix accepted) of at most `max`.
bool ParseHex(const std::string& text, uint64_t max, uint64_t& value);
// Removes "--name VALUE" (or "-n VALUE") from args; true when found. *missing set when the
// option has no value.
bool TakeOption(Args& args, const std::string& name, std::string& value, bool* missing = nullptr);
bool TakeFlag(Args& args, const std::string& name);
// --cpu N (decimal), default 0, checked against the processors of the machine or board;
// prints the message and returns false when it is not one of them.
bool TakeProcessor(Args& args, HardwareSession& session, int& processor);
// Writes bytes to a file, or to standard output when path is empty; false on failure.
bool WriteOutput(const std::string& path, const std::string& bytes);
// The "SMBus: ..." lines of `driver status` (each controller's kernel driver, or none found).
std::string SmbusStatusLines(HardwareSession& session);

}  // namespace kvt::cli
