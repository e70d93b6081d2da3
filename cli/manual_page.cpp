// The manual page of korvanta-cli, made from the command definitions themselves, so that it names
// every command, argument and option the program takes.
#include "cli/manual_page.h"

#include <string>

namespace kvt::cli {

namespace {

// Text for roff: backslashes and hyphens escaped, no line starting with a control character.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    size_t start = 0;
    while (start < out.size()) {
        if (out[start] == '.' || out[start] == '\'') out.insert(start, "\\&");
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return out;
}

bool IsHelp(const CLI::App& app, const CLI::Option* option) {
    return option == app.get_help_ptr() || option == app.get_help_all_ptr() ||
           option->get_group().empty();
}

// How an option is written: "\fIPORT\fR", "\fB--width\fR \fIN\fR", "\fB-h,--help\fR".
std::string Term(const CLI::Option* option, bool allNames) {
    if (option->get_positional()) return "\\fI" + Roff(option->get_name()) + "\\fR";
    std::string term = "\\fB" + Roff(option->get_name(false, allNames)) + "\\fR";
    if (option->get_items_expected_max() != 0) {
        std::string type = option->get_type_name();
        term += " \\fI" + Roff(type.empty() ? "VALUE" : type) + "\\fR";
    }
    return term;
}

// "PORT VALUE [--width N]": what the command takes, as its --help names it.
std::string Synopsis(const CLI::App& command) {
    std::string text;
    for (const CLI::Option* option : command.get_options()) {
        if (IsHelp(command, option)) continue;
        std::string part = Term(option, false);
        text += " " + (option->get_required() ? part : "[" + part + "]");
    }
    return text;
}

// The options of a command or of the program, each with what it does.
std::string OptionList(const CLI::App& command, bool withHelp) {
    std::string text;
    for (const CLI::Option* option : command.get_options()) {
        if (!withHelp && IsHelp(command, option)) continue;
        text += ".TP\n" + Term(option, true) + "\n" + Roff(option->get_description()) + "\n";
    }
    return text;
}

void Describe(const CLI::App& command, const std::string& words, std::string& page) {
    std::vector<const CLI::App*> subs = command.get_subcommands({});
    if (!subs.empty()) {
        for (const CLI::App* sub : subs) Describe(*sub, words + " " + sub->get_name(), page);
        return;
    }
    page += ".TP\n.B \"" + Roff(words) + "\"" + Synopsis(command) + "\n";
    page += Roff(command.get_description()) + ".\n";
    std::string options = OptionList(command, false);
    if (!options.empty()) page += ".RS\n" + options + ".RE\n";
}

}  // namespace

std::string ManualPage(const CLI::App& app, const std::string& version) {
    std::string page =
        ".TH KORVANTA\\-CLI 1 \"\" \"Korvanta " + Roff(version) + "\" \"User Commands\"\n";
    page += R"(.SH NAME
korvanta\-cli \- the Korvanta tools from a shell
.SH SYNOPSIS
.B korvanta\-cli
.RB [ \-\-board
.IR NAME | FILE ]
.I COMMAND
.RI [ ARGUMENTS ]
.br
.B korvanta\-cli
.RB [ \-\-help | \-\-version ]
.SH DESCRIPTION
.B korvanta\-cli
runs the tools of
.BR korvanta (1)
without a window: driver requests, decodes and reports, over SSH and in scripts.
Numbers are hexadecimal (a 0x prefix is accepted);
.B \-\-cpu
and
.B \-\-width
take decimal numbers.
.B korvanta\-cli \-\-help
lists the commands and
.B korvanta\-cli
.I COMMAND
.B \-\-help
tells the arguments of one.
.SH OPTIONS
)";
    page += OptionList(app, true);
    page += ".SH COMMANDS\n";
    for (const CLI::App* group : app.get_subcommands({})) {
        page += ".SS " + Roff(group->get_name()) + "\n" + Roff(group->get_description()) + ".\n";
        Describe(*group, group->get_name(), page);
    }
    page += R"(.SH EXIT STATUS
0 on success; 1, with a one\-line message on standard error, when a request failed, an
argument was bad or the driver could not be made ready; 2 when the command is missing or
unknown.
.SH ENVIRONMENT
.TP
.B KORVANTA_RUNTIME_DIR
the folder that holds the daemons' sockets, in place of /run (the host's) and the user's
runtime folder (the boards').
.TP
.B KORVANTA_TIME_LIMIT_MS
how long a request waits for the daemon's answer (10000).
.SH SEE ALSO
.BR korvanta (1),
.BR korvanta\-driver (8)
)";
    return page;
}

}  // namespace kvt::cli
