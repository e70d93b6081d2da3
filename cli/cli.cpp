#include "cli/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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
        session_ = HardwareSession::Create(board_, &error);
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

bool ParseHex(const std::string& text, uint64_t max, uint64_t& value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 16) return false;
    uint64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    if (v > max) return false;
    value = v;
    return true;
}

bool TakeOption(Args& args, const std::string& name, std::string& value, bool* missing) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != name) continue;
        if (i + 1 >= args.size()) {
            if (missing) *missing = true;
            args.erase(args.begin() + static_cast<long>(i));
            return false;
        }
        value = args[i + 1];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        return true;
    }
    return false;
}

bool TakeFlag(Args& args, const std::string& name) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == name) {
            args.erase(args.begin() + static_cast<long>(i));
            return true;
        }
    }
    return false;
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

// --cpu N (decimal), default 0; checked against the processors of the machine or board.
bool TakeProcessor(Args& args, HardwareSession& session, int& processor) {
    std::string text;
    bool missing = false;
    processor = 0;
    if (!TakeOption(args, "--cpu", text, &missing)) {
        if (missing) {
            Fail("--cpu needs a processor number");
            return false;
        }
        return true;
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    uint32_t count = session.platform().ProcessorCount();
    if (text.empty() || *end != '\0' || text[0] == '-' || value >= count) {
        Fail("--cpu: no processor " + text + " (this machine has " + std::to_string(count) + ")");
        return false;
    }
    processor = static_cast<int>(value);
    return true;
}

}  // namespace kvt::cli
