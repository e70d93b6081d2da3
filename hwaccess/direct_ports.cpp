#include "hwaccess/direct_ports.h"

#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define KVT_HAVE_PORT_IO 1
#endif

namespace kvt {

namespace {

// Whether this thread's last port access was carried out.
thread_local bool t_portServed = false;

uint32_t AllOnes(uint32_t width) {
    return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

class HostDirectPorts : public DirectPortAccess {
  public:
    void Out(uint16_t port, uint32_t value, uint32_t width) override {
        t_portServed = false;
#ifdef KVT_HAVE_PORT_IO
        if (!Permit(port, width)) return;
        t_portServed = true;
        if (width == 1) outb(static_cast<uint8_t>(value), port);
        if (width == 2) outw(static_cast<uint16_t>(value), port);
        if (width == 4) outl(value, port);
#else
        (void)port, (void)value, (void)width;
#endif
    }
    uint32_t In(uint16_t port, uint32_t width) override {
        t_portServed = false;
#ifdef KVT_HAVE_PORT_IO
        if (!Permit(port, width)) return AllOnes(width);
        t_portServed = width == 1 || width == 2 || width == 4;
        if (width == 1) return inb(port);
        if (width == 2) return inw(port);
        if (width == 4) return inl(port);
#endif
        return AllOnes(width);
    }
    bool Served() const override {
        return t_portServed;
    }

  private:
#ifdef KVT_HAVE_PORT_IO
    static bool Permit(uint16_t port, uint32_t width) {
        return static_cast<uint32_t>(port) + width <= 0x10000 && ioperm(port, width, 1) == 0;
    }
#endif
};

class BoardDirectPorts : public DirectPortAccess {
  public:
    explicit BoardDirectPorts(DriverTransport& transport) : transport_(transport) {}
    void Out(uint16_t port, uint32_t value, uint32_t width) override {
        DriverRequest block;
        std::memset(&block, 0, sizeof block);
        block.port = port;
        block.portValue = value;
        block.portWidth = width;
        t_portServed = transport_.Call({kNtDeviceName, kExtDirectPortOut, false, {}, nullptr},
                                       block) == TransportResult::Ok;
    }
    uint32_t In(uint16_t port, uint32_t width) override {
        DriverRequest block;
        std::memset(&block, 0, sizeof block);
        block.port = port;
        block.portWidth = width;
        t_portServed = transport_.Call({kNtDeviceName, kExtDirectPortIn, false, {}, nullptr},
                                       block) == TransportResult::Ok;
        return t_portServed ? block.portValue : AllOnes(width);
    }
    bool Served() const override { return t_portServed; }
    // The accesses go to the daemon as one batch; it serves them in order, as one by one.
    void Batch(std::span<Access> accesses) override {
        std::vector<TransportBatchEntry> entries(accesses.size());
        for (size_t i = 0; i < accesses.size(); ++i) {
            const Access& a = accesses[i];
            DriverRequest& block = entries[i].block;
            std::memset(&block, 0, sizeof block);
            block.port = a.port;
            block.portValue = a.write ? a.value : 0;
            block.portWidth = a.width;
            entries[i].call = {
                kNtDeviceName, a.write ? kExtDirectPortOut : kExtDirectPortIn, false, {}, nullptr};
        }
        transport_.CallBatch(entries);
        for (size_t i = 0; i < accesses.size(); ++i) {
            Access& a = accesses[i];
            a.served = entries[i].result == TransportResult::Ok;
            if (!a.write) a.value = a.served ? entries[i].block.portValue : AllOnes(a.width);
        }
        if (!accesses.empty()) t_portServed = accesses.back().served;
    }

  private:
    DriverTransport& transport_;
};

}  // namespace

std::unique_ptr<DirectPortAccess> MakeHostDirectPorts() {
    return std::make_unique<HostDirectPorts>();
}

std::unique_ptr<DirectPortAccess> MakeBoardDirectPorts(DriverTransport& transport) {
    return std::make_unique<BoardDirectPorts>(transport);
}

}  // namespace kvt
