#include "installation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench_util.h"
#include "db/sqlite_connection.h"

namespace tolven::bench {

namespace fs = std::filesystem;

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

namespace {

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
}

// Ten articles: drinks go to the bar printer, dishes (with toppings priced by
// column 1) to the kitchen printer.
const char* const kMenu[][4] = {
    {"10", "Pils 0,3", "1", "330"},           {"11", "Weizen 0,5", "1", "420"},
    {"12", "Apfelschorle 0,4", "1", "310"},   {"13", "Wasser 0,75", "1", "450"},
    {"14", "Espresso", "1", "220"},           {"20", "Schnitzel Wiener Art", "2", "1390"},
    {"21", "Pizza Margherita", "2", "890"},   {"22", "Salat der Saison", "2", "790"},
    {"23", "Rinderhüfte 250 g", "2", "2450"}, {"24", "Apfelstrudel", "2", "590"},
};

}  // namespace

std::string OrderFile(int table, int waiter, int lines, const std::string& tag, int serialLines) {
  std::string text = "A;" + std::to_string(table) + ";" + std::to_string(waiter) + "\r\n";
  for (int i = 0; i < lines; ++i) {
    if (i < serialLines) {
      text += "D;3" + std::to_string(i % 3) + ";1;" + tag + ";\r\n";
      continue;
    }
    const auto& article = kMenu[i % 10];
    const bool dish = article[2][0] == '2';
    // Every third dish with toppings, like a real evening.
    const std::string toppings = dish && i % 3 == 0 ? "1x5+2x7" : "";
    text += "D;" + std::string(article[0]) + ";" + std::to_string(1 + i % 3) + ";" + tag + ";" + toppings + "\r\n";
  }
  return text + "E;;\r\n";
}

bool DropFile(const std::string& folder, const std::string& name, const std::string& contents) {
  const std::string temp = folder + name + ".tmp";
  if (!WriteWholeFile(temp, contents)) return false;
  return ::rename(temp.c_str(), (folder + name).c_str()) == 0;
}

Installation::Installation(InstallationOptions options) : options_(std::move(options)) {}

Installation::~Installation() {
  StopAll();
  if (!options_.keep && !root_.empty()) {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
}

std::string Installation::Terminal(int slot) const { return root_ + "/pda" + std::to_string(slot) + "/"; }

bool Installation::Sql(db::Connection& c, const std::string& sql, std::string& error) {
  const Status done = c.Execute(sql);
  if (done) return true;
  error = sql + ": " + done.message();
  return false;
}

std::unique_ptr<db::Connection> Installation::Connect(std::string& error) {
  auto c = db::OpenSqlite(dbPath(), false);
  if (!c) error = c.status().message();
  return std::move(c).value_or(nullptr);
}

std::string Installation::Scalar(const std::string& sql) {
  std::string error;
  auto c = Connect(error);
  if (!c) return "";
  auto rs = c->Query(sql);
  return rs && !rs->Eof() ? rs->Raw(0).AsString() : "";
}

bool Installation::Create(std::string& error) {
  std::string tmpl = options_.parentDir + "/tolven-bench-XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    error = "mkdtemp in " + options_.parentDir + " failed";
    return false;
  }
  root_ = tmpl;
  for (const char* d : {"etc", "data", "out"}) fs::create_directories(root_ + "/" + d);
  for (int s = 1; s <= 5; ++s) fs::create_directories(Terminal(s));
  const std::string ini = "[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nDATENBANK=" + root_ + "/data\r\nEXE=" + root_ +
                          "/data\r\n[SETUP]\r\nKASSNR=1\r\n" +
                          (thirdPort_.empty() ? "" : "[PORTS]\r\n" + thirdPort_ + "=" + thirdDevice_ + "\r\n");
  if (!WriteWholeFile(root_ + "/etc/TOLVEN.INI", ini)) {
    error = "TOLVEN.INI cannot be written";
    return false;
  }
  {
    if (testing::RunProgram(options_.binDir + "/tolvenpda", {"--init-db"}, Env(), root_ + "/init.log") != 0) {
      error = "tolvenpda --init-db failed: " + ReadWholeFile(root_ + "/init.log");
      return false;
    }
  }
  auto c = Connect(error);
  if (!c) return false;
  std::string folders;
  for (int s = 1; s <= 5; ++s) {
    const std::string n = std::to_string(s);
    // Without a printer of its own a terminal's receipts go to the register's receipt printer.
    folders += (s > 1 ? ", " : "") + std::string("pfadppcsync") + n + " = '" +
               (s <= options_.slots ? Terminal(s) : "") + "', pdaprt" + n + " = 'kein'";
  }
  const std::string out = root_ + "/out/";
  std::vector<std::string> statements = {
      "UPDATE system SET " + folders + ", kuebonport1 = 'FILE:" + out + "kueche.txt', kuebonport2 = 'FILE:" + out +
          "theke.txt', bondruckport = 'FILE:" + out + "bon.txt', waehrung = 'EUR', bontyp = 0",
      "INSERT INTO kueprtparam (drucker, name, bonvorlauf, grupp, sort, split, kuesummer, kopien) VALUES "
      "(1, 'Küche', 0, 0, 1, 0, 0, 0), (2, 'Theke', 0, 0, 0, 0, 0, 0)",
      "INSERT INTO artgrp (artgrp, kueprt, artgrp2, grpbez) VALUES (1, 2, 1, 'Getränke'), (2, 1, 2, 'Küche')",
      "INSERT INTO belaege (belnr, belbez, preis1, preis2, preis3) VALUES (5, 'Pommes', 150, 100, 0), "
      "(7, 'Oliven', 80, 60, 0)",
      "INSERT INTO kassi (kanr, name, schluesselnr) VALUES (3, 'Jürgen', '1234')",
  };
  for (const auto& a : kMenu) {
    statements.push_back("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES ('" +
                         std::string(a[0]) + "', '" + a[1] + "', " + a[2] + ", " + a[3] + ", " +
                         (a[2][0] == '2' ? "1" : "0") + ", " + a[2] + ")");
  }
  if (!thirdPort_.empty()) {
    statements.insert(statements.end(),
                      {"UPDATE system SET kuebonport3 = '" + thirdPort_ + "'",
                       "INSERT INTO kueprtparam (drucker, name, bonvorlauf, grupp, sort, split, kuesummer, kopien) "
                       "VALUES (3, 'Pizza', 0, 2, 0, 0, 0, 0)",
                       "INSERT INTO artgrp (artgrp, kueprt, artgrp2, grpbez) VALUES (3, 3, 3, 'Pizzaofen')",
                       "INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES "
                       "('30', 'Pizza Diavolo', 3, 990, 0, 2), ('31', 'Pizza Funghi', 3, 940, 0, 2), "
                       "('32', 'Pizza Tonno', 3, 960, 0, 2)"});
  }
  for (const auto& sql : statements) {
    if (!Sql(*c, sql, error)) return false;
  }
  return true;
}

