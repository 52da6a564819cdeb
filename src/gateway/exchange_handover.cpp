#include "gateway/exchange_handover.h"

#include <cstdio>

#include "common/text.h"

namespace tolven::gateway {

using platform::FileInfo;
using platform::FileKind;

namespace {

size_t LongestLine(const std::string& contents) {
  size_t longest = 0, start = 0;
  while (start <= contents.size()) {
    size_t nl = contents.find('\n', start);
    size_t end = nl == std::string::npos ? contents.size() : nl;
    longest = std::max(longest, end - start);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return longest;
}

}  // namespace

std::string ContentHash(const std::string& contents) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : contents) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return hex;
}

std::string CutForLog(const std::string& text) {
  if (text.size() <= kMaxLoggedTextChars) return text;
  return text.substr(0, kMaxLoggedTextChars - 3) + "...";
}

bool EndsWithClosingRecord(const std::string& contents) {
  // The closing line must have its line end: "E;;" may be the first half of "E;;A".
  size_t end = contents.size();
  while (end > 0 && (contents[end - 1] == '\r' || contents[end - 1] == '\n')) --end;
  if (end == contents.size() || contents.find('\n', end) == std::string::npos) return false;
  size_t start = contents.rfind('\n', end == 0 ? 0 : end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  if (end <= start) return false;
  return GetToken(contents.substr(start, end - start), 1) == "E";
}

Result<std::string> SetAside(platform::Env& env, const std::string& path, const std::string& tag,
                             const std::string& folder) {
  DateTime now = env.Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", now.date.year, now.date.month, now.date.day, now.hour,
                now.minute, now.second);
  // In the installation's folder the terminal's folder name keeps the files of
  // several terminals apart.
  std::string base = path;
  if (!folder.empty()) {
    const size_t slash = path.find_last_of("/\\");
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    const size_t parentSlash = name < 2 ? std::string::npos : path.find_last_of("/\\", name - 2);
    const size_t parent = parentSlash == std::string::npos ? 0 : parentSlash + 1;
    const std::string terminal = name == 0 ? "" : path.substr(parent, name - 1 - parent);
    base = folder + (terminal.empty() ? "" : terminal + "_") + path.substr(name);
  }
  const std::string stamped = base + "." + tag + "-" + stamp;
  std::string aside = stamped;
  // Two files set aside within one second keep apart; a file set aside before
  // is never overwritten.
  for (int n = 2; env.GetFileInfo(aside).kind != FileKind::Missing; ++n) {
    if (n > kAsideSameSecond) return Status::Error("kein freier Name mehr für " + stamped);
    aside = stamped + "-" + std::to_string(n);
  }
  if (folder.empty()) {
    if (Status st = env.RenameFile(path, aside); !st) return st;
    return aside;
  }
  // Out of the exchange folder, which may lie on the terminals' share, and cut
  // to a size that keeps hundreds of bad files from filling a disk.
  std::string head;
  Status st = env.ReadFileHead(path, kAsideKeepBytes + 1, head);
  if (st && static_cast<int64_t>(head.size()) > kAsideKeepBytes) {
    head.resize(static_cast<size_t>(kAsideKeepBytes));
    head += "\r\n[gekürzt: die Datei war " + std::to_string(env.GetFileInfo(path).size) + " Bytes lang]\r\n";
  }
  if (st && !env.FolderExists(folder)) st = env.CreateFolder(folder);
  if (st) st = env.WriteFile(aside, head);
  if (st) st = env.DeleteFile(path);
  if (!st) return st;
  return aside;
}

ExchangeFile::ExchangeFile(platform::Env& env, LogSink& log, std::string folder, ExchangeFileRules rules)
    : env_(env), log_(log), rules_(std::move(rules)) {
  input_ = folder + rules_.inputName;
  work_ = folder + rules_.workName;
}

bool ExchangeFile::Present() {
  const FileInfo info = env_.GetFileInfo(input_);
  if (info.kind == FileKind::Regular || info.kind == FileKind::Missing) {
    reportedOdd_ = false;
    return info.kind == FileKind::Regular;
  }
  if (!reportedOdd_) {
    reportedOdd_ = true;
    log_.AddLogLine("FEHLER: " + input_ + " ist keine Datei (" +
                    (info.kind == FileKind::Folder ? "ein Ordner" : "ein Gerät oder eine Pipe") +
                    ") und wird nicht gelesen.");
  }
  return false;
}

bool ExchangeFile::LeftoverPresent() { return env_.GetFileInfo(work_).kind == FileKind::Regular; }

Status ExchangeFile::ReadWork(std::string& contents, FileInfo& info) {
  contents.clear();
  info = env_.GetFileInfo(work_);
  if (info.kind != FileKind::Regular) return Status::Error(work_ + " ist keine Datei.");
  if (info.size > kMaxExchangeFileBytes) {
    return Status::Error(work_ + " ist größer als 1 MB (" + std::to_string(info.size) + " Bytes).");
  }
  return env_.ReadRegularFile(work_, kMaxExchangeFileBytes, contents);
}

bool ExchangeFile::ReadLeftoverWork(std::string& contents, FileInfo& info) {
  if (Status st = ReadWork(contents, info); !st) {
    log_.AddLogLine("FEHLER: Unverarbeitete Arbeitsdatei nicht lesbar: " + st.message());
    SetWorkAside("unverarbeitet");
    return false;
  }
  return true;
}

