// The manual page of korvanta-cli in roff, made from the command line's own definitions.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace kvt::cli {

std::string ManualPage(const CLI::App& app, const std::string& version);

}  // namespace kvt::cli
