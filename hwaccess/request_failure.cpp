#include "hwaccess/request_failure.h"

namespace kvt {

namespace {

std::string Line(const DriverCapabilities& caps, AccessKind kind) {
    const DriverCapabilities::Access& access = AccessOf(caps, kind);
    return std::string(AccessName(kind)) + ": " +
           (access.detail.empty() ? std::string("unavailable") : access.detail);
}

}  // namespace

const DriverCapabilities::Access& AccessOf(const DriverCapabilities& caps, AccessKind kind) {
    switch (kind) {
        case AccessKind::Ports:
            return caps.ports;
        case AccessKind::PciConfig:
            return caps.pciConfig;
        case AccessKind::PcieWindow:
            return caps.pcieWindow;
        case AccessKind::Memory:
            return caps.memory;
        case AccessKind::Msr:
            break;
    }
    return caps.msr;
}

const char* AccessName(AccessKind kind) {
    switch (kind) {
        case AccessKind::Ports:
            return "ports";
        case AccessKind::PciConfig:
            return "PCI configuration";
        case AccessKind::PcieWindow:
            return "PCI Express window";
        case AccessKind::Memory:
            return "physical memory";
        case AccessKind::Msr:
            break;
    }
    return "MSRs";
}

std::string DescribeRequestFailure(TransportFailure failure, AccessKind kind,
                                   const DriverCapabilities* caps) {
    switch (failure) {
        case TransportFailure::None:
        case TransportFailure::Refused:
            if (caps != nullptr && !AccessOf(*caps, kind).available) return Line(*caps, kind);
            return "the daemon refused the request (its access policy, the board's faults, or "
                   "what the device allows)";
        case TransportFailure::NoDaemon:
            return "no daemon answers at its socket: the driver is not running";
        default:
            return DescribeFailure(failure);
    }
}

std::vector<std::string> UnavailableAccess(const DriverCapabilities& caps) {
    std::vector<std::string> lines;
    for (AccessKind kind : {AccessKind::Ports, AccessKind::PciConfig, AccessKind::PcieWindow,
                            AccessKind::Memory, AccessKind::Msr}) {
        if (!AccessOf(caps, kind).available) lines.push_back(Line(caps, kind));
    }
    return lines;
}

}  // namespace kvt
