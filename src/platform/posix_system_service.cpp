#include "platform/system_service.h"

namespace tolven::platform {

bool HasServiceOptions() { return false; }
bool RunningAsService() { return false; }
int RunAsService(const std::function<int()>& body, const std::vector<int>&) { return body(); }
Status InstallService() { return Status::Error("Dienste werden hier vom Service-Manager (systemd) eingerichtet"); }
Status RemoveService() { return Status::Error("Dienste werden hier vom Service-Manager (systemd) eingerichtet"); }
void ReportServicePhase(ServicePhase) {}

}  // namespace tolven::platform
