// The MSR tool's register list: entries, reading their values, and MSR list files (*.msr).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/user_messages.h"

namespace kvt {

inline constexpr size_t kMsrListCapacity = 1024;
inline constexpr size_t kMsrDescriptionMax = 259;

struct MsrEntry {
    uint32_t msr = 0;
    std::string description;  // at most kMsrDescriptionMax characters
    uint32_t eax = 0;         // value last read, low half
    uint32_t edx = 0;         // value last read, high half
    uint32_t edi = 0;
    uint32_t esi = 0;
    int32_t status = 0;  // -1 when the last read returned all ones (shown as "N/A")
    bool served = true;  // whether the daemon served the last read (else shown as "N/A")
    TransportFailure failure = TransportFailure::None;  // why it did not
};

struct MsrList {
    std::vector<MsrEntry> entries;
    size_t count() const { return entries.size(); }
    bool full() const { return entries.size() >= kMsrListCapacity; }
};

// "Error! Too many MSRs in file.  Only First %d MSRs will be loaded!" with the capacity.
std::string TooManyMsrsMessage();

// Reads every entry's value (one request each): the unpinned form on the consumer family,
// otherwise on a worker pinned to the processor.
void ReadAllMsrValues(MsrList& list, uint32_t processor, DriverClient& client);

// Replaces the list with the entries of a file. False (list unchanged, message shown) when
// the file cannot be opened.
bool LoadMsrList(MsrList& list, const std::string& path, UserMessages& messages);
// The same from an open stream (read as text: CR LF counts as a line feed).
void LoadMsrListFrom(MsrList& list, std::FILE* file, UserMessages& messages);

// Writes the list as text with CR LF line ends. False (message shown) when the list is empty
// or the file cannot be created.
bool SaveMsrList(const MsrList& list, const std::string& path, UserMessages& messages);

}  // namespace kvt
