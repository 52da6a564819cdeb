#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "common/cp1252.h"
#include "common/text.h"
#include "platform/ui.h"

namespace tolven::platform {

namespace {

// True when the service manager connected this stream to the journal
// ($JOURNAL_STREAM holds its device and inode): then a line may start with a
// priority ("<3>" error) that the journal takes off and keeps, so that
// `journalctl -p err` finds the errors. A console keeps plain lines.
bool IsJournal(FILE* stream) {
  const char* js = std::getenv("JOURNAL_STREAM");
  if (!js || !*js) return false;
  struct stat st;
  if (::fstat(::fileno(stream), &st) != 0) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(js, "%llu:%llu", &dev, &ino) != 2) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

// syslog priorities: 3 error, 4 warning, 5 notice, 6 information.
const char* Priority(bool journal, int level) {
  if (!journal) return "";
  static const char* const kLevels[] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
  return kLevels[level];
}

class ConsoleUiImpl final : public Ui {
 public:
  void Status(const std::string& text) override {
    std::fprintf(stdout, "%s[Start] %s\n", Priority(stdoutJournal_, 6), Cp1252ToUtf8(text).c_str());
    std::fflush(stdout);
  }

  void LogLine(const std::string& line) override {
    const bool error = line.find("FEHLER") != std::string::npos;
    std::fprintf(stdout, "%s%s\n", Priority(stdoutJournal_, error ? 3 : 6), Cp1252ToUtf8(line).c_str());
    std::fflush(stdout);
  }

  void MessageBox(const std::string& text, MsgKind kind, const std::string& title) override {
    std::string t = title.empty() ? kAppTitle : title;
    const int level = kind == MsgKind::Critical ? 3 : kind == MsgKind::Exclamation ? 4 : 5;
    // Every line of the box is a journal entry of its own, each with the priority.
    std::string body =
        ReplaceAll(ReplaceAll(text, "\r\n", "\n"), "\n", std::string("\n") + Priority(stderrJournal_, level) + "    ");
    std::fprintf(stderr, "%s[%s] %s: %s\n", Priority(stderrJournal_, level), MsgKindName(kind), Cp1252ToUtf8(t).c_str(),
                 Cp1252ToUtf8(body).c_str());
    std::fflush(stderr);
  }

  std::string InputBox(const std::string& prompt, const std::string& title) override {
    if (!::isatty(STDIN_FILENO)) return "";
    std::fprintf(stderr, "%s\n%s: ", Cp1252ToUtf8(title).c_str(), Cp1252ToUtf8(prompt).c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return "";
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    return Utf8ToCp1252(answer);
  }

 private:
  const bool stdoutJournal_ = IsJournal(stdout);
  const bool stderrJournal_ = IsJournal(stderr);
};
}  // namespace

Ui& ConsoleUi() {
  static ConsoleUiImpl ui;
  return ui;
}

}  // namespace tolven::platform
