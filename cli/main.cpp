// korvanta-cli: the tools without a window, for shells, SSH sessions and scripts.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/cli.h"

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: korvanta-cli [--board NAME|FILE] COMMAND [ARGS]\n\n"
                 "Numbers are hexadecimal (0x prefix accepted). Commands:\n");
    for (const kvt::cli::Command& c : kvt::cli::Commands()) {
        std::fprintf(out, "  %s %s\n", c.name, c.usage);
    }
}

// Splits a command name into its words.
std::vector<std::string> Words(const char* name) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = name;; ++p) {
        if (*p == ' ' || *p == '\0') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*p == '\0') break;
        } else {
            word += *p;
        }
    }
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    kvt::cli::Args args(argv + 1, argv + argc);
    std::string board;
    bool missing = false;
    kvt::cli::TakeOption(args, "--board", board, &missing);
    if (missing) return kvt::cli::Fail("--board needs a board name or profile file");
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        Usage(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    // The command whose name has the most words matching the start of the arguments.
    const kvt::cli::Command* best = nullptr;
    size_t bestWords = 0;
    for (const kvt::cli::Command& c : kvt::cli::Commands()) {
        std::vector<std::string> words = Words(c.name);
        if (words.size() > args.size() || words.size() <= bestWords) continue;
        bool match = true;
        for (size_t i = 0; i < words.size() && match; ++i) match = words[i] == args[i];
        if (match) {
            best = &c;
            bestWords = words.size();
        }
    }
    if (best == nullptr) {
        kvt::cli::Fail("unknown command '" + args[0] + "' (see korvanta-cli --help)");
        return 2;
    }
    args.erase(args.begin(), args.begin() + static_cast<long>(bestWords));
    kvt::cli::Context context(board);
    return best->run(context, args);
}
