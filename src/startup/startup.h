// Start-up: one instance only, TOLVEN.INI, the one database connection, the SQL
// dialect probes, VAT rates and language. Every "end" of the start-up returns a
// non-zero exit status and shows nothing further.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/result.h"
#include "db/connection.h"
#include "db/odbc_connection.h"
#include "db/startup_state.h"
#include "db/station_lock.h"
#include "platform/env.h"
#include "platform/ini_file.h"
#include "platform/instance_lock.h"
#include "platform/ui.h"
#include "startup/ini_settings.h"

namespace tolven {

inline constexpr const char* kLockFile = "tolvenpda.lock";
inline constexpr const char* kSqliteFileName = "tolven.db";

// Exit statuses of the program.
enum ExitCode : int {
  kExitOk = 0,
  kExitAlreadyRunning = 2,
  kExitNoPassword = 3,
  kExitNoDatabase = 4,
  kExitProbeFailed = 5,
  kExitNoLock = 6,             // the single-instance lock file cannot be created
  kExitStationInUse = 7,       // another gateway works as this station on the database
  kExitDatabaseReadOnly = 8,   // the database file (or its folder) cannot be written
  kExitFolderNotWritable = 9,  // a folder of the installation or a terminal is missing or read-only
  kExitCheckFailed = 10,       // --check found a problem
  kExitLoginRefused = 11,      // the database server refused user or password
  kExitBadConfiguration = 12,  // TOLVEN.INI cannot be read as it is (its encoding)
  kExitBackupFailed = 13,      // --backup could not write a checked copy
  kExitUsage = 64,
};

// The configuration folder: $TOLVEN_WINDIR, default the platform's
// (/etc/tolven; the Windows folder on Windows). UTF-8.
std::string ConfigFolderFromEnvironment();

class Startup {
 public:
  Startup(platform::Env& env, platform::Ui& ui, std::string configFolder);

  // Steps of the start-up in their order. On success returns kExitOk with the
  // state filled and the connection open; otherwise the exit status.
  int Main(StartupState& state, std::unique_ptr<db::Connection>& connection);

  // Reads a key of TOLVEN.INI; an empty value gives the default (the table's or
  // the one worked out here). Keys the table marks are written back with it
  // unless read-only; the others are read without blanks around them.
  std::string ReadIni(IniKey key);
  std::string ReadIni(IniKey key, const std::string& defaultValue);
  // Steps 3 to 5 alone: INI values, folders, station number (used by --init-db
  // too). Without askPassword a coded or plain password is still read, but
  // nobody is asked and nothing is written.
  int ReadConfiguration(StartupState& state, bool askPassword);
  // The DSN-less ODBC connection string for SQL Server.
  static std::string SqlServerConnectionString(const std::string& driver, const std::string& server,
                                               const std::string& user, const std::string& password,
                                               const std::string& database);
  // Where the configured server engine is reached, for the given database;
  // without the password when withPassword is false.
  db::OdbcTarget ServerTarget(const StartupState& state, const std::string& database, bool withPassword) const;
  // Opens the configured database without asking anything or creating it
  // (SQLite: create makes a missing file). For tools beside the gateway.
  Result<std::unique_ptr<db::Connection>> OpenDatabase(const StartupState& state, bool create);
  // Steps 7 to 10 on a server engine: the connection to the configured
  // database, created through the server's master database when it is
  // missing; every failure told on screen. kExitOk with the connection open
  // (command time-out 30 s) or the exit status.
  int OpenServerConnection(StartupState& state, std::unique_ptr<db::Connection>& connection);
  // Writes the coded password once the server accepted it (see passwordToCode_).
  void CodeAcceptedPassword();

  // Nothing is written back to TOLVEN.INI (for --check, which changes nothing).
  void SetReadOnly() { writeBack_ = false; }
  // The SQLite database file of the configuration.
  static std::string SqliteFile(const StartupState& state);

  platform::IniFile& ini() { return ini_; }
  const std::string& password() const { return password_; }
  // The database on the server (CATALOG).
  const std::string& catalog() const { return catalog_; }

 private:
  bool AcquireInstance();
  // Logs the first write to TOLVEN.INI that failed; nothing else follows from it.
  void NoteWriteBack(const Status& st);
  // Makes the installation's log, TSE and archive folders and checks that they
  // can be written; kExitOk or kExitFolderNotWritable after a message.
  int PrepareInstallationFolders(const StartupState& state);
  int CheckExchangeFolders(db::Connection& connection);
  int AcquireStationLock(const StartupState& state, db::Connection& connection);
  int AcquireRegisterLock(const StartupState& state, db::Connection& connection);
  // Takes a lock, asking again for up to kLockRetryMs while it is busy.
  Status TakeLock(const std::function<Status()>& take);
  static constexpr int kLockRetryMs = 5000, kLockRetryStepMs = 250;
  // Leftover temporary files of this station in the folders it writes to.
  void RemoveLeftovers(const StartupState& state, db::Connection& connection);
  int FolderProblem(const std::string& what, const std::string& path, const std::string& problem, const Status& st);
  // The message of a database that cannot be opened; kExitNoDatabase.
  int DatabaseNotOpened(const Status& failure);
  int ResolvePassword(const std::string& user, const std::string& pwd, const std::string& pwdc, bool interactive);
  int OpenConnection(StartupState& state, std::unique_ptr<db::Connection>& connection);
  int CreateMissingDatabase(StartupState& state, std::unique_ptr<db::Connection>& connection);
  bool CheckServerSettings(const StartupState& state);
  bool ProbeDateFormat(StartupState& state, db::Connection& connection);
  bool ProbeBoolean(StartupState& state, db::Connection& connection);
  void ReadSystemValues(StartupState& state, db::Connection& connection);

  platform::Env& env_;
  platform::Ui& ui_;
  platform::IniFile ini_;
  std::unique_ptr<platform::InstanceLock> lock_;
  db::StationLock stationLock_;
  bool writeBack_ = true;
  bool writeBackRefused_ = false;
  // A password from PWD or the input box, coded into PWDC only once the server
  // has accepted it: a refused one stays as the operator typed it.
  bool passwordToCode_ = false;
  std::string server_, user_, password_, odbcDriver_, tdsVersion_, catalog_ = SettingOf(IniKey::Catalog).defaultValue;
};

}  // namespace tolven
