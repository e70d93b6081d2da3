// Runs a program of ours and collects its exit status and output.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kvt::test {

struct ProcessResult {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments; `env` entries ("NAME=value") are added to the environment.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {});

// korvanta-cli with KORVANTA_RUNTIME_DIR set to runtimeDir (when not empty).
ProcessResult RunCli(const std::string& runtimeDir, const std::vector<std::string>& args);

}  // namespace kvt::test
