#include "driver/board/board.h"

#include <cerrno>
#include <cstring>

#include "driver/board/smbus.h"
#include "platform/format.h"
#include "protocol/driver_request.h"

namespace kvt::driver::board {

Board::Board() : start_(std::chrono::steady_clock::now()) {}

uint64_t Board::ElapsedNs() const {
    auto d = std::chrono::steady_clock::now() - start_;
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

bool Board::ReadPort(uint16_t port, uint32_t width, uint32_t& value) {
    if (width != 1 && width != 2 && width != 4) return false;
    if (!faults.Pass(FaultKind::Port, port, port + width - 1u)) return false;
    value = ports_.Read(port, width);
    return true;
}

bool Board::WritePort(uint16_t port, uint32_t width, uint32_t value) {
    if (width != 1 && width != 2 && width != 4) return false;
    if (!faults.Pass(FaultKind::Port, port, port + width - 1u)) return false;
    ports_.Write(port, width, value);
    return true;
}

namespace {

// Enable bit set, reserved bits 30-24 and the low two bits clear: what the host accepts.
bool ValidConfigAddress(uint32_t configAddress) {
    return (configAddress & 0x80000000u) != 0 && (configAddress & 0x7F000003u) == 0;
}

}  // namespace

bool Board::ReadPciConfig(uint32_t configAddress, uint32_t& value) {
    if (!ValidConfigAddress(configAddress)) return false;
    if (!PciPass(configAddress)) return false;
    value = pci_.ReadConfig(configAddress, 4);
    return true;
}

bool Board::WritePciConfig(uint32_t configAddress, uint32_t value) {
    if (!ValidConfigAddress(configAddress)) return false;
    if (!PciPass(configAddress)) return false;
    pci_.WriteConfig(configAddress, 4, value);
    return true;
}

bool Board::PciPass(uint32_t configAddress) {
    uint32_t function = (configAddress >> 8) & 0xFFFF;  // bus << 8 | device << 3 | function
    return faults.Pass(FaultKind::Pci, function, function);
}

// A function's whole space as the host reads it from sysfs: an absent function reads all
// ones, a range past a conventional function's 256 bytes fails.
bool Board::ReadPciConfigBlock(uint8_t bus, uint8_t devFn, uint32_t offset, uint8_t* out,
                               uint32_t length) {
    const uint32_t key = uint32_t(bus) << 8 | devFn;
    if (!faults.Pass(FaultKind::Pci, key, key)) return false;
    const PciFunction* f = pci_.Find(bus, devFn);
    if (f == nullptr) {
        std::memset(out, 0xFF, length);
        return true;
    }
    if (offset > f->size() || length > f->size() - offset) return false;
    for (uint32_t i = 0; i < length; ++i) out[i] = uint8_t(f->Read(offset + i, 1));
    return true;
}

uint32_t Board::PciConfigSize(uint8_t bus, uint8_t devFn) {
    const PciFunction* f = pci_.Find(bus, devFn);
    return f == nullptr ? 0 : f->size();
}

// One access of the width, as the chipset makes it: the function's write mask and its
// write-1-to-clear bits decide what changes, the bytes beside the register are not touched.
bool Board::ReadPciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                               uint32_t& value) {
    const uint32_t key = uint32_t(bus) << 8 | devFn;
    const PciFunction* f = pci_.Find(bus, devFn);
    if ((width != 1 && width != 2 && width != 4) || offset % width != 0 || f == nullptr ||
        offset >= f->size() || !faults.Pass(FaultKind::Pci, key, key))
        return false;
    value = f->Read(offset, width);
    return true;
}

bool Board::WritePciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                                uint32_t value) {
    const uint32_t key = uint32_t(bus) << 8 | devFn;
    PciFunction* f = pci_.Find(bus, devFn);
    if ((width != 1 && width != 2 && width != 4) || offset % width != 0 || f == nullptr ||
        offset >= f->size() || !faults.Pass(FaultKind::Pci, key, key))
        return false;
    f->Write(offset, width, value);
    return true;
}

bool Board::ListPciFunctions(std::vector<std::pair<uint8_t, uint8_t>>& functions) {
    functions = pci_.List();
    return true;
}

// A board has domain 0 only.
bool Board::PciBarSizes(const PciAddress& function, uint64_t (&sizes)[6]) {
    if (function.domain != 0 || !PciPass(function.ConfigAddress())) return false;
    const PciFunction* f = pci_.Find(function.bus, function.devFn());
    if (f == nullptr) return false;
    f->BarSizes(sizes);
    return true;
}

bool Board::ReadPhysical(uint32_t address, uint8_t* out, uint32_t length) {
    if (!faults.Pass(FaultKind::Memory, address, uint64_t(address) + length - 1)) return false;
    return memory_.Read(address, out, length);
}

bool Board::WritePhysical(uint32_t address, const uint8_t* data, uint32_t length) {
    if (!faults.Pass(FaultKind::Memory, address, uint64_t(address) + length - 1)) return false;
    return memory_.Write(address, data, length);
}

