// On Windows the service manager learns the gateway's state through the
// service's status; started from a console, there is no one to tell. There
// is no watchdog: the service manager only restarts a service that ended.
#include "platform/service_notify.h"
#include "platform/system_service.h"

namespace tolven::platform {

bool ServiceNotify(const std::string& message) {
  (void)message;
  return false;
}

void NotifyReady() { ReportServicePhase(ServicePhase::Running); }

void NotifyStopping() { ReportServicePhase(ServicePhase::Stopping); }

void NotifyWatchdog() {}

int64_t WatchdogIntervalUsec() { return 0; }

}  // namespace tolven::platform
