// Why a driver request failed, in words a user can act on: the transport's cause, and for a
// refusal what the daemon's backend said about that kind of access.
#pragma once

#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "hwaccess/transport.h"

namespace kvt {

enum class AccessKind { Ports, PciConfig, PcieWindow, Memory, Msr };

// What the daemon reported of that kind of access.
const DriverCapabilities::Access& AccessOf(const DriverCapabilities& caps, AccessKind kind);

// "ports", "PCI configuration", ... as the daemon's status names them.
const char* AccessName(AccessKind kind);

// The cause of a failed request of this kind. caps: what the daemon reported at start, or
// null when it is not known. A refusal of a kind of access the backend lacks gives the
// backend's reason ("MSRs: unavailable: ... (modprobe msr)").
std::string DescribeRequestFailure(TransportFailure failure, AccessKind kind,
                                   const DriverCapabilities* caps);

// One "<kind>: <the daemon's words>" line for each kind of access the backend lacks.
std::vector<std::string> UnavailableAccess(const DriverCapabilities& caps);

}  // namespace kvt
