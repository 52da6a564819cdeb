// A temporary installation for running the real gateway: configuration folder
// with TOLVEN.INI, a SQLite database made by --init-db, terminal exchange folders.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "db/sqlite_connection.h"
#include "support/fake_env.h"
#include "support/process.h"

namespace tolven::testing {

inline const std::string kGateway = std::string(TOLVEN_BUILD_DIR) + "/tolvenpda";
inline const std::string kTseSim = std::string(TOLVEN_BUILD_DIR) + "/tse-sim";

// Like a terminal: the file is written under another name and renamed into
// place in `folder`; then the answer file is awaited, read and taken away
// ("" unless answerName is given; "(keine Antwort)" when none came).
inline std::string TerminalExchange(const std::string& folder, const std::string& name, const std::string& contents,
                                    const std::string& answerName = "", int timeoutMs = 60000) {
  const std::string answer = folder + "/" + answerName;
  if (!answerName.empty()) std::filesystem::remove(answer);
  WriteAll(folder + "/" + name + ".tmp", contents);
  std::filesystem::rename(folder + "/" + name + ".tmp", folder + "/" + name);
  if (answerName.empty()) return "";
  if (!WaitFor([&] { return std::filesystem::exists(answer); }, timeoutMs)) return "(keine Antwort)";
  std::string text = ReadAll(answer);
  std::filesystem::remove(answer);
  return text;
}

class Installation {
 public:
  explicit Installation(const std::string& moreIni = "") {
    for (const char* d : {"etc", "data", "pda1", "pda2", "out"}) std::filesystem::create_directories(dir / d);
    WriteAll(dir / "etc/TOLVEN.INI", "[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nDATENBANK=" + dir / "data" +
                                         "\r\nEXE=" + dir / "data" + "\r\n[SETUP]\r\nKASSNR=2\r\n" + moreIni);
    env = {{"TOLVEN_WINDIR", dir / "etc"}};
  }
  int InitDb() { return RunProgram(kGateway, {"--init-db"}, env, dir / "init.log"); }
  void Sql(const std::string& sql) {
    db::DbError err;
    auto c = db::OpenSqlite(dir / "data/tolven.db", false, err);
    ASSERT_TRUE(c) << err.text;
    ASSERT_TRUE(c->Execute(sql, err)) << sql << ": " << err.text;
  }
  std::string Scalar(const std::string& sql) {
    db::DbError err;
    auto c = db::OpenSqlite(dir / "data/tolven.db", false, err);
    auto rs = c ? c->Query(sql, err) : nullptr;
    return rs && !rs->Eof() ? rs->Raw(0).AsString() : "";
  }
  std::string Drop(const std::string& folder, const std::string& name, const std::string& contents,
                   const std::string& answerName = "") {
    return TerminalExchange(dir / folder, name, contents, answerName);
  }
  std::string Ask(const std::string& folder, const std::string& request) {
    return Drop(folder, "info.txt", request + "\r\n", "info.kas");
  }

  TempDir dir;
  std::map<std::string, std::string> env;
};

}  // namespace tolven::testing
