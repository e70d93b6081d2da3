// Processor commands: the CPUID and MSR tools' reports, and one CPUID function explained.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "cli/cli.h"
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

bool NoArgumentsLeft(const Args& args) {
    if (args.empty()) return true;
    Fail("unexpected argument: " + args.front());
    return false;
}

// A CPUID tool showing the processor of --cpu (default 0), without the clock (the report does
// not carry it); null after a one-line message when the session or the processor fails.
std::unique_ptr<CpuidTool> OpenCpuidTool(Context& context, Args& args, UserMessages& messages) {
    HardwareSession* session = CpuidSession(context);
    if (!session) return nullptr;
    int processor = 0;
    if (!TakeProcessor(args, *session, processor) || !NoArgumentsLeft(args)) return nullptr;
    auto tool = std::make_unique<CpuidTool>(session->platform(), session->client(), messages);
    tool->Open(false);
    if (processor != 0) tool->SelectProcessor(processor, false);
    return tool;
}

int RunReportCpuid(Context& context, Args& args) {
    std::string output;
    bool missing = false;
    if (!TakeOption(args, "-o", output, &missing) && missing) return Fail("-o needs a file name");
    StderrMessages messages;
    std::unique_ptr<CpuidTool> tool = OpenCpuidTool(context, args, messages);
    if (!tool) return 1;
    StringReport report;
    tool->WriteReport(report.stream());
    if (!WriteOutput(output, report.str())) return Fail("cannot write " + output);
    return 0;
}

int RunCpuid(Context& context, Args& args) {
    std::string functionText;
    bool missing = false;
    if (!TakeOption(args, "--function", functionText, &missing)) {
        return Fail("cpuid needs --function F (hexadecimal)");
    }
    uint64_t function = 0;
    if (!ParseHex(functionText, 0xFFFFFFFF, function)) {
        return Fail("--function: not a hexadecimal function number: " + functionText);
    }
    StderrMessages messages;
    std::unique_ptr<CpuidTool> tool = OpenCpuidTool(context, args, messages);
    if (!tool) return 1;
    bool listed = false;
    for (const CpuidRow& row : tool->rows()) listed = listed || row.function == function;
    if (!listed) {
        return Fail("the processor does not report CPUID function " +
                    Format("0x%x", static_cast<uint32_t>(function)));
    }
    std::string text = DecodeCpuidFunction(tool->record(), static_cast<uint32_t>(function));
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

int RunReportMsr(Context& context, Args& args) {
    std::string output, listPath;
    bool missing = false;
    if (!TakeOption(args, "-o", output, &missing) && missing) return Fail("-o needs a file name");
    if (!TakeOption(args, "--list", listPath, &missing)) {
        return Fail("report msr needs --list FILE");
    }
    HardwareSession* session = context.Session();
    if (!session) return 1;
    int processor = 0;
    if (!TakeProcessor(args, *session, processor) || !NoArgumentsLeft(args)) return 1;
    StderrMessages messages;
    MsrTool tool(session->platform(), session->client(), messages);
    tool.Open();
    tool.SelectProcessor(processor);
    if (!tool.LoadFile(listPath)) return 1;
    StringReport report;
    tool.WriteReport(report.stream());
    if (!WriteOutput(output, report.str())) return Fail("cannot write " + output);
    return 0;
}

CommandRegistrar reportCpuid{{"report cpuid", "[--cpu N] [-o FILE]", &RunReportCpuid}};
CommandRegistrar cpuid{{"cpuid", "--function F [--cpu N]", &RunCpuid}};
CommandRegistrar reportMsr{{"report msr", "--list FILE [--cpu N] [-o FILE]", &RunReportMsr}};

}  // namespace

}  // namespace kvt::cli
