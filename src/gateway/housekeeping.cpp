#include "gateway/housekeeping.h"

#include "common/text.h"

namespace tolven::gateway {

namespace {

// Log folders of this many years back are looked at.
constexpr int kYearsBack = 20;

}  // namespace

std::vector<std::string> Housekeeping::Prune() {
  std::vector<std::string> deleted;
  if (keepDays_ <= 0 || folder_.empty()) return deleted;
  const std::string sep = platform::kPathSepText;
  std::vector<std::string> folders{folder_ + "BEISEITE" + sep};
  const int year = env_.Now().date.year;
  // Only the files of LOG/<year>/ itself: the TSE day logs lie in its folder TSE/.
  for (int y = year - kYearsBack; y <= year; ++y) folders.push_back(folder_ + "LOG" + sep + std::to_string(y) + sep);
  const int64_t before = (env_.UnixTime() - int64_t{keepDays_} * 86400) * 1000000000LL;
  for (const std::string& folder : folders) {
    if (!env_.FolderExists(folder)) continue;
    for (const std::string& name : env_.ListFiles(folder)) {
      if (StartsWith(ToUpper(name), "TSE")) continue;  // a TSE log put there by hand
      const std::string path = folder + name;
      const platform::FileInfo info = env_.GetFileInfo(path);
      if (info.kind != platform::FileKind::Regular || info.mtimeNs >= before) continue;
      if (Status st = env_.DeleteFile(path); !st) {
        log_.AddLogLine("FEHLER: Alte Datei " + path + " nicht gelöscht: " + st.message());
        continue;
      }
      deleted.push_back(path);
    }
  }
  if (!deleted.empty()) {
    log_.AddLogLine(std::to_string(deleted.size()) + " Dateien älter als " + std::to_string(keepDays_) +
                    " Tage gelöscht (Protokolle, beiseitegelegte Dateien).");
  }
  return deleted;
}

}  // namespace tolven::gateway
