// CPUID collection rules and the pinned worker thread, on scripted processors and on this
// machine's own processor.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/cpu_fixtures.h"
#include "tools/cpu/cpu_exec.h"

namespace kvt {
namespace {

using test::ScriptedProcessor;

ScriptedProcessor Processor(const char vendor[13], uint32_t highestStandard, uint32_t extendedEax) {
    ScriptedProcessor p;
    p.SetVendor(vendor);
    p.leaves[0].eax = highestStandard;
    for (uint32_t f = 1; f <= highestStandard && f < 64; ++f)
        p.leaves[f] = {f, f + 1, f + 2, f + 3};
    p.leaves[0x80000000].eax = extendedEax;
    return p;
}

size_t CountCalls(const ScriptedProcessor& p, uint32_t function) {
    size_t n = 0;
    for (const auto& c : p.calls) n += c.function == function;
    return n;
}

TEST(CpuVendor, ExactNamesAndViaByFourBytes) {
    auto vendorOf = [](const char* twelve) {
        CpuidRegisters r;
        char v[13] = {};
        std::memcpy(v, twelve, 12);
        std::memcpy(&r.ebx, v, 4);
        std::memcpy(&r.edx, v + 4, 4);
        std::memcpy(&r.ecx, v + 8, 4);
        return CpuVendorFromRegisters(r);
    };
    EXPECT_EQ(vendorOf("GenuineIntel"), kCpuVendorIntel);
    EXPECT_EQ(vendorOf("AuthenticAMD"), kCpuVendorAmd);
    EXPECT_EQ(vendorOf("GenuineTMx86"), kCpuVendorTransmeta);
    EXPECT_EQ(vendorOf("genuineintel"), kCpuVendorUnknown);
    EXPECT_EQ(vendorOf("AuthenticAmd"), kCpuVendorUnknown);
    EXPECT_EQ(vendorOf("GenuineTMX86"), kCpuVendorUnknown);
    EXPECT_EQ(vendorOf("CentaurHauls"), kCpuVendorUnknown);
    // "VIA" and a zero byte decide; "VIA VIA VIA " has a blank in the fourth byte.
    EXPECT_EQ(vendorOf(std::string("VIA\0xxxxxxxx", 12).c_str()), kCpuVendorVia);
    EXPECT_EQ(vendorOf("VIA VIA VIA "), kCpuVendorUnknown);
    EXPECT_STREQ(CpuVendorName(kCpuVendorVia), "VIA");
    EXPECT_STREQ(CpuVendorName(kCpuVendorUnknown), "");
}

TEST(CollectCpuid, StandardAndExtendedRanges) {
    ScriptedProcessor p = Processor("GenuineIntel", 5, 0x80000008);
    p.leaves[0x80000008] = {0x3027, 0, 0, 0};
    CpuidRecord record;
    CollectCpuid(record, p);
    EXPECT_EQ(record.vendor, kCpuVendorIntel);
    EXPECT_EQ(record.highestStandard, 5);
    ASSERT_EQ(record.standard.size(), 6u);
    EXPECT_EQ(record.standard[3].ebx, 4u);
    EXPECT_EQ(record.standard[0].eax, 5u);
    EXPECT_EQ(record.extendedBase, 0x80000000u);
    EXPECT_EQ(record.highestExtended, 0x80000008u);
    ASSERT_EQ(record.extended.size(), 9u);
    EXPECT_EQ(record.extended[0].eax, 0x80000008u);  // second execution of 0x80000000
    EXPECT_EQ(record.extended[8].eax, 0x3027u);
    EXPECT_EQ(CountCalls(p, 0x80000000), 2u);
    EXPECT_EQ(CountCalls(p, 0), 2u);
    EXPECT_EQ(record.highestTransmeta, 0u);
    EXPECT_TRUE(record.transmeta.empty());
    EXPECT_EQ(CountCalls(p, 0x80860000), 0u);  // Transmeta functions only for Transmeta
    for (const auto& c : p.calls) EXPECT_EQ(c.subFunction, 0u) << std::hex << c.function;
}

TEST(CollectCpuid, BoundsThatCollectNothing) {
    // Highest extended exactly 0x80000000 or below: none.
    for (uint32_t ext : {0x80000000u, 0x7FFFFFFFu, 0u, 5u}) {
        ScriptedProcessor p = Processor("AuthenticAMD", 1, ext);
        CpuidRecord record;
        CollectCpuid(record, p);
        EXPECT_EQ(record.highestExtended, 0u) << ext;
        EXPECT_TRUE(record.extended.empty()) << ext;
        EXPECT_EQ(record.vendor, kCpuVendorAmd);
    }
    // A negative highest standard function (signed bound) collects no standard function.
    ScriptedProcessor p = Processor("GenuineIntel", 0, 0);
    p.leaves[0].eax = 0x80000004;
    CpuidRecord record;
    CollectCpuid(record, p);
    EXPECT_LT(record.highestStandard, 0);
    EXPECT_TRUE(record.standard.empty());
    EXPECT_EQ(CountCalls(p, 0), 1u);
}

TEST(CollectCpuid, TransmetaRange) {
    ScriptedProcessor p = Processor("GenuineTMx86", 1, 0x80000006);
    p.leaves[0x80860000].eax = 0x80860007;
    p.leaves[0x80860007] = {7, 7, 7, 7};
    CpuidRecord record;
    CollectCpuid(record, p);
    EXPECT_EQ(record.vendor, kCpuVendorTransmeta);
    EXPECT_EQ(record.transmetaBase, 0x80860000u);
    EXPECT_EQ(record.highestTransmeta, 0x80860007u);
    ASSERT_EQ(record.transmeta.size(), 8u);
    EXPECT_EQ(record.transmeta[0].eax, 0x80860007u);
    EXPECT_EQ(record.transmeta[7].ecx, 7u);
    EXPECT_EQ(record.extended.size(), 7u);

    // A Transmeta processor reporting a highest function below the base has none (the range
    // would otherwise wrap round to two thousand million entries).
    p.leaves[0x80860000].eax = 0;
    CollectCpuid(record, p);
    EXPECT_EQ(record.highestTransmeta, 0u);
    EXPECT_TRUE(record.transmeta.empty());
}

TEST(CollectCpuid, AbsurdHighestFunctionsAreCut) {
    ScriptedProcessor p = Processor("GenuineIntel", 0x7FFFFFFF, 0xFFFFFFFF);
    CpuidRecord record;
    CollectCpuid(record, p);
    EXPECT_EQ(record.standard.size(), kMaxCpuidFunctionsPerRange);
    EXPECT_EQ(record.highestStandard, static_cast<int32_t>(kMaxCpuidFunctionsPerRange - 1));
    EXPECT_EQ(record.extended.size(), kMaxCpuidFunctionsPerRange);
    EXPECT_EQ(record.highestExtended, 0x80000000u + kMaxCpuidFunctionsPerRange - 1);
}

TEST(PinnedWorker, RunsOnTheChosenProcessorAndTheCallerWaits) {
    // Processor 6 exists on no test machine here: the requests still carry it.
    ScriptedProcessor p = Processor("GenuineIntel", 2, 0x80000001);
    CpuidRecord record;
    test::RecordedMessages messages;
    EXPECT_EQ(CollectCpuidOnProcessor(record, 6, p, messages), 1);
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(record.standard.size(), 3u);  // filled before the call returned
    ASSERT_FALSE(p.calls.empty());
    for (const auto& c : p.calls) EXPECT_EQ(c.processor, 6u);
    // The caller's own thread stays unpinned.
    EXPECT_NE(CurrentProcessor(), 6u);

    // On a real processor of this machine the worker really runs there.
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    for (uint32_t cpu = 0; cpu < static_cast<uint32_t>(online) && cpu < 4; ++cpu) {
        int seen = -1;
        ASSERT_TRUE(RunOnProcessor(cpu, [&] { seen = sched_getcpu(); }));
        EXPECT_EQ(seen, static_cast<int>(cpu));
    }
}

TEST(HostCpuid, AgreesWithTheKernel) {
    ASSERT_TRUE(HasCpuidInstruction());
    std::ifstream info("/proc/cpuinfo");
    std::string line, vendor;
    int family = -1, model = -1;
    while (std::getline(info, line)) {
        auto value = [&] { return line.substr(line.find(':') + 2); };
        if (vendor.empty() && line.rfind("vendor_id", 0) == 0) vendor = value();
        if (family < 0 && line.rfind("cpu family", 0) == 0) family = std::stoi(value());
        if (model < 0 && line.rfind("model\t", 0) == 0) model = std::stoi(value());
    }
    if (vendor.empty()) GTEST_SKIP() << "no vendor_id in /proc/cpuinfo";
    auto host = MakeHostPlatform();
    CpuidRecord record;
    test::RecordedMessages messages;
    ASSERT_EQ(CollectCpuidOnProcessor(record, 0, *host, messages), 1);
    ASSERT_GE(record.highestStandard, 1);
    const CpuidRegisters& f0 = record.standard[0];
    char name[13] = {};
    std::memcpy(name, &f0.ebx, 4);
    std::memcpy(name + 4, &f0.edx, 4);
    std::memcpy(name + 8, &f0.ecx, 4);
    EXPECT_EQ(vendor, name);
    if (vendor == "GenuineIntel") {
        EXPECT_EQ(record.vendor, kCpuVendorIntel);
    } else if (vendor == "AuthenticAMD") {
        EXPECT_EQ(record.vendor, kCpuVendorAmd);
    }
    uint32_t eax = record.standard[1].eax;
    uint32_t fam = (eax >> 8) & 0xF;
    uint32_t mod = (eax >> 4) & 0xF;
    if (fam == 0xF) fam += (eax >> 20) & 0xFF;
    if (fam == 0x6 || fam >= 0xF) mod |= ((eax >> 16) & 0xF) << 4;
    EXPECT_EQ(static_cast<int>(fam), family);
    EXPECT_EQ(static_cast<int>(mod), model);
    EXPECT_GT(record.highestExtended, 0x80000000u);  // every x86-64 processor has them
}

}  // namespace
}  // namespace kvt

