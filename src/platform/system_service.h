// Running the gateway as a service of the operating system where the program
// itself has to talk to the service manager (Windows). Elsewhere the service
// manager starts the program as it is (systemd), and there are no options for it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/status.h"

namespace tolven::platform {

// True where --service, --install-service and --remove-service exist.
bool HasServiceOptions();
// True while the process runs as a service (inside RunAsService).
bool RunningAsService();
// Hands the process to the service manager and runs `body` (the whole
// gateway, start-up and loop, on one thread) as the service; a stop request
// of the manager asks the loop to stop. Returns the body's exit status, or 1
// after a message on standard error when the process was not started by the
// service manager. A non-zero status makes the manager start the service
// again, except the `finalStatuses` (those that need a person).
int RunAsService(const std::function<int()>& body, const std::vector<int>& finalStatuses = {});
// Registers the service (delayed automatic start, restarted after a failure,
// this program with --service) and its event-log source; needs an administrator.
Status InstallService();
// Stops and removes the service and its event-log source.
Status RemoveService();

// The folders the installed service may write, where its manager confines it
// (systemd: ReadWritePaths= of tolvenpda.service and its drop-ins, read from
// `unitFolders`, the first holding the unit winning as systemd's search order
// has it); empty when no such unit is installed or nothing confines it.
std::vector<std::string> ServiceWritableFolders(const std::vector<std::string>& unitFolders);
// The unit folders systemd searches, administrator's first.
std::vector<std::string> ServiceUnitFolders();
// True when the process was started by the service manager (systemd sets
// INVOCATION_ID for every unit it runs).
bool StartedByServiceManager();

// What the service manager is told while running as a service; nothing otherwise.
enum class ServicePhase { Running, Stopping };
void ReportServicePhase(ServicePhase phase);

}  // namespace tolven::platform
