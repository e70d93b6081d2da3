// The platform services of a simulated board, answered by its driver daemon.
#pragma once

#include <memory>

#include "hwaccess/driver_client.h"
#include "platform/platform.h"

namespace kvt {

// A simulated board: the board's own values, asked of its daemon through the client.
std::unique_ptr<Platform> MakeBoardPlatform(DriverClient& client);

}  // namespace kvt
