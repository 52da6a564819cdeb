#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/system_service.h"

namespace tolven::platform {

bool HasServiceOptions() { return false; }
bool RunningAsService() { return false; }
int RunAsService(const std::function<int()>& body, const std::vector<int>&) { return body(); }
Status InstallService() { return Status::Error("Dienste werden hier vom Service-Manager (systemd) eingerichtet"); }
Status RemoveService() { return Status::Error("Dienste werden hier vom Service-Manager (systemd) eingerichtet"); }
void ReportServicePhase(ServicePhase) {}

}  // namespace tolven::platform

namespace tolven::platform {

namespace {

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Reads one unit file or drop-in into the confinement seen so far.
void ApplyUnitFile(const std::filesystem::path& file, bool& strict, std::vector<std::string>& writable) {
  std::ifstream in(file);
  std::string line;
  bool service = false;
  while (std::getline(in, line)) {
    line = Trimmed(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      service = line == "[Service]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!service || eq == std::string::npos) continue;
    const std::string key = Trimmed(line.substr(0, eq)), value = Trimmed(line.substr(eq + 1));
    if (key == "ProtectSystem") strict = value == "strict";
    if (key != "ReadWritePaths") continue;
    if (value.empty()) writable.clear();  // an empty assignment resets the list
    std::istringstream words(value);
    for (std::string w; words >> w;) {
      while (!w.empty() && (w[0] == '-' || w[0] == '+')) w.erase(0, 1);
      if (!w.empty()) writable.push_back(w);
    }
  }
}

}  // namespace

std::vector<std::string> ServiceUnitFolders() {
  return {"/etc/systemd/system", "/run/systemd/system", "/usr/local/lib/systemd/system", "/usr/lib/systemd/system",
          "/lib/systemd/system"};
}

std::vector<std::string> ServiceWritableFolders(const std::vector<std::string>& unitFolders) {
  namespace fs = std::filesystem;
  std::error_code ec;
  bool strict = false;
  std::vector<std::string> writable;
  bool found = false;
  for (const std::string& folder : unitFolders) {
    if (fs::is_regular_file(fs::path(folder) / "tolvenpda.service", ec)) {
      ApplyUnitFile(fs::path(folder) / "tolvenpda.service", strict, writable);
      found = true;
      break;
    }
  }
  if (!found) return {};
  // Drop-ins of every folder, by name; the same name in an earlier folder wins.
  std::map<std::string, fs::path> dropIns;
  for (const std::string& folder : unitFolders) {
    for (const auto& e : fs::directory_iterator(fs::path(folder) / "tolvenpda.service.d", ec)) {
      if (e.path().extension() == ".conf") dropIns.emplace(e.path().filename().string(), e.path());
    }
  }
  for (const auto& [name, path] : dropIns) ApplyUnitFile(path, strict, writable);
  return strict ? writable : std::vector<std::string>{};
}

bool StartedByServiceManager() {
  const char* id = std::getenv("INVOCATION_ID");
  return id && *id;
}

}  // namespace tolven::platform
