// Feeds arbitrary bytes to the MSR list file parser.
#include "tools/cpu/msr_list.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace {

class QuietMessages : public kvt::UserMessages {
  public:
    void ShowMessage(std::string_view) override {}
    void SetFocus(std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!file) return 0;
    QuietMessages messages;
    kvt::MsrList list;
    kvt::LoadMsrListFrom(list, file, messages);
    std::fclose(file);
    if (list.entries.size() > kvt::kMsrListCapacity) __builtin_trap();
    for (const kvt::MsrEntry& entry : list.entries) {
        if (entry.description.size() > kvt::kMsrDescriptionMax) __builtin_trap();
    }
    return 0;
}
