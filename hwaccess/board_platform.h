// The platform services of a simulated board, answered by its driver daemon.
#pragma once

#include <memory>

#include "hwaccess/transport.h"
#include "platform/platform.h"

namespace kvt {

// A simulated board: the board's own values, asked of its daemon.
std::unique_ptr<Platform> MakeBoardPlatform(DriverTransport& transport);

}  // namespace kvt
