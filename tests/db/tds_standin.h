// The stand-in SQL Server (tests/tds_server.py) as a test fixture: started on
// a free port of 127.0.0.1, it logs what the FreeTDS driver sends (log-in
// record with the decoded password, batches) and answers from a script.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <sstream>
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
    std::istringstream log(ReadAll(dir_ / "log"));
    for (std::string line; std::getline(log, line);) {
      auto fields = ParseLine(line);
      if (fields["event"] == event) out.push_back(std::move(fields));
    }
    return out;
  }

 private:
  // One flat JSON object of strings and numbers, as the script writes it:
  // UTF-8 as it is, only control characters escaped.
  static std::map<std::string, std::string> ParseLine(const std::string& line) {
    std::map<std::string, std::string> fields;
    size_t i = 0;
    auto text = [&]() {
      std::string s;
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
          c = line[++i];
          if (c == 'u') {
            c = static_cast<char>(std::stoi(line.substr(i + 1, 4), nullptr, 16));
            i += 4;
          } else if (c == 'n' || c == 't' || c == 'r') {
            c = c == 'n' ? '\n' : c == 't' ? '\t' : '\r';
          }
        }
        s += c;
      }
      ++i;
      return s;
    };
    while ((i = line.find('"', i)) != std::string::npos) {
      const std::string key = text();
      i = line.find_first_not_of(": ", i);
      if (i == std::string::npos) break;
      if (line[i] == '"') {
        fields[key] = text();
      } else {
        const size_t end = line.find_first_of(",}", i);
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
