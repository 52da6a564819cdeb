// Start-up on a server engine (SQL Server, PostgreSQL): the connection to the
// configured database, and the way through the master database when the
// database is missing.
#include "common/text.h"
#include "db/dialect.h"
#include "db/station_context.h"
#include "platform/signals.h"
#include "platform/system_text.h"
#include "startup/startup.h"

namespace tolven {

using platform::MsgKind;

namespace {

db::OdbcEngine EngineOf(const StartupState& state) {
  return state.engine == "POSTGRESQL" ? db::OdbcEngine::Postgres : db::OdbcEngine::SqlServer;
}

std::string ErrorLines(const Status& failure) {
  return "Fehler: " + std::to_string(failure.code()) + "\r\n" + failure.message();
}

}  // namespace

std::string Startup::SqlServerConnectionString(const std::string& driver, const std::string& server,
                                               const std::string& user, const std::string& password,
                                               const std::string& database) {
  db::OdbcTarget t;
  t.engine = db::OdbcEngine::SqlServer;
  t.driver = driver;
  t.server = server;
  t.user = user;
  t.password = password;
  t.database = database;
  return db::OdbcConnectionString(t);
}

db::OdbcTarget Startup::ServerTarget(const StartupState& state, const std::string& database, bool withPassword) const {
  db::OdbcTarget t;
  t.engine = EngineOf(state);
  t.driver = odbcDriver_;
  t.server = server_;
  t.user = user_;
  t.password = withPassword ? password_ : "";
  t.database = database;
  t.tdsVersion = tdsVersion_;
  // Keys the POS programs do not know: read, never written back.
  t.encrypt = ReadTrimmedSetting(ini_, IniKey::Encrypt);
  t.trustServerCertificate = ReadTrimmedSetting(ini_, IniKey::TrustServerCertificate);
  return t;
}

bool Startup::CheckServerSettings(const StartupState& state) {
  const std::string iniPath = ini_.PathOf(kIniFile);
  if (!db::DialectByName(state.engine)) {
    ui_.MessageBox("Das Datenbank-System '" + state.engine +
                       "' wird nicht unterstützt. Tragen Sie im Abschnitt DATABASE der Datei " + iniPath +
                       " unter ENGINE SQLITE, MSSQL oder POSTGRESQL ein.",
                   MsgKind::Critical);
    return false;
  }
  // The name goes unquoted into "CREATE DATABASE".
  if (!db::IsPlainDatabaseName(catalog_)) {
    ui_.MessageBox("Der Datenbankname '" + catalog_ + "' (CATALOG im Abschnitt DATABASE der Datei " + iniPath +
                       ") ist ungültig: erlaubt sind Buchstaben, Ziffern und '_', beginnend mit einem Buchstaben.",
                   MsgKind::Critical);
    return false;
  }
  return true;
}

int Startup::OpenServerConnection(StartupState& state, std::unique_ptr<db::Connection>& connection) {
  if (!CheckServerSettings(state)) return kExitNoDatabase;
  ui_.Status("Verbindung zum Datenbank-Server wird aufgebaut...");
  db::OpenFailure failure = db::OpenFailure::Other;
  auto opened = db::OpenOdbc(ServerTarget(state, catalog_, true), 10, platform::DefaultEnv(), &failure);
  if (opened) {
    connection = std::move(*opened);
    connection->SetCommandTimeout(30);
    CodeAcceptedPassword();
    return kExitOk;
  }
  ui_.MessageBox("Die Verbindung zur Datenbank '" + catalog_ + "' konnte nicht hergestellt werden.\r\n\r\n" +
                     ErrorLines(opened.status()),
                 MsgKind::Critical);
  const std::string iniPath = ini_.PathOf(kIniFile);
  // Asked to end while the log-in waited (SIGTERM, Ctrl+C): no further
  // log-ins to the master database, no creation.
  if (platform::StopRequested()) return kExitNoDatabase;
  switch (failure) {
    case db::OpenFailure::BadLogin:
      ui_.MessageBox("Bitte tragen Sie Benutzer und Anmeldepasswort für die Datenbank in der Datei " + iniPath +
                         " ein und versuchen es erneut.",
                     MsgKind::Information);
      // A restart would only be refused again (and may lock the login on the
      // server): the service manager must not retry this one.
      return kExitLoginRefused;
    // Neither is a missing database: creating one would only fail again and
    // send the operator looking in the wrong place.
    case db::OpenFailure::Unreachable:
      ui_.MessageBox("Der Datenbank-Server '" + server_ +
                         "' ist nicht erreichbar. Prüfen Sie SERVER im Abschnitt "
                         "DATABASE der Datei " +
                         iniPath + ", das Netzwerk und ob der Server läuft.",
                     MsgKind::Information);
      return kExitNoDatabase;
    case db::OpenFailure::NoDriver:
      ui_.MessageBox("Der ODBC-Treiber '" + odbcDriver_ + "' ist nicht installiert oder nicht " +
                         platform::OdbcDriverRegistry() +
                         " eingetragen. Tragen Sie unter ODBCDRIVER im Abschnitt DATABASE der Datei " + iniPath +
                         " den installierten Treiber ein.",
                     MsgKind::Information);
      return kExitNoDatabase;
    case db::OpenFailure::MissingDatabase:
    case db::OpenFailure::Other: break;
  }
  return CreateMissingDatabase(state, connection);
}

int Startup::CreateMissingDatabase(StartupState& state, std::unique_ptr<db::Connection>& connection) {
  const db::Dialect& dialect = *db::DialectByName(state.engine);
  ui_.MessageBox("Die Datenbank '" + catalog_ + "' auf Server '" + server_ +
                     "' wurde nicht gefunden. Es wird versucht, die Datenbank anzulegen. Dazu muss der Zugriff auf die "
                     "'master'-Datenbank mit User 'sa' ohne Passwort ermöglicht werden.",
                 MsgKind::Information);
  ui_.Status("Datenbank wird angelegt...");
  // The master database is tried without a password first, as installers set
  // it up; a login that has a password gets its own next. Whatever opened the
  // master database also opens the new one.
  bool withPassword = false;
  auto admin = db::OpenOdbc(ServerTarget(state, dialect.AdminDatabase(), false), 20);
  if (!admin && !password_.empty() && !platform::StopRequested()) {
    withPassword = true;
    admin = db::OpenOdbc(ServerTarget(state, dialect.AdminDatabase(), true), 20);
  }
  if (!admin) {
    ui_.MessageBox(
        "Die 'master'-Datenbank konnte nicht geöffnet werden. Das Programm wird beendet. Stellen Sie "
        "zunächst eine Verbindung zum Datenbank-Server her.",
        MsgKind::Critical);
    return kExitNoDatabase;
  }
  // A refused CREATE DATABASE (no right to create, disk full) must not be
  // announced as a created database.
  if (Status created = (*admin)->Execute(dialect.CreateDatabase(catalog_)); !created) {
    ui_.MessageBox("Die Datenbank '" + catalog_ + "' konnte nicht angelegt werden.\r\n\r\n" + ErrorLines(created),
                   MsgKind::Critical);
    return kExitNoDatabase;
  }
  (*admin)->Close();
  ui_.MessageBox("Datenbank '" + catalog_ + "' wurde angelegt.", MsgKind::Information);
  auto opened = db::OpenOdbc(ServerTarget(state, catalog_, withPassword), 10);
  if (!opened) return DatabaseNotOpened(opened.status());
  connection = std::move(*opened);
  connection->SetCommandTimeout(30);
  if (withPassword) CodeAcceptedPassword();
  return kExitOk;
}

}  // namespace tolven
