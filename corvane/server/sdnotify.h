// Readiness for a service manager: systemd's notify protocol (a datagram to
// the socket that $NOTIFY_SOCKET names), without libsystemd.
#pragma once

#include <string_view>

namespace cvserver {

// Sends state (e.g. "READY=1") when the agent runs under a manager that asked
// for it; false when none did or the datagram could not be sent.
bool NotifyServiceManager(std::string_view state);

}  // namespace cvserver
