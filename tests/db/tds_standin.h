// The stand-in SQL Server (tests/tds_server.py) as a test fixture: started on
// a free port of 127.0.0.1, it logs what the FreeTDS driver sends (log-in
// record with the decoded password, batches) and answers from a script.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/odbc_connection.h"
#include "support/fake_env.h"
#include "support/process.h"

namespace tolven::testing {

class TdsStandin {
 public:
  // mode: "normal", "silent", "login-failed", "no-database"; script: rules
  // "regular expression<TAB>answer" (see the script's head).
  explicit TdsStandin(const std::string& mode = "normal", const std::vector<std::string>& script = {}) {
    std::string rules;
    for (const std::string& line : script) rules += line + "\n";
    WriteAll(dir_ / "script", rules);
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/python3",
        std::vector<std::string>{TOLVEN_SOURCE_DIR "/tests/tds_server.py", "--port-file", dir_ / "port", "--log",
                                 dir_ / "log", "--script", dir_ / "script", "--mode", mode},
        std::map<std::string, std::string>{}, dir_ / "output");
    struct stat st {};
    WaitFor([&] { return ::stat((dir_ / "port").c_str(), &st) == 0; }, 10000);
    port_ = ReadAll(dir_ / "port");
  }

  bool started() const { return !port_.empty(); }
  // "127.0.0.1,port", as SERVER in TOLVEN.INI.
  std::string server() const { return "127.0.0.1," + port_; }

  db::OdbcTarget Target(const std::string& user = "kasse", const std::string& password = "geheim") const {
    db::OdbcTarget t;
    t.engine = db::OdbcEngine::SqlServer;
    t.server = server();
    t.user = user;
    t.password = password;
    t.database = "tolven";
    return t;
  }

  // The logged events of one kind, each as its fields (texts of the JSON line).
  std::vector<std::map<std::string, std::string>> Events(const std::string& event) const {
    std::vector<std::map<std::string, std::string>> out;
    const std::string log = ReadAll(dir_ / "log");
    size_t pos = 0;
    while (pos < log.size()) {
      size_t end = log.find('\n', pos);
      if (end == std::string::npos) end = log.size();
      auto fields = ParseLine(log.substr(pos, end - pos));
      if (fields["event"] == event) out.push_back(std::move(fields));
      pos = end + 1;
    }
    return out;
  }

 private:
  // One flat JSON object of strings and numbers, as the script writes it (UTF-8 kept).
  static std::map<std::string, std::string> ParseLine(const std::string& line) {
    std::map<std::string, std::string> fields;
    size_t i = 0;
    auto text = [&]() {
      std::string s;
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
          s += line[i];
          continue;
        }
        const char c = line[++i];
        if (c == 'u' && i + 4 < line.size()) {
          const unsigned code = static_cast<unsigned>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
          i += 4;
          if (code < 0x80) {
            s += static_cast<char>(code);
          } else if (code < 0x800) {
            s += static_cast<char>(0xC0 | (code >> 6));
            s += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            s += static_cast<char>(0xE0 | (code >> 12));
            s += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (code & 0x3F));
          }
        } else {
          s += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        }
      }
      ++i;
      return s;
    };
    while (i < line.size()) {
      if (line[i] != '"') {
        ++i;
        continue;
      }
      std::string key = text();
      while (i < line.size() && (line[i] == ':' || line[i] == ' ')) ++i;
      if (i < line.size() && line[i] == '"') {
        fields[key] = text();
      } else {
        size_t end = line.find_first_of(",}", i);
        fields[key] = line.substr(i, end - i);
        i = end;
      }
    }
    return fields;
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  std::string port_;
};

}  // namespace tolven::testing
