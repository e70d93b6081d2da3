#include "driver/host/host_backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "driver/host/i2c_dev.h"
#include "protocol/driver_request.h"
#include "protocol/pci_address.h"
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <sched.h>
#include <sys/io.h>
#include <x86intrin.h>
#define KORVANTA_HAVE_PORT_INSTRUCTIONS 1
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kvt::driver {

namespace {

// Reads exactly `length` bytes at `offset`; false on a short read or an error.
bool ReadAt(int fd, uint8_t* out, size_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t n = pread(fd, out, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool WriteAt(int fd, const uint8_t* data, size_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t n = pwrite(fd, data, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The kernel's build configuration when /boot holds it: "y", "m", "n" (not set) or "" (unknown).
std::string KernelOption(const std::string& option) {
    utsname name;
    if (uname(&name) != 0) return "";
    std::ifstream in(std::string("/boot/config-") + name.release);
    if (!in) return "";
    std::string line;
    while (std::getline(in, line)) {
        if (line == "# " + option + " is not set") return "n";
        if (line.rfind(option + "=", 0) == 0) return line.substr(option.size() + 1);
    }
    return "n";
}

class HostBackend : public Backend {
  public:
    explicit HostBackend(const HostPaths& paths) : paths_(paths) {
        ProbeLockdown();
        ProbePorts();
        ProbeMcfg();
    }
    ~HostBackend() override {
        if (devPort_ >= 0) close(devPort_);
        for (const ConfigFile& file : configFiles_) close(file.fd);
    }

    std::string Name() const override { return "host"; }
    uint32_t ProcessorCount() const override {
        long count = sysconf(_SC_NPROCESSORS_CONF);
        return count > 0 ? static_cast<uint32_t>(count) : 1;
    }

    bool ReadPort(uint16_t port, uint32_t width, uint32_t& value) override {
#ifdef KORVANTA_HAVE_PORT_INSTRUCTIONS
        if (portInstructions_) {
            if (width == 1) value = inb(port);
            if (width == 2) value = inw(port);
            if (width == 4) value = inl(port);
            return true;
        }
#endif
        // /dev/port moves single bytes; wider accesses would be split, which is not what
        // the device would see, so they are refused.
        if (devPort_ < 0 || width != 1) return false;
        uint8_t byte = 0;
        if (!ReadAt(devPort_, &byte, 1, port)) return false;
        value = byte;
        return true;
    }

    bool WritePort(uint16_t port, uint32_t width, uint32_t value) override {
#ifdef KORVANTA_HAVE_PORT_INSTRUCTIONS
        if (portInstructions_) {
            if (width == 1) outb(static_cast<uint8_t>(value), port);
            if (width == 2) outw(static_cast<uint16_t>(value), port);
            if (width == 4) outl(value, port);
            return true;
        }
#endif
        if (devPort_ < 0 || width != 1) return false;
        uint8_t byte = static_cast<uint8_t>(value);
        return WriteAt(devPort_, &byte, 1, port);
    }

    bool ReadPciConfig(uint32_t address, uint32_t& value) override {
        if ((address & 0x7F000000u) != 0) return false;  // reserved bits
        uint8_t bytes[4];
        if (!ReadConfigFile(PciAddress::FromConfigAddress(address).Function(), address & 0xFC,
                            bytes, 4))
            return false;
        std::memcpy(&value, bytes, 4);
        return true;
    }

    bool ReadPciConfigBlock(uint8_t bus, uint8_t devFn, uint32_t offset, uint8_t* out,
                            uint32_t length) override {
        return ReadConfigFile(PciAddress::FromDevFn(bus, devFn), offset, out, length);
    }

    bool ReadPciConfigBlockIn(const PciAddress& function, uint32_t offset, uint8_t* out,
                              uint32_t length) override {
        return ReadConfigFile(function.Function(), offset, out, length);
    }

    bool WritePciConfig(uint32_t address, uint32_t value) override {
        std::string path;
        if (!ConfigPath(address, path)) return false;
        Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) return false;
        uint8_t bytes[4];
        std::memcpy(bytes, &value, 4);
        return WriteAt(fd.get(), bytes, 4, address & 0xFC);
    }

    uint32_t PciConfigSize(uint8_t bus, uint8_t devFn) override {
        std::string path;
        struct stat st;
        if (!ConfigPath(PciAddress::FromDevFn(bus, devFn).ConfigAddress(), path) ||
            stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return 0;
        // The kernel gives the file the size of the function's space.
        return st.st_size >= 0x1000 ? 0x1000 : st.st_size >= 0x100 ? 0x100 : 0;
    }

    bool ReadPciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                            uint32_t& value) override {
        uint8_t bytes[4] = {};
        if (width > 4 || !ReadConfigFile(PciAddress::FromDevFn(bus, devFn), offset, bytes, width))
            return false;
        value = 0;
        std::memcpy(&value, bytes, width);
        return true;
    }

    // Exactly `width` bytes at the register: the kernel makes an access of that width.
    bool WritePciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                             uint32_t value) override {
        std::string path;
        if (width > 4 || !ConfigPath(PciAddress::FromDevFn(bus, devFn).ConfigAddress(), path))
            return false;
        Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) return false;
        uint8_t bytes[4];
        std::memcpy(bytes, &value, 4);
        ssize_t n;
        do {
            n = pwrite(fd.get(), bytes, width, static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(width);
    }

    bool ListPciFunctions(std::vector<std::pair<uint8_t, uint8_t>>& functions) override {
        std::vector<PciAddress> all;
        if (!ListPciAll(all)) return false;
        functions.clear();
        for (const PciAddress& f : all) {
            // The request block holds 256 functions of domain 0; the first 256 in bus order
            // are listed (the complete list answers the rest).
            if (f.domain != 0 || functions.size() == 256) break;
            functions.emplace_back(f.bus, f.devFn());
        }
        return true;
    }

    // Every "DDDD:BB:DD.F" folder of the PCI devices folder.
    bool ListPciAll(std::vector<PciAddress>& functions) override {
        DIR* dir = opendir(paths_.sysfsPci.c_str());
        if (dir == nullptr) return false;
        functions.clear();
        while (dirent* entry = readdir(dir)) {
            unsigned domain, bus, device, function;
            char tail;
            if (std::strlen(entry->d_name) != 12 ||
                std::sscanf(entry->d_name, "%4x:%2x:%2x.%1x%c", &domain, &bus, &device, &function,
                            &tail) != 4)
                continue;
            if (domain > 0xFFFF || bus > 0xFF || device > 0x1F || function > 7) continue;
            functions.emplace_back(bus, device, function, 0, domain);
        }
        closedir(dir);
        std::sort(functions.begin(), functions.end());
        return true;
    }

    // The kernel's view of the BARs: the function's sysfs "resource" file, a line "start end
    // flags" per resource, the first six the BARs (a 64-bit BAR's upper half a line of zeros).
    bool PciBarSizes(const PciAddress& function, uint64_t (&sizes)[6]) override {
        std::ifstream in(paths_.sysfsPci + "/" + function.SysfsName() + "/resource");
        if (!in) return false;
        for (uint64_t& size : sizes) {
            std::string line;
            unsigned long long start = 0, end = 0, flags = 0;
            if (!std::getline(in, line) ||
                std::sscanf(line.c_str(), "%llx %llx %llx", &start, &end, &flags) != 3) {
                size = kBarSizeUnknown;  // a file not as the kernel writes it
                continue;
            }
            size = (start == 0 && end == 0) || end < start ? 0 : end - start + 1;
        }
        return true;
    }

    bool ReadPhysical(uint32_t address, uint8_t* out, uint32_t length) override {
        return Transfer(address, out, length, false);
    }
    // Above 4 GiB no PCI Express window is answered from sysfs (the windows lie below), so
    // /dev/mem serves the whole range.
    bool ReadPhysical64(uint64_t address, uint8_t* out, uint32_t length) override {
        if (address < 0x100000000ull)
            return address <= 0x100000000ull - length &&
                   ReadPhysical(uint32_t(address), out, length);
        if (address > uint64_t(INT64_MAX) - length) return false;
        Fd mem(open(paths_.devMem.c_str(), O_RDONLY | O_CLOEXEC));
        return mem.ok() && ReadAt(mem.get(), out, length, address);
    }
    bool WritePhysical(uint32_t address, const uint8_t* data, uint32_t length) override {
        return Transfer(address, const_cast<uint8_t*>(data), length, true);
    }

#ifdef KORVANTA_HAVE_PORT_INSTRUCTIONS
    // CPUID and RDTSC on the processor asked for: the serving thread runs there for the one
    // instruction, then where it ran before. False when it may not run there (offline, outside
    // the daemon's affinity).
    bool Cpuid(uint32_t processor, uint32_t function, uint32_t subFunction,
               CpuidResult& out) override {
        return OnProcessor(processor, [&] {
            __cpuid_count(function, subFunction, out.eax, out.ebx, out.ecx, out.edx);
        });
    }
    bool ReadTsc(uint32_t processor, uint64_t& value) override {
        return OnProcessor(processor, [&] { value = __rdtsc(); });
    }
    template <typename Run>
    static bool OnProcessor(uint32_t processor, Run run) {
        if (processor >= CPU_SETSIZE) return false;
        cpu_set_t before, only;
        if (sched_getaffinity(0, sizeof before, &before) != 0) return false;
        CPU_ZERO(&only);
        CPU_SET(processor, &only);
        if (sched_setaffinity(0, sizeof only, &only) != 0) return false;
        // The kernel moves the thread before sched_setaffinity returns.
        const bool there = sched_getcpu() == static_cast<int>(processor);
        if (there) run();
        sched_setaffinity(0, sizeof before, &before);
        return there;
    }
#endif

    bool ReadMsr(uint32_t processor, uint32_t msr, uint64_t& value) override {
        Fd fd(open(MsrPath(processor).c_str(), O_RDONLY | O_CLOEXEC));
        uint8_t bytes[8];
        if (!fd.ok() || pread(fd.get(), bytes, 8, static_cast<off_t>(msr)) != 8) return false;
        std::memcpy(&value, bytes, 8);
        return true;
    }

    bool WriteMsr(uint32_t processor, uint32_t msr, uint64_t value) override {
        Fd fd(open(MsrPath(processor).c_str(), O_WRONLY | O_CLOEXEC));
        uint8_t bytes[8];
        std::memcpy(bytes, &value, 8);
        return fd.ok() && pwrite(fd.get(), bytes, 8, static_cast<off_t>(msr)) == 8;
    }

    // The sysfs "driver" link of the function names the bound driver; no link, none.
    bool KernelDriver(uint8_t bus, uint8_t devFn, std::string& name) override {
        std::string dir = paths_.sysfsPci + "/" + PciAddress::FromDevFn(bus, devFn).SysfsName();
        struct stat st {};
        if (stat(dir.c_str(), &st) != 0) return false;
        char target[PATH_MAX];
        ssize_t n = readlink((dir + "/driver").c_str(), target, sizeof target - 1);
        if (n <= 0) {
            name.clear();
            return true;
        }
        target[n] = 0;
        const char* slash = std::strrchr(target, '/');
        name = slash ? slash + 1 : target;
        return true;
    }

    bool KernelSmbus(uint8_t bus, uint8_t devFn, uint16_t ioBase, SmbusKernelTransfer& t,
                     int& error, std::string& text) override {
        std::string driver;
        if (!KernelDriver(bus, devFn, driver) || driver.empty()) return false;
        std::string adapter = FindI2cAdapter(
            paths_.sysfsPci + "/" + PciAddress::FromDevFn(bus, devFn).SysfsName(), ioBase);
        if (adapter.empty()) {
            error = ENODEV;
            text = "kernel driver " + driver + " offers no i2c adapter for this controller";
            return true;
        }
        std::string node = paths_.devDir + "/" + adapter;
        struct stat st {};
        if (stat(node.c_str(), &st) != 0 && !paths_.modprobe.empty() && !modprobeTried_) {
            // The kernel's adapters reach programs through i2c-dev: load it once.
            modprobeTried_ = true;
            modprobeFailed_ = !LoadI2cDev();
        }
        if (stat(node.c_str(), &st) != 0) {
            error = ENOENT;
            text = "no " + node + " for " + driver +
                   "'s adapter: the i2c-dev module is not loaded" +
                   (modprobeFailed_ ? " and could not be loaded" : "") + " (modprobe i2c-dev)";
            return true;
        }
        text = node + " (" + driver + ")";
        error = t.op == kSmbusOpAdapter ? 0 : I2cDevTransfer(node, t);
        return true;
    }

    bool PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus) override {
        if (windows_.empty()) return false;
        base = static_cast<uint32_t>(windows_[0].firstBusAddress);
        firstBus = windows_[0].firstBus;
        lastBus = windows_[0].lastBus;
        return true;
    }

    std::vector<std::string> StatusLines() override {
        return {PortStatus(), PciStatus(), WindowStatus(), MemoryStatus(), MsrStatus()};
    }

  private:
    void ProbeLockdown() {
        std::string text = ReadSmallFile(paths_.lockdown);
        size_t open = text.find('['), close = text.find(']');
        if (open != std::string::npos && close != std::string::npos && close > open)
            lockdown_ = text.substr(open + 1, close - open - 1);
        if (lockdown_ == "none") lockdown_.clear();
    }

    void ProbePorts() {
#ifdef KORVANTA_HAVE_PORT_INSTRUCTIONS
        if (!paths_.portInstructions) {
            portProblem_ = "port instructions turned off (--dev-port)";
        } else if (ioperm(0, 0x10000, 1) == 0 || iopl(3) == 0) {
            portInstructions_ = true;
            return;
        } else if (errno == ENOSYS) {
            portProblem_ = "ioperm not available (kernel built without CONFIG_X86_IOPL_IOPERM)";
        } else if (!lockdown_.empty()) {
            portProblem_ = "ioperm refused by kernel lockdown (" + lockdown_ + ")";
        } else {
            portProblem_ = "ioperm not permitted: run the daemon as root (CAP_SYS_RAWIO)";
        }
#else
        portProblem_ = "no port instructions on this processor architecture";
#endif
        devPort_ = open(paths_.devPort.c_str(), O_RDWR | O_CLOEXEC);
        if (devPort_ < 0) {
            if (errno == ENOENT)
                portProblem_ +=
                    "; " + paths_.devPort + " absent (kernel built without CONFIG_DEVPORT)";
            else
                portProblem_ += "; " + paths_.devPort + " refused: " + std::strerror(errno);
        }
    }

    void ProbeMcfg() {
        int fd = open(paths_.mcfg.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            mcfgProblem_ = errno == ENOENT
                               ? "no MCFG table: the firmware describes no PCI Express window"
                               : "MCFG table not readable: run the daemon as root";
            return;
        }
        std::vector<uint8_t> table;
        uint8_t chunk[4096];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0 && table.size() < 65536)
            table.insert(table.end(), chunk, chunk + n);
        close(fd);
        // 36-byte table header, 8 reserved bytes, then 16-byte allocations: base address,
        // segment group, first bus, last bus, 4 reserved bytes.
        for (size_t at = 44; at + 16 <= table.size(); at += 16) {
            uint64_t base;
            uint16_t segment;
            std::memcpy(&base, &table[at], 8);
            std::memcpy(&segment, &table[at + 8], 2);
            const PciWindow window =
                PciWindow::FromBusZeroBase(base, table[at + 10], table[at + 11], segment);
            if (segment != 0 || window.lastBus < window.firstBus) continue;
            if (window.End() > 0x100000000ull) {
                mcfgProblem_ = "the PCI Express window lies above 4 GiB";
                continue;
            }
            windows_.push_back(window);
        }
        if (windows_.empty() && mcfgProblem_.empty())
            mcfgProblem_ = "the MCFG table lists no window for PCI segment 0";
    }

    bool ConfigPath(uint32_t address, std::string& path) const {
        if ((address & 0x7F000000u) != 0) return false;  // reserved bits
        // Without the PCI folder there is no telling whether a function exists.
        struct stat st;
        if (stat(paths_.sysfsPci.c_str(), &st) != 0) return false;
        path =
            paths_.sysfsPci + "/" + PciAddress::FromConfigAddress(address).SysfsName() + "/config";
        return true;
    }

    std::string MsrPath(uint32_t processor) const {
        return paths_.cpuDevices + "/" + std::to_string(processor) + "/msr";
    }

    // Moves bytes between physical memory and `buffer`: the PCI Express window through the
    // functions' sysfs configuration files, everything else through /dev/mem.
    bool Transfer(uint32_t address, uint8_t* buffer, uint32_t length, bool write) {
        uint64_t at = address;
        const uint64_t end = uint64_t{address} + length;
        int mem = -1;
        bool ok = true;
        while (ok && at < end) {
            const PciWindow* window = nullptr;
            uint64_t next = end;
            for (const PciWindow& w : windows_) {
                if (at >= w.firstBusAddress && at < w.End()) window = &w;
                if (w.firstBusAddress > at) next = std::min(next, w.firstBusAddress);
            }
            if (window != nullptr) {
                // One function's 4 KiB configuration space at a time.
                uint64_t offset = at - window->BusZeroBase();
                uint64_t chunk = std::min(end, (at | 0xFFF) + 1) - at;
                ok = WindowTransfer(static_cast<uint32_t>(offset), buffer + (at - address),
                                    static_cast<uint32_t>(chunk), write);
                at += chunk;
                continue;
            }
            if (mem < 0) {
                mem = open(paths_.devMem.c_str(), (write ? O_RDWR | O_SYNC : O_RDONLY) | O_CLOEXEC);
                if (mem < 0) {
                    ok = false;
                    break;
                }
            }
            uint64_t chunk = next - at;
            ok = write ? WriteAt(mem, buffer + (at - address), chunk, at)
                       : ReadAt(mem, buffer + (at - address), chunk, at);
            at += chunk;
        }
        if (mem >= 0) close(mem);
        return ok;
    }

    bool WindowTransfer(uint32_t offset, uint8_t* buffer, uint32_t length, bool write) {
        const PciAddress at = PciAddress::FromWindowOffset(offset);
        const uint32_t reg = at.reg;
        if (!write) return ReadConfigFile(at.Function(), reg, buffer, length);
        std::string path = paths_.sysfsPci + "/" + at.SysfsName() + "/config";
        Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) return false;
        // A configuration file shorter than 4 KiB (conventional function, or reading
        // without root) ends the transfer as a failure rather than inventing bytes.
        return write ? WriteAt(fd.get(), buffer, length, reg)
                     : ReadAt(fd.get(), buffer, length, reg);
    }

    // Reads configuration bytes of one function (bus << 8 | device << 3 | function) from its
    // sysfs file; an absent function reads all ones. The files are kept open, a few dozen at
    // most, so a function's registers cost one pread and no path walk. A kept descriptor of a
    // function that went away (or came back as a new device) fails its read: it is then
    // closed and the file opened again once.
    bool ReadConfigFile(const PciAddress& function, uint32_t offset, uint8_t* out,
                        uint32_t length) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            bool kept = false;
            int fd = ConfigFileFor(function, kept);
            if (fd == kAbsentFunction) {
                std::memset(out, 0xFF, length);  // no such function
                return true;
            }
            if (fd < 0) return false;
            if (ReadAt(fd, out, length, offset)) return true;
            // A short read of a file that is as it was (a conventional function's 256
            // bytes, or 64 without root) is final; only a kept descriptor is tried anew.
            if (!kept) return false;
            ForgetConfigFile(function);
        }
        return false;
    }

    static constexpr int kAbsentFunction = -2;
    static constexpr size_t kMaxConfigFiles = 32;

    struct ConfigFile {
        PciAddress function;
        int fd;
        uint64_t used;
    };

    // The descriptor of a function's configuration file, opened on first use; kAbsentFunction
    // when the function does not exist, -1 when it cannot be told.
    int ConfigFileFor(const PciAddress& function, bool& kept) {
        for (ConfigFile& file : configFiles_)
            if (file.function == function) {
                file.used = ++configUse_;
                kept = true;
                return file.fd;
            }
        kept = false;
        // Without the PCI folder there is no telling whether a function exists.
        struct stat st;
        if (stat(paths_.sysfsPci.c_str(), &st) != 0) return -1;
        const std::string path = paths_.sysfsPci + "/" + function.SysfsName() + "/config";
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT ? kAbsentFunction : -1;
        if (configFiles_.size() >= kMaxConfigFiles) {
            // The least recently used one makes room.
            auto oldest = std::min_element(
                configFiles_.begin(), configFiles_.end(),
                [](const ConfigFile& a, const ConfigFile& b) { return a.used < b.used; });
            close(oldest->fd);
            configFiles_.erase(oldest);
        }
        configFiles_.push_back({function, fd, ++configUse_});
        return fd;
    }

    void ForgetConfigFile(const PciAddress& function) {
        for (auto it = configFiles_.begin(); it != configFiles_.end(); ++it)
            if (it->function == function) {
                close(it->fd);
                configFiles_.erase(it);
                return;
            }
    }

    std::string PortStatus() const {
        if (portInstructions_) return "ports: ok";
        if (devPort_ >= 0)
            return "ports: ok (bytes only, through " + paths_.devPort + "; " + portProblem_ + ")";
        return "ports: unavailable: " + portProblem_;
    }

    std::string PciStatus() const {
        std::vector<std::pair<uint8_t, uint8_t>> functions;
        if (!const_cast<HostBackend*>(this)->ListPciFunctions(functions))
            return "PCI configuration: unavailable: " + paths_.sysfsPci +
                   " missing (sysfs not mounted?)";
        if (functions.empty()) return "PCI configuration: ok (no PCI functions on this machine)";
        const uint32_t address =
            PciAddress::FromDevFn(functions[0].first, functions[0].second, 0x40).ConfigAddress();
        uint32_t value;
        std::string note;
        if (!const_cast<HostBackend*>(this)->ReadPciConfig(address, value))
            note = "only the first 64 bytes of each function are readable: run the daemon as root";
        if (!lockdown_.empty())
            note += std::string(note.empty() ? "" : "; ") + "writes refused by kernel lockdown (" +
                    lockdown_ + ")";
        return "PCI configuration: ok" + (note.empty() ? "" : " (" + note + ")");
    }

    std::string WindowStatus() const {
        if (windows_.empty()) return "PCI Express window: unavailable: " + mcfgProblem_;
        std::string text = "PCI Express window: ok (";
        for (size_t i = 0; i < windows_.size(); ++i) {
            char part[96];
            std::snprintf(part, sizeof part, "%s%08llX-%08llX, buses %02X-%02X", i ? "; " : "",
                          static_cast<unsigned long long>(windows_[i].firstBusAddress),
                          static_cast<unsigned long long>(windows_[i].End() - 1),
                          windows_[i].firstBus, windows_[i].lastBus);
            text += part;
        }
        return text + ")";
    }

    std::string MemoryStatus() const {
        int fd = open(paths_.devMem.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                return "physical memory: unavailable: " + paths_.devMem +
                       " absent (kernel built without CONFIG_DEVMEM)";
            if (!lockdown_.empty())
                return "physical memory: unavailable: " + paths_.devMem +
                       " refused by kernel lockdown (" + lockdown_ + ")";
            return "physical memory: unavailable: " + paths_.devMem +
                   " refused: run the daemon as root (CAP_SYS_RAWIO)";
        }
        close(fd);
        if (KernelOption("CONFIG_STRICT_DEVMEM") == "y")
            return "physical memory: ok (CONFIG_STRICT_DEVMEM: system RAM above 1 MiB is refused)";
        return "physical memory: ok";
    }

    std::string MsrStatus() const {
        std::string path = MsrPath(0);
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) {
                if (KernelOption("CONFIG_X86_MSR") == "n" &&
                    !KernelOption("CONFIG_X86_MSR").empty())
                    return "MSRs: unavailable: " + path +
                           " missing (kernel built without CONFIG_X86_MSR)";
                return "MSRs: unavailable: " + path +
                       " missing: load the msr module (modprobe msr)";
            }
            return "MSRs: unavailable: " + path +
                   " refused: run the daemon as root (CAP_SYS_RAWIO)";
        }
        close(fd);
        if (!lockdown_.empty())
            return "MSRs: ok (writes refused by kernel lockdown (" + lockdown_ + "))";
        return "MSRs: ok";
    }

    HostPaths paths_;
    bool modprobeTried_ = false, modprobeFailed_ = false;

    bool LoadI2cDev() {
        const char* argv[] = {paths_.modprobe.c_str(), "-q", "i2c-dev", nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, paths_.modprobe.c_str(), nullptr, nullptr,
                        const_cast<char* const*>(argv), environ) != 0)
            return false;
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string lockdown_;
    bool portInstructions_ = false;
    int devPort_ = -1;
    std::string portProblem_;
    std::vector<PciWindow> windows_;
    std::string mcfgProblem_;
    std::vector<ConfigFile> configFiles_;
    uint64_t configUse_ = 0;
};

}  // namespace

std::unique_ptr<Backend> CreateHostBackend(const HostPaths& paths) {
    return std::make_unique<HostBackend>(paths);
}

}  // namespace kvt::driver
