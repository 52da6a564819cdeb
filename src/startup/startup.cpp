#include "startup/startup.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/cp1252.h"
#include "common/text.h"
#include "db/sqlite_connection.h"
#include "db/station_context.h"
#include "platform/system_service.h"
#include "startup/installation.h"
#include "startup/scramble.h"

namespace tolven {

using platform::kPathSepText;
using platform::MsgKind;

std::string ConfigFolderFromEnvironment() {
  const std::string dir = platform::EnvironmentText("TOLVEN_WINDIR");
  return Cp1252ToUtf8(dir.empty() ? platform::DefaultConfigFolder() : dir);
}

int Startup::DatabaseNotOpened(const Status& failure) {
  ui_.MessageBox(
      "Die Datenbank konnte nicht geöffnet werden. Das Programm wird daher beendet.\r\n\r\n"
      "Starten Sie das Programm neu, nachdem Sie den Fehler beseitigt haben. Nachfolgend finden Sie hierzu "
      "nähere Informationen.\r\n\r\nFehler-Beschreibung: " +
          failure.message() + "\r\n\r\nFehler-Nr.: " + std::to_string(failure.code()) +
          "\r\nFehler-Quelle: " + failure.source(),
      MsgKind::Critical);
  return kExitNoDatabase;
}

Startup::Startup(platform::Env& env, platform::Ui& ui, std::string configFolder)
    : env_(env), ui_(ui), ini_(env, std::move(configFolder)) {}

std::string Startup::ReadIni(IniKey key) { return ReadIni(key, SettingOf(key).defaultValue); }

std::string Startup::ReadIni(IniKey key, const std::string& defaultValue) {
  if (!SettingOf(key).writtenBack) return ReadTrimmedSetting(ini_, key, defaultValue);
  std::string value = ReadSetting(ini_, key, "");
  if (!value.empty()) return value;
  // The POS programs share the file and expect every key; --check writes nothing.
  if (writeBack_) NoteWriteBack(WriteSetting(ini_, key, defaultValue));
  return defaultValue;
}

void Startup::NoteWriteBack(const Status& st) {
  // The defaults hold without the entries, so a folder that this user may not
  // write (the Windows folder for anyone but an administrator) stops nothing;
  // it is said once, not for every key.
  if (st || writeBackRefused_) return;
  writeBackRefused_ = true;
  ui_.LogLine("Hinweis: " + std::string(kIniFile) +
              " kann nicht geschrieben werden, die Vorgaben gelten ohne Eintrag: " + st.message());
}

bool Startup::AcquireInstance() {
  lock_ = platform::MakeInstanceLock();
  Status st = lock_->Acquire(ini_.PathOf(kLockFile));
  if (st) return true;
  if (lock_->busy()) {
    ui_.MessageBox("Programm läuft bereits.", MsgKind::Information);
  } else {
    // No lock file (missing or read-only configuration folder) is no running
    // gateway; saying so would send the operator looking for the wrong thing.
    ui_.MessageBox("Die Sperrdatei '" + ini_.PathOf(kLockFile) +
                       "' kann nicht angelegt werden; das Programm wird beendet.\r\n\r\n" + st.message(),
                   MsgKind::Critical);
  }
  return false;
}

int Startup::ResolvePassword(const std::string& user, const std::string& pwd, const std::string& pwdc,
                             bool interactive) {
  if (!pwdc.empty()) {
    password_ = ScrambleText(HexDecode(pwdc));
    return kExitOk;
  }
  password_ = pwd;
  if (!interactive) return kExitOk;
  if (password_.empty()) {
    password_ = ui_.InputBox("Bitte geben Sie das Passwort für den Benutzer '" + user + "' ein", "DATENBANK-ZUGRIFF");
  }
  if (!password_.empty()) {
    passwordToCode_ = true;
    return kExitOk;
  }
  ui_.MessageBox("Ohne Passwort ist leider kein Zugang zum SQL-Server möglich.", MsgKind::Critical);
  return kExitNoPassword;
}

void Startup::CodeAcceptedPassword() {
  if (!passwordToCode_ || !writeBack_) return;
  passwordToCode_ = false;
  NoteWriteBack(WriteSetting(ini_, IniKey::Pwdc, HexEncode(ScrambleText(password_))));
  NoteWriteBack(WriteSetting(ini_, IniKey::Pwd, ""));
}

int Startup::ReadConfiguration(StartupState& state, bool askPassword) {
  ui_.Status("Lese INI...");
  // Read as garbage, a folder name would be wrong and a section behind a
  // byte-order mark missing, and with it the database: better not start.
  std::string encoding = "Windows-1252";  // also for a file still to be made
  if (Status readable = ini_.Encoding(kIniFile, &encoding); !readable) {
    ui_.MessageBox("Die Datei " + readable.message() + " Das Programm wird beendet.", MsgKind::Critical);
    return kExitBadConfiguration;
  }
  if (encoding != "Windows-1252" && askPassword) {
    ui_.LogLine("Hinweis: " + ini_.PathOf(kIniFile) + " ist als " + encoding +
                " gespeichert und wird umgewandelt gelesen; Einträge des Programms bleiben " + encoding + ".");
  }
  state.configFolder = ini_.folder();
  state.programFolder = env_.ProgramFolder();
  state.engine = ToUpper(ReadIni(IniKey::Engine));
  server_ = ReadIni(IniKey::Server);
  user_ = ReadIni(IniKey::User);
  std::string pwd = ReadIni(IniKey::Pwd);
  std::string pwdc = ReadIni(IniKey::Pwdc);
  // The embedded engine has no login, so there is no password to ask for.
  if (state.engine != "SQLITE") {
    int rc = ResolvePassword(user_, pwd, pwdc, askPassword);
    if (rc != kExitOk) return rc;
  }

  state.datenbankPfad = ReadIni(IniKey::Datenbank, state.programFolder);
  ReadIni(IniKey::Provider);
  ReadIni(IniKey::JetProvider);
  std::string exe = ReadIni(IniKey::Exe, state.programFolder + kPathSepText);
  std::string kassnr = ReadIni(IniKey::Kassnr);
  state.filiale = 1;
  int64_t station = LeadingWholeNumber(kassnr);
  if (station < 0) station = -station;
  // -2147483648 has no positive counterpart in 32 bits: no usable number, like "abc".
  state.kasse = station > INT32_MAX ? 0 : static_cast<int32_t>(station);
  state.exePfad = platform::WithTrailingSep(exe);
  char year[8];
  std::snprintf(year, sizeof year, "%04d", env_.Now().date.year);
  state.logPfad = state.exePfad + "LOG" + kPathSepText + year + kPathSepText;
  ui_.UseLogFolder(state.exePfad + "LOG");
  state.archivPfad = state.exePfad + "ARCHIV" + kPathSepText;
  state.archivDtaPfad = state.archivPfad + "DTA" + kPathSepText;
  state.archivBonPfad = state.archivPfad + "BON" + kPathSepText;
  state.reKopfDatei = state.programFolder + kPathSepText + "REKOPF.RTF";
  state.voucherDatei = state.programFolder + kPathSepText + "voucher.RTF";
  ReadIni(IniKey::Elpay);
  // Keys of the server engines that the POS programs do not know: read, never written back.
  const db::OdbcEngine odbcEngine = state.engine == "POSTGRESQL" ? db::OdbcEngine::Postgres : db::OdbcEngine::SqlServer;
  odbcDriver_ = ReadIni(IniKey::OdbcDriver, db::DefaultOdbcDriver(odbcEngine));
  tdsVersion_ = ReadIni(IniKey::TdsVersion);
  catalog_ = ReadIni(IniKey::Catalog);
  state.installationNr = LeadingWholeNumber(ReadIni(IniKey::InstallationNr));
  return kExitOk;
}

std::string Startup::SqliteFile(const StartupState& state) {
  std::string folder = state.datenbankPfad;
  folder = platform::WithTrailingSep(folder);
  return folder + kSqliteFileName;
}

int Startup::FolderProblem(const std::string& what, const std::string& path, const std::string& problem,
                           const Status& st) {
  // Under systemd a folder outside the unit's ReadWritePaths= is read-only for
  // the gateway however its permissions read.
  const std::string hint = platform::StartedByServiceManager() && problem != "existiert nicht"
                               ? "\r\n\r\nDas Gateway läuft als Dienst: steht der Ordner nicht unter "
                                 "ReadWritePaths= der Unit tolvenpda.service, tragen Sie ihn dort ein (systemctl "
                                 "edit tolvenpda) und starten Sie den Dienst neu."
                               : "";
  ui_.MessageBox("Der Ordner '" + path + "' (" + what + ") " + problem + "; das Programm wird beendet.\r\n\r\n" +
                     st.message() + hint,
                 MsgKind::Critical);
  return kExitFolderNotWritable;
}

int Startup::PrepareInstallationFolders(const StartupState& state) {
  // Log lines, TSE log lines and receipt archives must not be lost for want of
  // a folder; a new year gets its log folder at the first start in it.
  for (const Folder& f : InstallationFolders(state)) {
    Status st = env_.CreateFolder(f.path);
    if (!st) return FolderProblem(f.what, f.path, "kann nicht angelegt werden", st);
    st = env_.CheckWritable(f.path);
    if (!st) return FolderProblem(f.what, f.path, "kann nicht beschrieben werden", st);
  }
  return kExitOk;
}

int Startup::CheckExchangeFolders(db::Connection& connection) {
  // Made by the terminals' sync software (often a mounted share): a missing
  // one is reported, never created, or the gateway would poll an empty folder
  // in place of a share that failed to mount.
  for (const Folder& f : ExchangeFolders(connection)) {
    if (!env_.FolderExists(f.path)) {
      return FolderProblem(f.what, f.path, "existiert nicht",
                           Status::Error("Eingetragen in Tabelle system (pfadppcsync); ist das Laufwerk oder die "
                                         "Freigabe eingehängt?"));
    }
    Status st = env_.CheckWritable(f.path);
    if (!st) return FolderProblem(f.what, f.path, "kann nicht beschrieben werden", st);
  }
  return kExitOk;
}

Status Startup::TakeLock(const std::function<Status()>& take) {
  // `--check` holds the locks for a moment, and a server may need a moment to
  // notice that a killed run's session is gone: a busy lock is asked again
  // for a few seconds before the start gives up.
  Status st = take();
  for (int waited = 0; !st && stationLock_.busy() && waited < kLockRetryMs; waited += kLockRetryStepMs) {
    env_.SleepMs(kLockRetryStepMs);
    st = take();
  }
  return st;
}

int Startup::AcquireStationLock(const StartupState& state, db::Connection& connection) {
  Status st = TakeLock([&] { return stationLock_.Acquire(connection, SqliteFile(state), state.kasse); });
  if (st) return kExitOk;
  if (stationLock_.busy()) {
    ui_.MessageBox("Ein anderes Gateway arbeitet bereits als Kasse " + std::to_string(state.kasse) +
                       " mit dieser Datenbank; das Programm wird beendet.\r\n\r\nJede Kasse braucht ihre eigene "
                       "KASSNR im Abschnitt SETUP der Datei " +
                       ini_.PathOf(kIniFile) + ".",
                   MsgKind::Critical);
  } else {
    ui_.MessageBox("Die Sperre für Kasse " + std::to_string(state.kasse) +
                       " kann nicht gesetzt werden; das Programm wird beendet.\r\n\r\n" + st.message(),
                   MsgKind::Critical);
  }
  return kExitStationInUse;
}

int Startup::AcquireRegisterLock(const StartupState& state, db::Connection& connection) {
  // The register id names the station in every receipt's QR text: a second
  // station under the same id would sign receipts in this one's name.
  const std::string id = RegisterId(ini_, state.kasse);
  Status st = TakeLock([&] { return stationLock_.AcquireRegister(connection, SqliteFile(state), id); });
  if (st) return kExitOk;
  if (stationLock_.busy()) {
    ui_.MessageBox("Ein anderes Gateway arbeitet bereits mit der Kassen-ID '" + id +
                       "' an dieser Datenbank; das Programm wird beendet.\r\n\r\nJede Kasse braucht ihre eigene "
                       "KASSENID im Abschnitt TSE der Datei " +
                       ini_.PathOf(kIniFile) + " (ohne Eintrag gilt TOLVENPDA-<KASSNR>).",
                   MsgKind::Critical);
  } else {
    ui_.MessageBox("Die Sperre für die Kassen-ID '" + id +
                       "' kann nicht gesetzt werden; das Programm wird beendet."
                       "\r\n\r\n" +
                       st.message(),
                   MsgKind::Critical);
  }
  return kExitStationInUse;
}

void Startup::RemoveLeftovers(const StartupState& state, db::Connection& connection) {
  std::vector<std::string> folders{ini_.folder()};
  for (const Folder& f : InstallationFolders(state)) folders.push_back(f.path);
  for (const Folder& f : ExchangeFolders(connection)) folders.push_back(f.path);
  for (const PrinterChannel& c : PrinterChannels(connection, state)) {
    if (std::string folder = FileChannelFolder(c.channel); !folder.empty()) folders.push_back(folder);
  }
  folders.push_back(state.exePfad);  // display and dispenser files
  for (const std::string& path : RemoveLeftoverTempFiles(env_, folders, TempMarkOf(state.kasse))) {
    ui_.Status("Übrig gebliebene temporäre Datei entfernt: " + path);
  }
}

Result<std::unique_ptr<db::Connection>> Startup::OpenDatabase(const StartupState& state, bool create) {
  if (state.engine == "SQLITE") return db::OpenSqlite(SqliteFile(state), create);
  if (!db::DialectByName(state.engine) || !db::IsPlainDatabaseName(catalog_)) {
    return Status::EngineError("Das Datenbank-System '" + state.engine + "' oder der Datenbankname '" + catalog_ +
                                   "' ist ungültig (ENGINE: SQLITE, MSSQL, POSTGRESQL; CATALOG: Buchstaben, "
                                   "Ziffern, '_').",
                               -1, "", ErrorKind::Other, "tolvenpda");
  }
  auto opened = db::OpenOdbc(ServerTarget(state, catalog_, true), 10);
  if (opened) (*opened)->SetCommandTimeout(30);
  return opened;
}

int Startup::OpenConnection(StartupState& state, std::unique_ptr<db::Connection>& connection) {
  if (state.engine != "SQLITE") return OpenServerConnection(state, connection);
  ui_.Status("Verbindung zum Datenbank-Server wird aufgebaut...");
  {
    const std::string path = SqliteFile(state);
    if (!env_.FileExists(path)) {
      ui_.MessageBox("Die Datenbank-Datei '" + path + "' wurde nicht gefunden.\r\n\r\n" +
                         "Legen Sie sie mit 'tolvenpda --init-db' an und starten Sie das Programm erneut.",
                     MsgKind::Critical);
      return kExitNoDatabase;
    }
    // The engine opens a file it cannot write for reading only, and the first
    // probe would then fail as an unknown date format. The folder takes the
    // engine's journal beside the file.
    Status st = env_.CheckWritable(path);
    if (st) st = env_.CheckWritable(state.datenbankPfad);
    if (!st) {
      ui_.MessageBox("Die Datenbank-Datei '" + path +
                         "' kann nicht beschrieben werden; das Programm wird beendet."
                         "\r\n\r\nDas Gateway braucht Schreibrecht auf die Datei und ihren Ordner.\r\n" +
                         st.message(),
                     MsgKind::Critical);
      return kExitDatabaseReadOnly;
    }
  }
  auto opened = OpenDatabase(state, false);
  if (!opened) return DatabaseNotOpened(opened.status());
  connection = std::move(*opened);
  connection->SetCommandTimeout(10);
  // The embedded engine has no server that could miss the database; the
  // missing file was reported above.
  connection->SetCommandTimeout(30);
  return kExitOk;
}

bool Startup::ProbeDateFormat(StartupState& state, db::Connection& connection) {
  ui_.Status("Prüfe Datenbank-Datumsformat...");
  if (db::StationContext::ExecSQLOn(connection, "UPDATE system SET moddate = '31.12.2000'")) {
    state.datumFormat = "D";
    return true;
  }
  state.datumFormat = "E";
  if (!db::StationContext::ExecSQLOn(connection, "UPDATE system SET moddate = '12/31/2000'")) {
    ui_.MessageBox("Unbekanntes Datumsformat !", MsgKind::Critical);
  }
  return true;
}

bool Startup::ProbeBoolean(StartupState& state, db::Connection& connection) {
  auto readBack = [&]() -> int64_t {
    auto rs = db::StationContext::OpenOn(connection, "SELECT booltest FROM system");
    return rs && !rs->Eof() ? db::GetFieldValue(*rs, "booltest").AsInt64() : 0;
  };
  if (Status set = db::StationContext::ExecSQLOn(connection, "UPDATE system SET booltest = 0"); !set) {
    ui_.MessageBox("BoolTest-Fehler (1): " + set.message(), MsgKind::Critical);
  }
  state.boolTrueWert = 0;
  if (Status set = db::StationContext::ExecSQLOn(connection, "UPDATE system SET booltest = 1"); set) {
    if (readBack() == 1) state.boolTrueWert = 1;
  } else {
    ui_.MessageBox("BoolTest-Fehler (2): " + set.message(), MsgKind::Critical);
  }
  if (Status set = db::StationContext::ExecSQLOn(connection, "UPDATE system SET booltest = -1"); set) {
    if (readBack() == -1) state.boolTrueWert = -1;
  } else {
    ui_.MessageBox("BoolTest-Fehler (3): " + set.message(), MsgKind::Critical);
  }
  if (state.boolTrueWert == 0) {
    ui_.MessageBox("Boolean-TRUE-Wert konnte nicht ermittelt werden.", MsgKind::Critical);
    connection.Close();
    return false;
  }
  return true;
}

void Startup::ReadSystemValues(StartupState& state, db::Connection& connection) {
  auto rs = db::StationContext::OpenOn(connection, "SELECT mwst1, mwst2, sprache FROM system");
  state.mwst[0] = Rate{0};
  if (!rs || rs->Eof()) return;
  state.mwst[1] = ParseRate(db::GetFieldValue(*rs, "mwst1").AsString()).value_or(Rate{0});
  state.mwst[2] = ParseRate(db::GetFieldValue(*rs, "mwst2").AsString()).value_or(Rate{0});
  state.sprache = db::GetFieldValue(*rs, "sprache").AsString();
}

int Startup::Main(StartupState& state, std::unique_ptr<db::Connection>& connection) {
  if (!AcquireInstance()) return lock_->busy() ? kExitAlreadyRunning : kExitNoLock;
  state.tseInUse = true;
  state.tseViaServer = true;
  state.dbIsClientServer = true;

  int rc = ReadConfiguration(state, true);
  if (rc != kExitOk) return rc;
  rc = PrepareInstallationFolders(state);
  if (rc != kExitOk) return rc;

  ui_.Status("Prüfe Datumsformat...");
  ui_.Status("Datenbank wird geöffnet...");
  rc = OpenConnection(state, connection);
  if (rc != kExitOk) return rc;
  // Before anything is written: a second gateway of the same station must not
  // even probe.
  rc = AcquireStationLock(state, *connection);
  if (rc == kExitOk) rc = AcquireRegisterLock(state, *connection);
  if (rc != kExitOk) return rc;
  env_.SetTempMark(TempMarkOf(state.kasse));

  ProbeDateFormat(state, *connection);
  if (!ProbeBoolean(state, *connection)) return kExitProbeFailed;
  ReadSystemValues(state, *connection);
  rc = CheckExchangeFolders(*connection);
  if (rc != kExitOk) return rc;
  RemoveLeftovers(state, *connection);
  return kExitOk;
}

}  // namespace tolven
