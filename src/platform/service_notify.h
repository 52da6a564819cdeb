// Telling the service manager (systemd) how the gateway is doing, through the
// datagram socket it names in $NOTIFY_SOCKET. Without that variable (started
// by hand, in tests) every call does nothing.
#pragma once

#include <cstdint>
#include <string>

namespace tolven::platform {

// Sends one notification ("READY=1", "STOPPING=1", "STATUS=..."); false when
// there is no socket or the send failed.
bool ServiceNotify(const std::string& message);
// Start-up is over and the poll loop begins.
void NotifyReady();
void NotifyStopping();
// The loop is alive: "WATCHDOG=1", at most every quarter of the watchdog
// interval ($WATCHDOG_USEC; nothing without one), so it may be called as often
// as the loop likes.
void NotifyWatchdog();
// The watchdog interval in microseconds the service manager asked for; 0 for none.
int64_t WatchdogIntervalUsec();

}  // namespace tolven::platform
