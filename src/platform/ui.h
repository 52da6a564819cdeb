// How the gateway speaks to a person: the start-up progress line, the log,
// message boxes and one input box. An unattended gateway never blocks on any of
// them.
#pragma once

#include <string>

namespace tolven::platform {

enum class MsgKind { Information, Critical, Exclamation, Question };

const char* MsgKindName(MsgKind kind);

class Ui {
 public:
  virtual ~Ui() = default;
  // Progress of the start-up ("Prüfe Datumsformat..."), one line at a time.
  virtual void Status(const std::string& text) = 0;
  // One finished log line ("HH:MM:SS  text").
  virtual void LogLine(const std::string& line) = 0;
  // A message box; an empty title means the application title.
  virtual void MessageBox(const std::string& text, MsgKind kind, const std::string& title = "") = 0;
  // Asks for a text; without anyone to ask, the answer is empty.
  virtual std::string InputBox(const std::string& prompt, const std::string& title) = 0;
  // The installation's LOG folder, once the configuration names it, for a Ui
  // that keeps the log in files of its own (a Windows service).
  virtual void UseLogFolder(const std::string& logFolder) { (void)logFolder; }
};

inline constexpr const char* kAppTitle = "TOLVENPDA";

// Console: log lines to standard output, message boxes to standard error (both
// UTF-8), input boxes on the controlling terminal when there is one.
Ui& ConsoleUi();

}  // namespace tolven::platform