namespace kvt {
namespace {

using test::ScriptedProcessor;

// Reads the virtual size of this process in bytes.
[[maybe_unused]] size_t VirtualSize() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

TEST(PinnedWorker, ThreadCreationFailure) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address-space limit below conflicts with AddressSanitizer";
#else
    // A child process whose address space has no room for a thread stack: the worker cannot
    // be created there. The child reports through its exit status and standard output.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], 1);
        close(out[0]);
        ScriptedProcessor p;
        p.leaves[0].eax = 3;
        test::MsrSpaceTransport transport;
        DriverClient client(transport, [] { return VersionRecord{6, 1, 0, kPlatformLinux, ""}; });
        test::RecordedMessages messages;
        CpuidRecord record;
        // Stacks of finished threads are kept for reuse: occupy them with waiting threads, so
        // the next thread needs new memory.
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::vector<std::thread> holders;
        for (int i = 0; i < 16; ++i) holders.emplace_back([released] { released.wait(); });
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = VirtualSize() + (1u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
        int collected = CollectCpuidOnProcessor(record, 0, p, messages);
        uint64_t value = ReadMsrOnProcessor(client, 0x1B, 0);
        int written = WriteMsrOnProcessor(client, 0x1B, 1, 2, 0, 0, 0);
        bool ok = collected == 0 && record.standard.empty() && messages.messages.size() == 1 &&
                  messages.messages[0] == "GetCPUIDThread thread Creating Error!" && value == 0 &&
                  written == 0 && transport.requests.empty();
        fflush(stdout);
        _exit(ok ? 0 : 11);
    }
    close(out[1]);
    std::string printed;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) printed.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(printed, "Create msr read thread Error!\nCreate msr read thread Error!\n");
#endif
}

}  // namespace
}  // namespace kvt
