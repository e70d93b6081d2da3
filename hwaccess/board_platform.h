// The platform services of a simulated board, answered by its driver daemon.
#pragma once

#include <memory>
#include <string>

#include "hwaccess/driver_client.h"
#include "platform/platform.h"

namespace kvt {

// A simulated board: the board's own values, asked of its daemon through the client.
std::unique_ptr<Platform> MakeBoardPlatform(DriverClient& client);

// Another machine's host daemon through --remote: what its daemon tells (the processor count,
// CPUID and the time-stamp counter where it answers them), never this machine's values. The
// computer's name is the target's host name as given when the daemon does not say it.
std::unique_ptr<Platform> MakeRemoteHostPlatform(DriverClient& client, std::string hostName);

}  // namespace kvt
