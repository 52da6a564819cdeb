#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "common/cp1252.h"
#include "common/text.h"
#include "platform/ui.h"

namespace tolven::platform {

const char* MsgKindName(MsgKind kind) {
  switch (kind) {
    case MsgKind::Information: return "Information";
    case MsgKind::Critical: return "Kritisch";
    case MsgKind::Exclamation: return "Warnung";
    case MsgKind::Question: return "Frage";
  }
  return "";
}

namespace {
class ConsoleUiImpl final : public Ui {
 public:
  void Status(const std::string& text) override {
    std::fprintf(stdout, "[Start] %s\n", Cp1252ToUtf8(text).c_str());
    std::fflush(stdout);
  }

  void LogLine(const std::string& line) override {
    std::fprintf(stdout, "%s\n", Cp1252ToUtf8(line).c_str());
    std::fflush(stdout);
  }

  void MessageBox(const std::string& text, MsgKind kind, const std::string& title) override {
    std::string t = title.empty() ? kAppTitle : title;
    std::string body = ReplaceAll(ReplaceAll(text, "\r\n", "\n"), "\n", "\n    ");
    std::fprintf(stderr, "[%s] %s: %s\n", MsgKindName(kind), Cp1252ToUtf8(t).c_str(), Cp1252ToUtf8(body).c_str());
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
};
}  // namespace

Ui& ConsoleUi() {
  static ConsoleUiImpl ui;
  return ui;
}

}  // namespace tolven::platform
