#include "startup/check.h"

#include <algorithm>

#include "common/text.h"
#include "db/station_context.h"
#include "db/station_lock.h"
#include "db/transaction.h"
#include "fiscal/tse.h"
#include "platform/device_names.h"
#include "platform/instance_lock.h"
#include "platform/system_service.h"
#include "platform/system_text.h"
#include "startup/installation.h"

namespace tolven {

namespace {

class Report {
 public:
  explicit Report(platform::Ui& ui) : ui_(ui) {}
  void Ok(const std::string& item, const std::string& detail = "") {
    ui_.LogLine("OK      " + item + (detail.empty() ? "" : ": " + detail));
  }
  void Problem(const std::string& item, const std::string& problem) {
    ui_.LogLine("FEHLER  " + item + ": " + problem);
    failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  platform::Ui& ui_;
  bool failed_ = false;
};

// Exists and can be written; never made. A folder the gateway makes at its
// start (log, archives) may be missing when the folder it goes into is writable.
void CheckFolder(platform::Env& env, Report& report, const std::string& item, const std::string& path,
                 bool madeAtStart = false) {
  if (!env.FolderExists(path)) {
    std::string parent = path;
    while (madeAtStart && !parent.empty() && !env.FolderExists(parent)) {
      size_t sep = parent.find_last_of(platform::kPathSeps);
      parent = sep == std::string::npos ? "" : sep == 0 ? platform::kPathSepText : parent.substr(0, sep);
    }
    if (!madeAtStart || parent.empty()) return report.Problem(item, "Ordner " + path + " existiert nicht");
    Status st = env.CheckWritable(parent);
    if (!st) {
      return report.Problem(
          item, "Ordner " + path + " existiert nicht und kann nicht angelegt werden (" + st.message() + ")");
    }
    return report.Ok(item, path + " (wird beim Start angelegt)");
  }
  Status st = env.CheckWritable(path);
  if (!st) return report.Problem(item, "Ordner " + path + " kann nicht beschrieben werden (" + st.message() + ")");
  report.Ok(item, path);
}

// A folder the installed unit may not write: the gateway would end with
// status 9 under systemd although it passes here as another process.
bool OutsideTheUnit(const std::vector<std::string>& writable, const std::string& path) {
  if (writable.empty()) return false;
  const std::string folder = platform::WithTrailingSep(path);
  for (const std::string& w : writable) {
    if (StartsWith(folder, platform::WithTrailingSep(w))) return false;
  }
  return true;
}

void CheckDevice(platform::Env& env, Report& report, const std::string& item, const std::string& device) {
  Status st = env.CheckWritable(device);
  if (!st) return report.Problem(item, "Gerät " + device + ": " + st.message());
  report.Ok(item, device);
}

// The spooler is asked once, and only when a channel needs it.
class Spooler {
 public:
  explicit Spooler(platform::PrinterSystem& system) : system_(system) {}
  bool Knows(const std::string& name) {
    if (!asked_) printers_ = system_.InstalledPrinters();
    asked_ = true;
    return std::find(printers_.begin(), printers_.end(), name) != printers_.end();
  }
  std::string DefaultPrinter() { return system_.DefaultPrinter(); }