bool Installation::StartTseServer(const std::vector<std::string>& args) {
  if (tseServer_) tseServer_->Stop(5000);
  const std::string log = root_ + "/tse-sim" + (tseStarts_++ ? "-" + std::to_string(tseStarts_) : "") + ".log";
  tseServer_ = std::make_unique<testing::ChildProcess>(options_.binDir + "/tse-sim", args, Env(), log);
  const double until = NowMs() + 10000;
  while (NowMs() < until) {
    if (ReadWholeFile(log).find("bereit") != std::string::npos) return true;
    if (tseServer_->Wait(0) != -1) return false;
    SleepMs(10);
  }
  return false;
}

bool Installation::StartGateway(std::string& error, bool waitForLoop) {
  gateway_ = std::make_unique<testing::ChildProcess>(options_.binDir + "/tolvenpda", std::vector<std::string>{}, Env(),
                                                     gatewayLogPath());
  if (!waitForLoop) return true;
  const double until = NowMs() + 15000;
  while (NowMs() < until) {
    if (ReadWholeFile(gatewayLogPath()).find("Warte auf Anfragen") != std::string::npos) return true;
    if (gateway_->Wait(0) != -1) break;
    SleepMs(10);
  }
  error = "the gateway did not start: " + ReadWholeFile(gatewayLogPath());
  return false;
}

void Installation::StopGateway() {
  if (gateway_) gateway_->Stop(5000);
}

void Installation::StopAll() {
  StopGateway();
  if (tseServer_) tseServer_->Stop(5000);
}

std::vector<std::string> Installation::GatewayErrors() const {
  std::vector<std::string> errors;
  std::istringstream in(ReadWholeFile(gatewayLogPath()));
  std::string line;
  while (std::getline(in, line)) {
    // "HH:MM:SS  text"
    if (line.size() > 10 && line.compare(10, 6, "FEHLER") == 0) errors.push_back(line);
  }
  return errors;
}

int Installation::CountInTseLog(const std::string& needle) const {
  int count = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root_ + "/data/LOG", ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind("TSE_VS_", 0) != 0) continue;
    const std::string text = ReadWholeFile(it->path().string());
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) {
      ++count;
    }
  }
  return count;
}

bool Installation::WaitForSignatures(int count, double timeoutMs) const {
  const double until = NowMs() + timeoutMs;
  while (CountInTseLog(" - Signatur=") < count) {
    if (NowMs() > until) return false;
    SleepMs(20);
  }
  return true;
}

}  // namespace tolven::bench
