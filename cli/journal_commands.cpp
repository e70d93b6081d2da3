// The daemon's write journal from the command line: the writes it served, and their undo.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "tools/journal/journal_tool.h"

namespace kvt::cli {

namespace {

struct JournalArguments {
    bool json = false;
    uint32_t last = 0;
    std::string id;
    bool force = false;
};

// --last N: 1 to the most entries the daemon keeps.
CLI::Option* AddLastOption(CLI::App& command, uint32_t& last, const char* what) {
    return command.add_option("--last", last, what)
        ->check(CLI::Range(uint32_t{1}, kJournalReadMax))
        ->type_name("N");
}

Action DefineJournal(CLI::App& command) {
    auto o = std::make_shared<JournalArguments>();
    command.add_flag("--json", o->json, "write a JSON document");
    AddLastOption(command, o->last, "only the newest N writes");
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        std::vector<std::string> lines;
        RequestStatus read = ReadJournalLines(session->client(), o->last, lines);
        if (!read) return FailRequest("the write journal could not be read", read);
        std::string text;
        Json writes = Json::array();
        for (const std::string& line : lines) {
            JournalRow row;
            if (!ParseJournalRow(line, row)) continue;
            if (o->json)
                writes.push_back(Json::parse(line));
            else
                text += JournalRowText(row) + "\n";
        }
        if (o->json) text = JsonText({{"writes", std::move(writes)}});
        std::fputs(text.c_str(), stdout);
        return 0;
    };
}

Action DefineUndo(CLI::App& command) {
    auto o = std::make_shared<JournalArguments>();
    CLI::Option* id =
        command.add_option("ID", o->id, "the journal id of the write to undo")->type_name("ID");
    AddLastOption(command, o->last, "undo the newest N writes not undone, newest first")
        ->excludes(id);
    command.add_flag("--force", o->force, "overwrite values changed since the write");
    return [o](Context& context) {
        uint64_t id = 0;
        if (!o->id.empty()) {
            size_t used = 0;
            try {
                id = std::stoull(o->id, &used, 10);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != o->id.size() || id == 0 || o->id[0] == '-')
                return Fail("bad journal id '" + o->id + "' (a decimal number from 1)");
        }
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        const uint32_t count = id != 0 || o->last == 0 ? 1 : o->last;
        for (uint32_t i = 0; i < count; ++i) {
            DriverClient::UndoResult result;
            RequestStatus undone = session->client().Undo(id, o->force, result);
            if (!undone) return FailRequest("the undo was refused", undone);
            JournalRow row;
            std::string what =
                ParseJournalRow(result.entry, row)
                    ? Format(" (%s %s: %s, as write %llu)", row.kind.c_str(), row.address.c_str(),
                             row.newValue.c_str(), static_cast<unsigned long long>(row.id))
                    : std::string();
            std::printf("undid write %llu%s\n", static_cast<unsigned long long>(result.undone),
                        what.c_str());
            if (result.overwroteChange)
                std::printf("note: the value had changed since write %llu; overwritten (--force)\n",
                            static_cast<unsigned long long>(result.undone));
        }
        return 0;
    };
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"journal", "Lists the writes the driver journaled", &DefineJournal}),
    CommandRegistrar({"undo", "Undoes journaled writes", &DefineUndo}),
};

}  // namespace

}  // namespace kvt::cli