 private:
  platform::PrinterSystem& system_;
  std::vector<std::string> printers_;
  bool asked_ = false;
};

void CheckChannel(platform::Env& env, const platform::IniFile& ini, Spooler& spooler, Report& report,
                  const PrinterChannel& c) {
  const std::string item = "Drucker " + c.what;
  const std::string channel = TrimBlanks(c.channel);
  const std::string upper = ToUpper(channel);
  auto spooled = [&](const std::string& name) {
    if (name.empty()) return report.Problem(item, "kein Druckername angegeben");
    if (!spooler.Knows(name)) {
      return report.Problem(item, "Drucker '" + name + "' ist im Drucksystem nicht eingerichtet");
    }
    report.Ok(item, "Drucker '" + name + "'");
  };
  if (channel.empty()) return spooled(TrimBlanks(c.printer));  // a terminal's printer
  if (upper.compare(0, 5, "FILE:") == 0) {
    std::string folder = FileChannelFolder(channel);
    if (folder.empty()) return report.Problem(item, "'" + channel + "' nennt keinen Ordner");
    return CheckFolder(env, report, item, folder);
  }
  if (upper.compare(0, 4, "NETZ") == 0 || upper.compare(0, 4, "WIN:") == 0) {
    std::string name = TrimBlanks(channel.substr(4));
    return spooled(name.empty() ? TrimBlanks(c.printer) : name);
  }
  if (upper == "WIN" || upper.compare(0, 4, "WIN ") == 0) {
    std::string name = spooler.DefaultPrinter();
    if (name.empty()) return report.Problem(item, "das Drucksystem hat keinen Standarddrucker");
    return report.Ok(item, "Standarddrucker '" + name + "'");
  }
  const int n = channel.size() >= 4 ? channel[3] - '0' : 0;
  if (upper.compare(0, 3, "COM") == 0 && n >= 1 && n <= 9) {
    return CheckDevice(env, report, item, platform::ComDevice(ini, n));
  }
  if (upper.compare(0, 3, "LPT") == 0 && n >= 1 && n <= 3) {
    return CheckDevice(env, report, item, platform::LptDevice(ini, n));
  }
  if (upper == "DISP") return report.Ok(item, "Drucker am Kundendisplay");
  report.Problem(item, "unbekannter Ausgabekanal '" + channel + "'");
}

// The start-up's probes inside a transaction that is rolled back.
void CheckProbes(db::Connection& connection, Report& report) {
  db::Transaction probe(connection);
  if (Status begun = probe.Begin(); !begun) return report.Problem("Datenbank-Probe", begun.message());
  auto rs = db::StationContext::OpenOn(connection, "SELECT COUNT(*) AS n FROM system");
  if (!rs || rs->Eof()) {
    report.Problem("Tabelle system", rs.status().message());
  } else if (db::GetFieldValue(*rs, "n").AsInt() != 1) {
    report.Problem("Tabelle system", "enthält " + db::GetFieldValue(*rs, "n").AsString() + " statt einer Zeile");
  } else {
    report.Ok("Tabelle system");
  }
  Status last;  // the last failure, for the report
  if (db::StationContext::ExecSQLOn(connection, "UPDATE system SET moddate = '31.12.2000'")) {
    report.Ok("Datumsformat", "D");
  } else if ((last = db::StationContext::ExecSQLOn(connection, "UPDATE system SET moddate = '12/31/2000'"))) {
    report.Ok("Datumsformat", "E");
  } else {
    report.Problem("Datumsformat", "Unbekanntes Datumsformat (" + last.message() + ")");
  }
  int trueValue = 0;
  for (int v : {1, -1}) {
    if (!(last = db::StationContext::ExecSQLOn(connection, "UPDATE system SET booltest = " + std::to_string(v))))
      continue;
    auto back = db::StationContext::OpenOn(connection, "SELECT booltest FROM system");
    if (!back) last = back.status();
    if (back && !back->Eof() && db::GetFieldValue(*back, "booltest").AsInt() == v) trueValue = v;
  }
  if (trueValue != 0) {
    report.Ok("Boolean-TRUE-Wert", std::to_string(trueValue));
  } else {
    report.Problem("Boolean-TRUE-Wert", "konnte nicht ermittelt werden (" + last.message() + ")");
  }
}

// Kitchen printers 1 to 4 that have a channel need their row in kueprtparam.
void CheckKitchenSettings(db::Connection& connection, const std::vector<PrinterChannel>& channels, Report& report) {
  for (int n = 1; n <= 4; ++n) {
    const std::string column = ".kuebonport" + std::to_string(n);
    bool used = false;
    for (const PrinterChannel& c : channels) {
      if (EndsWith(c.what, column) && !TrimBlanks(c.channel).empty()) used = true;
    }
    if (!used) continue;
    const std::string item = "Küchendrucker " + std::to_string(n) + " (kueprtparam)";
    auto rs = db::StationContext::OpenOn(connection,
                                         "SELECT COUNT(*) AS n FROM kueprtparam WHERE drucker = " + std::to_string(n));
    if (!rs || rs->Eof()) {
      report.Problem(item, rs.status().message());
    } else if (db::GetFieldValue(*rs, "n").AsInt() == 0) {
      report.Problem(item, "Keine Einstellungen für Drucker " + std::to_string(n) + " gefunden.");
    } else {
      report.Ok(item);
    }
  }
}

void CheckTseTables(db::Connection& connection, Report& report) {
  for (const char* table : {"tse_server_req", "tse_server_ans"}) {
    auto rs = db::StationContext::OpenOn(connection, std::string("SELECT COUNT(*) AS n FROM ") + table);
    if (!rs || rs->Eof()) {
      report.Problem(std::string("TSE-Server-Tabelle ") + table, rs.status().message());
    } else {
      report.Ok(std::string("TSE-Server-Tabelle ") + table, db::GetFieldValue(*rs, "n").AsString() + " Zeilen");
    }
  }
  // The TSE that signed last, over receipts and orders: the stand-in's
  // signatures look like real ones and are worth nothing.
  std::string serial;
  int64_t latest = -1;
  for (const char* table : {"kass", "tse_bestellungen"}) {
    const std::string signedRows = std::string(" FROM ") + table + " WHERE tse_sernr IS NOT NULL AND tse_sernr <> ''";
    auto rs = db::StationContext::OpenOn(connection, "SELECT tse_sernr, tse_stop" + signedRows +
                                                         " AND tse_stop = (SELECT MAX(tse_stop)" + signedRows + ")");
    if (!rs) return report.Problem("TSE-Seriennummer", rs.status().message());
    if (rs->Eof() || db::GetFieldValue(*rs, "tse_stop").AsInt() <= latest) continue;
    latest = db::GetFieldValue(*rs, "tse_stop").AsInt();
    serial = db::GetFieldValue(*rs, "tse_sernr").AsString();
  }
  if (serial.empty()) return report.Ok("TSE-Seriennummer", "noch keine Signatur");
  if (fiscal::IsSimulatorSerial(serial)) {
    return report.Problem("TSE-Seriennummer", serial +
                                                  ": die letzte Signatur kam vom TSE-Simulator (tse-sim), "
                                                  "damit signierte Belege sind steuerlich nicht gültig");
  }
  report.Ok("TSE-Seriennummer", serial);
}

// Station number and register id are tried as the start takes them, held
// only while the check runs. A held station number is this installation's running gateway
// (a copy elsewhere could not have started beside it); a register id held
// while the station number is free belongs to another station.
void CheckStationIdentity(db::Connection& connection, const StartupState& state, const platform::IniFile& ini,
                          Report& report) {
  const std::string id = RegisterId(ini, state.kasse);
  const std::string item = "Kasse " + std::to_string(state.kasse) + ", Kassen-ID '" + id + "'";
  db::StationLock lock;
  if (Status st = lock.Acquire(connection, Startup::SqliteFile(state), state.kasse); !st) {
    if (lock.busy()) return report.Ok(item, "vom laufenden Gateway angemeldet");
    return report.Problem(item, "Sperre nicht möglich (" + st.message() + ")");
  }
  if (Status st = lock.AcquireRegister(connection, Startup::SqliteFile(state), id); !st) {
    if (!lock.busy()) return report.Problem(item, "Sperre nicht möglich (" + st.message() + ")");
    return report.Problem(item,
                          "ein Gateway einer anderen Kasse arbeitet bereits mit dieser Kassen-ID; jede Kasse "
                          "braucht ihre eigene KASSENID im Abschnitt TSE");
  }
  report.Ok(item);
}

}  // namespace

int CheckInstallation(Startup& start, platform::Env& env, platform::Ui& ui, platform::PrinterSystem& spooler) {
  Report report(ui);
  start.SetReadOnly();
  const std::string iniPath = start.ini().PathOf(kIniFile);
  std::string encoding;
  if (!env.FileExists(iniPath)) {
    report.Problem("Konfiguration", iniPath + " existiert nicht");
  } else if (Status readable = start.ini().Encoding(kIniFile, &encoding); !readable) {
    report.Problem("Konfiguration", readable.message());
    return kExitCheckFailed;
  } else {
    report.Ok("Konfiguration", iniPath + " (" + encoding + ")");
  }
  StartupState state;
  if (int rc = start.ReadConfiguration(state, false); rc != kExitOk) {
    report.Problem("Konfiguration", "nicht lesbar");
    return kExitCheckFailed;
  }
  // The coded password is no encryption: only the service user may read it.
  const platform::IniFile& ini = start.ini();
  if (!ReadSetting(ini, IniKey::Pwdc).empty() || !ReadSetting(ini, IniKey::Pwd).empty()) {
    Status st = env.CheckNotWorldReadable(iniPath);
    if (st) {
      report.Ok("Passwortschutz", iniPath);
    } else {
      report.Problem("Passwortschutz", st.message() + "; " + platform::SecretFileAdvice(iniPath));
    }
  }
  // The lock file of the single instance lives in the configuration folder.
  const std::string lockFile = start.ini().PathOf(kLockFile);
  Status lockSt = env.CheckWritable(env.FileExists(lockFile) ? lockFile : start.ini().folder());
  if (lockSt) {
    report.Ok("Sperrdatei", lockFile);
  } else if (!platform::InstanceLockNeedsFile()) {
    // The gateway runs all the same; the file is written where it can be.
    report.Ok("Sperrdatei", lockFile + " nicht beschreibbar, die Sperre des Systems genügt");
  } else {
    report.Problem("Sperrdatei", lockFile + " kann nicht angelegt werden (" + lockSt.message() + ")");
  }

  for (const Folder& f : InstallationFolders(state)) CheckFolder(env, report, f.what, f.path, true);

  std::unique_ptr<db::Connection> connection;
  if (state.engine == "SQLITE" && !env.FileExists(Startup::SqliteFile(state))) {
    report.Problem("Datenbank", Startup::SqliteFile(state) + " existiert nicht");
  } else {
    bool writable = true;
    if (state.engine == "SQLITE") {
      Status st = env.CheckWritable(Startup::SqliteFile(state));
      if (st) st = env.CheckWritable(state.datenbankPfad);
      writable = st.ok();
      if (!st) report.Problem("Datenbank", "kann nicht beschrieben werden (" + st.message() + ")");
    }
    auto opened = start.OpenDatabase(state, false);
    if (opened) connection = std::move(*opened);
    if (!connection) {
      const std::string& why = opened.status().message();
      report.Problem("Datenbank", why.empty() ? "kann nicht geöffnet werden" : why);
    } else if (writable) {
      report.Ok("Datenbank", state.engine);
    }
  }
  if (connection) {
    CheckProbes(*connection, report);
    CheckStationIdentity(*connection, state, start.ini(), report);
    const std::vector<std::string> writable = platform::ServiceWritableFolders(platform::ServiceUnitFolders());
    std::string allowed;
    for (const std::string& w : writable) allowed += (allowed.empty() ? "" : " ") + w;
    for (const Folder& f : ExchangeFolders(*connection)) {
      if (OutsideTheUnit(writable, f.path)) {
        report.Problem(f.what, "Ordner " + f.path + " liegt nicht unter ReadWritePaths= der Unit tolvenpda.service (" +
                                   allowed + "): dort eintragen (systemctl edit tolvenpda)");
      } else {
        CheckFolder(env, report, f.what, f.path);
      }
    }
    Spooler printers(spooler);
    const std::vector<PrinterChannel> channels = PrinterChannels(*connection, state);
    for (const PrinterChannel& c : channels) CheckChannel(env, start.ini(), printers, report, c);
    CheckKitchenSettings(*connection, channels, report);
    CheckTseTables(*connection, report);
    connection->Close();
  }
  return report.failed() ? kExitCheckFailed : kExitOk;
}

}  // namespace tolven
