// The server engines: SQL Server (production) and PostgreSQL (multi-station
// tests) through the system's ODBC driver manager, with DSN-less connection
// strings, so an installation needs no data source entry, only the driver.
//
// Text is Windows-1252 on both sides of this interface. SQL Server through
// FreeTDS gets it as it is (the driver's client character set is CP1252);
// PostgreSQL and Microsoft's driver get UTF-8, converted here with the
// program's own table, so every one of the 256 byte values survives the round
// trip there. FreeTDS cannot pass the five bytes Windows-1252 leaves undefined
// (81, 8D, 8F, 90, 9D hex): a statement holding one is refused with a plain
// message before it is sent.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/result.h"
#include "db/connection.h"
#include "db/driver_error.h"
#include "platform/env.h"

namespace tolven::db {

enum class OdbcEngine { SqlServer, Postgres };

// Where an ODBC connection goes; the connection string is built from it.
struct OdbcTarget {
  OdbcEngine engine = OdbcEngine::SqlServer;
  // Name of the driver in odbcinst.ini, or the path of the driver library.
  std::string driver;
  // "host", "host,port", "host\instance"; "(local)" and "." mean this machine.
  std::string server;
  std::string user;
  std::string password;  // left out of the string when empty
  std::string database;
  // TDS protocol version for FreeTDS; "" is 7.4 (every SQL Server from 2012
  // on): letting FreeTDS negotiate makes it ignore the log-in time-out. A
  // driver of unknown kind gets the key only when it is configured.
  std::string tdsVersion;
  // Microsoft's driver: "Encrypt" and "TrustServerCertificate" as configured
  // ("yes", "no", "strict", "optional", "mandatory"); "" leaves the driver's
  // default. FreeTDS takes ENCRYPT as its "Encryption" (no: off, yes: require).
  std::string encrypt;
  std::string trustServerCertificate;
};

// The SQL Server drivers differ in the keys they know and in how they read a
// braced value (below).
// Classic: Windows' own "SQL Server" driver (SQLSRV32), older than Microsoft's
// "ODBC Driver nn for SQL Server" and with fewer keys.
enum class SqlServerDriver { FreeTds, Microsoft, Classic, Other };
SqlServerDriver SqlServerDriverOf(const std::string& driver);

// The default TDS protocol version for FreeTDS.
inline constexpr const char* kDefaultTdsVersion = "7.4";
// The log-in time-out when a lost session is opened again from inside the
// gateway's loop: a server that accepts and stays silent must not hold it long.
inline constexpr int kReconnectLoginTimeoutSeconds = 10;
// Between two attempts to open a lost session again.
inline constexpr int64_t kRevivalPauseMs = 5000;

// A database name that can go unquoted into "CREATE DATABASE": a letter, then
// letters, digits and "_", at most 63 characters.
bool IsPlainDatabaseName(const std::string& name);

// The driver used when TOLVEN.INI names none.
std::string DefaultOdbcDriver(OdbcEngine engine);

// A value as ODBC wants it inside a connection string: between braces, with
// "}" doubled, when it holds a character that would end or split it.
std::string OdbcValue(const std::string& value);

// The same for FreeTDS, which ends a braced value at the first "};" (or "}" at
// the end) and does not undo doubled braces: braces without doubling. A value
// holding "};" cannot be written for it at all (FreeTdsValueWritable).
std::string FreeTdsValue(const std::string& value);
bool FreeTdsValueWritable(const std::string& value);

// Why the user name or password of the target cannot be handed to its driver;
// "" when they can.
std::string UnsendableLogin(const OdbcTarget& target);

// The DSN-less connection string. For PostgreSQL it carries the driver options
// the gateway relies on: a failed statement aborts the whole transaction
// (Protocol=7.4-0; the driver's default would roll back the statement only
// and let the rest of a settlement commit) and booleans come back as numbers.
std::string OdbcConnectionString(const OdbcTarget& target);

// The same with the password replaced by "***", for messages and logs.
std::string OdbcConnectionStringForLog(const OdbcTarget& target);

// Why opening a database failed, as the start-up must tell it apart.
enum class OpenFailure {
  MissingDatabase,  // the server answered, the login is fine, the database is not there
  BadLogin,         // user or password refused
  Unreachable,      // no server answered
  NoDriver,         // the ODBC driver named is not installed
  Other,
};

// Classifies a failed open from its diagnostic records. SQL Server: 4060 or
// 4064 among the native numbers is a missing (or unavailable default)
// database, whatever else is reported with it; 18456 / SQLSTATE 28000, or the
// German server text "Fehler bei der Anmeldung", without those is a bad
// login; FreeTDS's 20009 / SQLSTATE 08S01 is an unreachable server, and so
// is a log-in time-out (HYT00) or refused connection (08001) that carries no
// number of the server's own: the server never answered, so there is nothing
// to create.
// PostgreSQL reports all three as 08001 and is told apart by its texts.
OpenFailure ClassifyOpenFailure(OdbcEngine engine, const DriverError& err);

// Opens a connection. `timeoutSeconds` bounds the log-in and becomes the
// command time-out. A failure carries the texts of every diagnostic record
// joined; `failure`, when given, is set to its class (ClassifyOpenFailure).
// `clock` times the pause between attempts to open a lost session again.
Result<std::unique_ptr<Connection>> OpenOdbc(const OdbcTarget& target, int timeoutSeconds,
                                             platform::Env& clock = platform::DefaultEnv(),
                                             OpenFailure* failure = nullptr);

// The statements of a schema script: split at ";" ending a line and at lines
// holding only "GO" (SQL Server's batch separator); comment lines and blanks
// are dropped, and a ";" inside quotes does not split.
std::vector<std::string> SplitScript(const std::string& script);

// True when the text holds a second statement behind a ";" (quotes, quoted
// names and comments respected): a reader never runs one hidden behind its query.
bool HoldsSeveralStatements(const std::string& sql);

// Runs a script in one transaction of the connection: all of it or nothing.
Status ExecuteScript(Connection& connection, const std::string& script);

}  // namespace tolven::db
