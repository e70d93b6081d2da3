// korvanta-cli: the tools without a window, for shells, SSH sessions and scripts.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/manual_page.h"

int main(int argc, char** argv) {
    CLI::App app{
        "korvanta-cli: the tools without a window.\n"
        "Numbers are hexadecimal (0x prefix accepted) unless an option says otherwise.",
        "korvanta-cli"};
    std::string board;
    std::string remote;
    kvt::cli::Action chosen;
    kvt::cli::DefineCommandLine(app, board, chosen, &remote);
    app.set_version_flag("--version", "korvanta-cli " KORVANTA_VERSION);
    // The build makes the manual page from the definitions above.
    if (argc == 2 && std::string(argv[1]) == "--manual-page") {
        std::printf("%s", kvt::cli::ManualPage(app, KORVANTA_VERSION).c_str());
        return 0;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::printf("%s", app.help("", CLI::AppFormatMode::All).c_str());
        return 0;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        // The innermost command the arguments reached. A command that is missing or unknown is
        // a usage error; a bad argument of a known command is a failed request.
        const CLI::App* reached = &app;
        while (!reached->get_subcommands().empty()) reached = reached->get_subcommands().front();
        bool known = reached != &app && reached->get_require_subcommand_min() == 0;
        std::string path;
        for (const CLI::App* a = reached; a != &app; a = a->get_parent()) {
            path = " " + a->get_name() + path;
        }
        std::vector<std::string> rest = app.remaining();
        if (reached == &app && !rest.empty()) {
            kvt::cli::Fail("unknown command '" + rest.front() + "' (see korvanta-cli --help)");
            return kvt::cli::kUsage;
        }
        kvt::cli::Fail(std::string(e.what()) + " (see korvanta-cli" + path + " --help)");
        return known ? kvt::cli::kFailed : kvt::cli::kUsage;
    }
    kvt::cli::Context context(board, remote);
    return chosen(context);
}
