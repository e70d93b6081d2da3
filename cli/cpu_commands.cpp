// Processor commands: the CPUID and MSR tools' reports, and one CPUID function explained.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/cpuid_decode.h"
#include "tools/cpu/cpuid_tool.h"
#include "tools/cpu/msr_tool.h"

namespace kvt::cli {

namespace {

// The tools' messages, one line each on standard error; remembers that one was shown.
class StderrMessages : public UserMessages {
  public:
    void ShowMessage(std::string_view text) override {
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        std::fprintf(stderr, "korvanta-cli: %.*s\n", static_cast<int>(text.size()), text.data());
        shown = true;
    }
    void SetFocus(std::string_view) override {}
    bool shown = false;
};

// CPUID runs in-process on the host, so the host needs no driver daemon for it; a board's
// processors are asked of its daemon.
HardwareSession* CpuidSession(Context& context) {
    HardwareSession* session = context.SessionOnly();
    if (session && session->IsBoard()) session = context.Session();
    return session;
}

// A CPUID tool showing the processor of --cpu (default 0), without the clock (the report does
// not carry it); null after a one-line message when the session or the processor fails.
std::unique_ptr<CpuidTool> OpenCpuidTool(Context& context, int processor, UserMessages& messages) {
    HardwareSession* session = CpuidSession(context);
    if (!session || !CheckProcessor(*session, processor)) return nullptr;
    auto tool = std::make_unique<CpuidTool>(session->platform(), session->client(), messages);
    tool->Open(false);
    if (processor != 0) tool->SelectProcessor(processor, false);
    return tool;
}

struct ReportOptions {
    int processor = 0;
    std::string list;
    ReportOutput out;
};

Action DefineReportCpuid(CLI::App& command) {
    auto o = std::make_shared<ReportOptions>();
    AddProcessorOption(command, o->processor);
    o->out.Add(command);
    return [o](Context& context) {
        StderrMessages messages;
        std::unique_ptr<CpuidTool> tool = OpenCpuidTool(context, o->processor, messages);
        if (!tool) return 1;
        if (!o->out.Write(TextOf(*tool), o->out.json ? CpuidJson(*tool) : Json())) {
            return Fail("cannot write " + o->out.file);
        }
        return 0;
    };
}

Action DefineCpuid(CLI::App& command) {
    auto processor = std::make_shared<int>(0);
    auto functionText = std::make_shared<std::string>();
    command.add_option("--function", *functionText, "the CPUID function (hexadecimal)")
        ->required()
        ->check(kHex)
        ->type_name("HEX");
    AddProcessorOption(command, *processor);
    return [processor, functionText](Context& context) {
        uint64_t function = 0;
        if (!ParseHex(*functionText, 0xFFFFFFFF, function)) {
            return Fail("--function: not a hexadecimal function number: " + *functionText);
        }
        StderrMessages messages;
        std::unique_ptr<CpuidTool> tool = OpenCpuidTool(context, *processor, messages);
        if (!tool) return 1;
        bool listed = false;
        for (const CpuidRow& row : tool->rows()) listed = listed || row.function == function;
        std::string name = Format("0x%x", static_cast<uint32_t>(function));
        if (!listed) return Fail("the processor does not report CPUID function " + name);
        std::string text = DecodeCpuidFunction(tool->record(), static_cast<uint32_t>(function));
        // Functions without decoded fields still answer, so the user is not left guessing.
        if (text.empty()) text = "CPUID function " + name + " has no fields to explain\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    };
}

Action DefineReportMsr(CLI::App& command) {
    auto o = std::make_shared<ReportOptions>();
    command.add_option("--list", o->list, "the MSR list file")->required()->type_name("FILE");
    AddProcessorOption(command, o->processor);
    o->out.Add(command);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (!session || !CheckProcessor(*session, o->processor)) return 1;
        StderrMessages messages;
        MsrTool tool(session->platform(), session->client(), messages);
        tool.Open();
        tool.SelectProcessor(o->processor);
        if (!tool.LoadFile(o->list)) return 1;
        if (!o->out.Write(TextOf(tool), o->out.json ? MsrJson(tool) : Json())) {
            return Fail("cannot write " + o->out.file);
        }
        return 0;
    };
}

CommandRegistrar reportCpuid{{"report cpuid", "Writes the CPUID report", &DefineReportCpuid}};
CommandRegistrar cpuid{{"cpuid", "Explains one CPUID function", &DefineCpuid}};
CommandRegistrar reportMsr{{"report msr", "Writes the MSR report of a list", &DefineReportMsr}};

}  // namespace

}  // namespace kvt::cli
