// Taking an exchange file over from a terminal. The terminal writes
// "bestell.txt" or "info.txt" into its exchange folder (often a share its sync
// software writes to); the gateway renames the file to a work name in that
// same folder, so the rename never crosses a file system and nothing is ever
// written beside the program. A work file that is still there at a later pass
// is what an interrupted pass left.
//
// A file is taken only when it is whole: its size and time stamp stayed the
// same across the hand-over waits, and it holds its end (the closing "E"
// record of an order, the line end of a request). One that never gets its end
// is taken after a limit so that it cannot block the terminal for ever.
#pragma once

#include <cstdint>
#include <string>

#include "common/log_sink.h"
#include "common/result.h"
#include "platform/env.h"

namespace tolven::gateway {

// Far above any real order or request; a bigger file is refused unread.
inline constexpr int64_t kMaxExchangeFileBytes = 1024 * 1024;
inline constexpr size_t kMaxExchangeLineChars = 4000;
// How long a file may stay unchanged without its end before it is taken anyway.
inline constexpr int64_t kUnfinishedLimitMs = 10000;
// Texts from exchange files are cut to this length in the log and status views.
inline constexpr size_t kMaxLoggedTextChars = 300;

enum class Completion {
  ClosingRecord,  // an order: the last record is the "E" line
  LineEnd,        // a request: the first line ends with CR LF
};

struct ExchangeFileRules {
  std::string inputName;  // "bestell.txt", "info.txt"
  std::string workName;   // "ppcorders1.in", "ppcinfo1": in the same folder
  int firstWaitMs = 0;
  int secondWaitMs = 0;
  Completion completion = Completion::ClosingRecord;
  std::string label;        // "Bestelldatei von Orderterminal 1", for log lines
  std::string asideFolder;  // where files set aside go; "" beside themselves
};

enum class HandoverOutcome {
  None,     // no file (or something that is not a file, reported once)
  Waiting,  // still being written: a later pass looks again
  Taken,    // now the work file: contents and info are set
  Refused,  // too large or a line too long: set aside, error says why
  Failed,   // could not be moved or read; stays where it is (logged)
};

struct Handover {
  HandoverOutcome outcome = HandoverOutcome::None;
  std::string contents;
  platform::FileInfo info;  // of the work file: with the contents, its identity
  bool unfinished = false;  // taken after the limit without its end
  std::string error;        // Refused: the reason for the terminal's answer
};

// One exchange file of one terminal slot, with what earlier passes saw of it.
class ExchangeFile {
 public:
  ExchangeFile(platform::Env& env, LogSink& log, std::string folder, ExchangeFileRules rules);

  const std::string& inputPath() const { return input_; }
  const std::string& workPath() const { return work_; }

  // True when a regular file waits under the input name. Anything else of
  // that name (a folder, a FIFO) gets one log line and is otherwise ignored;
  // it is never opened.
  bool Present();
  // True when a work file of an interrupted pass is there.
  bool LeftoverPresent();
  // Reads the work file as it is; a work file above the size limit is an error.
  Status ReadWork(std::string& contents, platform::FileInfo& info);
  // The same for a work file an interrupted run left: one that cannot be
  // read is logged and set aside ("unverarbeitet"), and false is returned.
  bool ReadLeftoverWork(std::string& contents, platform::FileInfo& info);
  // Moves the work file of an interrupted pass aside unread (name + "." + tag
  // + "-" + time); false when it is still in the way. Logged either way.
  bool SetWorkAside(const std::string& tag);
  // The file the slot's jobs failed on `tries` times (`why`: the last
  // failure), its work file or else its input file, moved aside. Logged.
  void SetFailingAside(int tries, const std::string& why);
  Status DeleteWork();

  // The whole hand-over: `announce` is logged once per file when work on it
  // begins; then the waits, the checks and the rename.
  Handover TakeOver(const std::string& announce);

 private:
  void Observe(const platform::FileInfo& info);
  bool Whole(const std::string& contents) const;
  Handover Refuse(const std::string& path, const std::string& reason);
  void LogOnce(const std::string& text);
  void Reset();

  platform::Env& env_;
  LogSink& log_;
  ExchangeFileRules rules_;
  std::string input_, work_;
  platform::FileInfo seen_;
  int64_t seenSinceMs_ = 0;
  bool reportedOdd_ = false;
  bool announced_ = false;
  std::string lastFailure_;
};

// Moves a file aside under its name + "." + tag + "-" + time stamp (a free
// name, "-2" to "-99" added within one second): into `folder` (the
// installation's, created when missing) as a copy of at most kAsideKeepBytes,
// or beside itself when `folder` is empty. The new name, or why that failed.
inline constexpr int64_t kAsideKeepBytes = 64 * 1024;
inline constexpr int kAsideSameSecond = 99;
Result<std::string> SetAside(platform::Env& env, const std::string& path, const std::string& tag,
                             const std::string& folder = "");
// The identity of an exchange file's contents: 16 hex digits (FNV-1a, 64 bits).
std::string ContentHash(const std::string& contents);
// A text from a file as it may go into the log: at most kMaxLoggedTextChars.
std::string CutForLog(const std::string& text);
// True when the last record of an order file is its closing "E" line.
bool EndsWithClosingRecord(const std::string& contents);

}  // namespace tolven::gateway
