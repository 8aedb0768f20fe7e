// Tells systemd how a Type=notify service is doing: one datagram to
// $NOTIFY_SOCKET. Written here rather than taken from libsystemd, which
// would be a dependency of the whole tool for these few lines.
#pragma once

#include <string>

namespace proxycli {

// Sends `state` ("READY=1", "STATUS=...", "STOPPING=1", lines joined by
// '\n'). False, harmlessly, when not run by systemd or when sending failed.
bool NotifySystemd(const std::string& state);

}  // namespace proxycli