bool Board::ReadMsr(uint32_t processor, uint32_t msr, uint64_t& value) {
    if (processor >= processors.size()) return false;
    if (!faults.Pass(FaultKind::Msr, msr, msr)) return false;
    return processors[processor].ReadMsr(msr, ElapsedNs(), value);
}

bool Board::WriteMsr(uint32_t processor, uint32_t msr, uint64_t value) {
    if (processor >= processors.size()) return false;
    if (!faults.Pass(FaultKind::Msr, msr, msr)) return false;
    return processors[processor].WriteMsr(msr, ElapsedNs(), value);
}

bool Board::PlatformInfo(PlatformFacts& facts) {
    facts = {};
    facts.computer = computer;
    facts.board = name;
    facts.processors = static_cast<uint32_t>(processors.size());
    facts.tscHz = processors.empty() ? 0 : processors[0].tscHz();
    if (version) {
        facts.hasVersion = true;
        facts.major = version->major;
        facts.minor = version->minor;
        facts.build = version->build;
        facts.platform = version->platform;
        facts.csd = version->csd;
    }
    return true;
}

bool Board::Cpuid(uint32_t processor, uint32_t function, uint32_t subFunction, CpuidResult& out) {
    if (processor >= processors.size()) return false;
    out = processors[processor].Cpuid(function, subFunction);
    return true;
}

bool Board::ReadTsc(uint32_t processor, uint64_t& value) {
    if (processor >= processors.size()) return false;
    value = processors[processor].Tsc(ElapsedNs());
    return true;
}

bool Board::PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus) {
    if (!hasEcam) return false;
    base = ecamBase;
    firstBus = 0;
    lastBus = uint8_t(ecamBuses - 1);
    return true;
}

bool Board::KernelDriver(uint8_t bus, uint8_t devFn, std::string& name) {
    if (!pci_.Find(bus, devFn)) return false;
    auto it = kernelDrivers.find(uint16_t(bus << 8 | devFn));
    name = it == kernelDrivers.end() ? std::string() : it->second;
    return true;
}

// The kernel's SMBus driver on the board: it runs each transaction on the controller's
// slaves as a whole, as the kernel does behind its ioctl.
bool Board::KernelSmbus(uint8_t bus, uint8_t devFn, uint16_t ioBase, SmbusKernelTransfer& t,
                        int& error, std::string& text) {
    uint16_t key = uint16_t(bus << 8 | devFn);
    if (!kernelDrivers.count(key)) return false;
    const std::string& driver = kernelDrivers[key];
    SmbusHost* host = nullptr;
    int index = 0;
    auto it = kernelAdapters.find(key);
    if (it != kernelAdapters.end())
        for (size_t i = 0; i < it->second.size(); ++i)
            if (it->second[i]->base() == ioBase) host = it->second[i], index = int(i);
    if (!host) {
        error = ENOENT;
        text = "no /dev/i2c node for " + driver +
               "'s adapter: the i2c-dev module is not loaded (modprobe i2c-dev)";
        return true;
    }
    text = Format("/dev/i2c-%d (board adapter of %s)", index, driver.c_str());
    error = 0;
    if (host->stuck()) {
        error = EBUSY;
        return true;
    }
    SmbusSlaves& s = host->slaves();
    SmbusOutcome o = SmbusOutcome::Ok;
    uint8_t byte = uint8_t(t.data);
    switch (t.op) {
        case kSmbusOpAdapter:
            return true;
        case kSmbusOpReceiveByte:
            o = s.ReceiveByte(t.address, byte);
            t.data = byte;
            break;
        case kSmbusOpReadByte:
            o = s.ReadByte(t.address, t.command, byte);
            t.data = byte;
            break;
        case kSmbusOpReadWord:
            o = s.ReadWord(t.address, t.command, t.data);
            break;
        case kSmbusOpReadBlock:
            o = s.ReadBlock(t.address, t.command, t.block);
            // The kernel refuses a count of 0 or above 32 as a protocol error.
            if (o == SmbusOutcome::Ok && (t.block.empty() || t.block.size() > 32)) {
                t.block.clear();
                error = EPROTO;
                return true;
            }
            break;
        case kSmbusOpWriteByte:
            o = s.WriteByte(t.address, t.command, byte);
            break;
        case kSmbusOpWriteWord:
            o = s.WriteWord(t.address, t.command, t.data);
            break;
        case kSmbusOpWriteBlock:
            o = s.WriteBlock(t.address, t.command, t.block);
            break;
        default:
            return false;
    }
    if (o != SmbusOutcome::Ok) error = ENXIO;
    return true;
}

std::vector<std::string> Board::StatusLines() {
    std::vector<std::string> lines = {"ports: ok (simulated)", "PCI configuration: ok (simulated)"};
    if (hasEcam)
        lines.push_back("PCI Express window: ok (simulated)");
    else
        lines.push_back(
            "PCI Express window: unavailable: this board has none; choose a board whose "
            "profile declares pci.ecam");
    lines.push_back("physical memory: ok (simulated)");
    lines.push_back("MSRs: ok (simulated)");
    return lines;
}

}  // namespace kvt::driver::board