bool ExchangeFile::SetWorkAside(const std::string& tag) {
  const Result<std::string> aside = SetAside(env_, work_, tag, rules_.asideFolder);
  if (!aside) {
    log_.AddLogLine("FEHLER: Unverarbeitete Arbeitsdatei " + work_ +
                    " kann nicht verschoben werden: " + aside.status().message());
    return false;
  }
  log_.AddLogLine("FEHLER: Unverarbeitete Arbeitsdatei " + work_ + " aus einem unterbrochenen Lauf nach " + *aside +
                  " verschoben. Bitte prüfen.");
  return true;
}

void ExchangeFile::SetFailingAside(int tries, const std::string& why) {
  const std::string path = LeftoverPresent() ? work_ : env_.GetFileInfo(input_).kind == FileKind::Regular ? input_ : "";
  if (path.empty()) return;
  const Result<std::string> aside = SetAside(env_, path, "fehlerhaft", rules_.asideFolder);
  log_.AddLogLine("FEHLER: " + rules_.label + " " + std::to_string(tries) + "-mal nicht verarbeitet (" + why + "), " +
                  (aside ? "beiseitegelegt als " + *aside + ". Bitte prüfen."
                         : "kann nicht beiseitegelegt werden: " + aside.status().message()));
  Reset();
}

Status ExchangeFile::DeleteWork() { return env_.DeleteFile(work_); }

void ExchangeFile::Observe(const FileInfo& info) {
  if (info == seen_) return;
  seen_ = info;
  seenSinceMs_ = env_.MonotonicMs();
}

void ExchangeFile::Reset() {
  seen_ = FileInfo{};
  announced_ = false;
  lastFailure_.clear();
}

void ExchangeFile::LogOnce(const std::string& text) {
  if (text == lastFailure_) return;
  lastFailure_ = text;
  log_.AddLogLine(text);
}

bool ExchangeFile::Whole(const std::string& contents) const {
  if (rules_.completion == Completion::ClosingRecord) return EndsWithClosingRecord(contents);
  return contents.find("\r\n") != std::string::npos;
}

Handover ExchangeFile::Refuse(const std::string& path, const std::string& reason) {
  const Result<std::string> aside = SetAside(env_, path, "abgelehnt", rules_.asideFolder);
  log_.AddLogLine(
      "FEHLER: " + rules_.label + " abgelehnt: " + reason + ". " +
      (aside ? "Beiseitegelegt als " + *aside : "Sie kann nicht beiseitegelegt werden: " + aside.status().message()));
  Reset();
  Handover h;
  h.outcome = aside ? HandoverOutcome::Refused : HandoverOutcome::Failed;
  h.error = reason;
  return h;
}

Handover ExchangeFile::TakeOver(const std::string& announce) {
  Handover h;
  const FileInfo first = env_.GetFileInfo(input_);
  if (first.kind != FileKind::Regular) {
    Present();  // reports something that is not a file, once
    return h;
  }
  if (!announced_) {
    announced_ = true;
    if (!announce.empty()) log_.AddLogLine(announce);
  }
  if (first.size > kMaxExchangeFileBytes) {
    return Refuse(input_, "größer als 1 MB (" + std::to_string(first.size) + " Bytes)");
  }
  Observe(first);

  env_.SleepMs(rules_.firstWaitMs);
  // Renaming onto a work file would replace it: one left by an interrupted
  // pass goes aside first, and while it cannot, the new file waits.
  if (LeftoverPresent() && !SetWorkAside("unverarbeitet")) {
    h.outcome = HandoverOutcome::Failed;
    return h;
  }
  env_.SleepMs(rules_.secondWaitMs);

  const FileInfo later = env_.GetFileInfo(input_);
  if (later != first) {
    // Still being written (or gone): a later pass looks again.
    Observe(later);
    h.outcome = later.kind == FileKind::Missing ? HandoverOutcome::None : HandoverOutcome::Waiting;
    return h;
  }
  std::string contents;
  if (Status st = env_.ReadRegularFile(input_, kMaxExchangeFileBytes, contents); !st) {
    LogOnce("FEHLER: " + rules_.label + " kann nicht gelesen werden: " + st.message());
    h.outcome = HandoverOutcome::Failed;
    return h;
  }
  if (!Whole(contents)) {
    if (env_.MonotonicMs() - seenSinceMs_ < kUnfinishedLimitMs) {
      h.outcome = HandoverOutcome::Waiting;
      return h;
    }
    if (rules_.completion == Completion::LineEnd) return Refuse(input_, "unvollständig (ohne Zeilenende)");
    h.unfinished = true;
  }

  if (Status st = env_.RenameFile(input_, work_); !st) {
    // The terminal may still hold the file; it stays for the next pass.
    LogOnce("FEHLER: " + rules_.label + " kann nicht übernommen werden: " + st.message());
    h.outcome = HandoverOutcome::Failed;
    return h;
  }
  // From here on the terminal may write its next file.
  if (Status st = ReadWork(h.contents, h.info); !st) {
    // It grew after the checks (the terminal still held it open).
    if (h.info.size > kMaxExchangeFileBytes) {
      return Refuse(work_, "größer als 1 MB (" + std::to_string(h.info.size) + " Bytes)");
    }
    log_.AddLogLine("FEHLER: " + rules_.label + " kann nicht gelesen werden: " + st.message());
    Reset();
    h.outcome = HandoverOutcome::Failed;  // the work file is found again at the next pass
    return h;
  }
  if (LongestLine(h.contents) > kMaxExchangeLineChars) {
    return Refuse(work_, "Zeile länger als " + std::to_string(kMaxExchangeLineChars) + " Zeichen");
  }
  Reset();
  h.outcome = HandoverOutcome::Taken;
  return h;
}

}  // namespace tolven::gateway
