// A temporary installation for running the real gateway: configuration folder
// with TOLVEN.INI, a SQLite database made by --init-db, terminal exchange folders.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/sqlite_connection.h"
#include "support/fake_env.h"
#include "support/process.h"

namespace tolven::testing {

inline const std::string kGateway = std::string(TOLVEN_BUILD_DIR) + "/tolvenpda";
inline const std::string kTseSim = std::string(TOLVEN_BUILD_DIR) + "/tse-sim";
inline const std::string kSetpriv = "/usr/bin/setpriv";
// The unprivileged user a service runs as (nobody).
inline constexpr unsigned kServiceUser = 65534;

// Hands a folder and everything in it to the service user.
inline void GiveToServiceUser(const std::string& path) {
  for (const auto& e : std::filesystem::recursive_directory_iterator(path)) {
    ASSERT_EQ(::lchown(e.path().c_str(), kServiceUser, kServiceUser), 0);
  }
  ASSERT_EQ(::chown(path.c_str(), kServiceUser, kServiceUser), 0);
}

// Like a terminal: the file is written under another name and renamed into
// place in `folder`; then the answer file is awaited, read and taken away
// ("" unless answerName is given; "(keine Antwort)" when none came).
inline std::string TerminalExchange(const std::string& folder, const std::string& name, const std::string& contents,
                                    const std::string& answerName = "", int timeoutMs = kEventWaitMs) {
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

// How often `part` occurs in `text`.
inline size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The ids of the first, third, fifth ... record of a table-data answer (the
// last ten characters of each; a line without one, such as an error, is
// skipped), joined by ":" as a partial payment lists them.
inline std::string EverySecondId(const std::string& tableData) {
  std::string ids;
  for (size_t at = 0, k = 0, end; (end = tableData.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const int64_t id = end - at < 10 ? 0 : std::atoll(tableData.substr(end - 10, 10).c_str());
    if (id > 0 && k++ % 2 == 0) ids += (ids.empty() ? "" : ":") + std::to_string(id);
  }
  return ids;
}

class Installation {
 public:
  explicit Installation(const std::string& moreIni = "") {
    for (const char* d : {"etc", "data", "pda1", "pda2", "out"}) std::filesystem::create_directories(dir / d);
    WriteIni("data", moreIni);
    env = {{"TOLVEN_WINDIR", dir / "etc"}};
  }
  // TOLVEN.INI for the SQLite database in data/ and the installation folder `exe`.
  void WriteIni(const std::string& exe, const std::string& moreIni = "") {
    WriteAll(dir / "etc/TOLVEN.INI", "[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nDATENBANK=" + dir / "data" +
                                         "\r\nEXE=" + dir / exe + "\r\n[SETUP]\r\nKASSNR=2\r\n" + moreIni);
  }
  int InitDb() { return RunProgram(kGateway, {"--init-db"}, env, dir / "init.log"); }
  // The layout of an installed service: the programs in bin/, a folder the
  // service user cannot write (as /usr/bin), the installation folder
  // kasse/ apart from the database, TOLVEN.INI readable by its owner only.
  // When the test runs as root, Run and Start run the programs as the service user.
  void InstallAsService() {
    asUser = ::geteuid() == 0 && std::filesystem::exists(kSetpriv);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    std::filesystem::create_directories(dir / "bin");
    std::filesystem::create_directories(dir / "kasse");
    std::filesystem::copy_file(kGateway, gateway = dir / "bin/tolvenpda");
    std::filesystem::copy_file(kTseSim, tseSim = dir / "bin/tse-sim");
    WriteIni("kasse");
    ASSERT_EQ(::chmod((dir / "etc/TOLVEN.INI").c_str(), 0600), 0);
  }
  std::vector<std::string> Args(const std::string& program, const std::vector<std::string>& args) const {
    if (!asUser) return args;
    std::vector<std::string> all{"--reuid=" + std::to_string(kServiceUser), "--regid=" + std::to_string(kServiceUser),
                                 "--clear-groups", program};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  int Run(const std::string& program, const std::vector<std::string>& args, const std::string& log) {
    return RunProgram(asUser ? kSetpriv : program, Args(program, args), env, dir / log);
  }
  std::unique_ptr<ChildProcess> Start(const std::string& program, const std::vector<std::string>& args,
                                      const std::string& log) {
    return std::make_unique<ChildProcess>(asUser ? kSetpriv : program, Args(program, args), env, dir / log);
  }
  void Sql(const std::string& sql) {
    auto c = db::OpenSqlite(dir / "data/tolven.db", false);
    const Status done = c ? (*c)->Execute(sql) : c.status();
    ASSERT_TRUE(done) << sql << ": " << done.message();
  }
  // The evening's articles (beer for the bar, printer 2; schnitzel for the
  // kitchen, printer 1), a topping, waiter 3 "Jürgen" and customer card 4711.
  void AddEveningData() {
    Sql("INSERT INTO artgrp (artgrp, kueprt) VALUES (1, 2), (2, 1)");
    Sql("INSERT INTO kueprtparam (drucker, name) VALUES (1, 'Küche'), (2, 'Theke')");
    Sql("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES "
        "('10', 'Weißbier 0,5', 1, 420, 0, 1), ('20', 'Schnitzel', 2, 1390, 1, 2)");
    Sql("INSERT INTO belaege (belnr, belbez, preis1) VALUES (5, 'Pommes', 150)");
    Sql("INSERT INTO kassi (kanr, name, schluesselnr) VALUES (3, 'Jürgen', '1')");
    Sql("INSERT INTO kunden (kdnr, cardno, \"limit\", name) VALUES (100, '4711', 50000, 'Muster')");
  }
  std::string Scalar(const std::string& sql) {
    auto c = db::OpenSqlite(dir / "data/tolven.db", false);
    if (!c) return "";
    auto rs = (*c)->Query(sql);
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
  std::string gateway = kGateway, tseSim = kTseSim;
  bool asUser = false;
};

}  // namespace tolven::testing
