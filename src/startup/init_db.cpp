#include "startup/init_db.h"

#include "db/odbc_connection.h"
#include "db/schema_scripts.h"
#include "db/sqlite_connection.h"
#include "db/station_context.h"

namespace tolven {

namespace {

// The schema into a database that holds no table yet, all or nothing.
int CreateSchema(db::Connection& connection, platform::Ui& ui) {
  auto rs = db::StationContext::OpenOn(connection, connection.dialect().CountTables());
  if (!rs) {  // for example a file that is no database: never overwrite it
    ui.MessageBox("Die Datenbank kann nicht gelesen werden; es wurde nichts geändert: " + rs.status().message(),
                  platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  if (db::GetFieldValue(*rs, "n").AsInt() != 0) {
    ui.MessageBox("Die Datenbank enthält bereits Tabellen; es wurde nichts geändert.", platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  const std::string script = db::SchemaScript(connection.dialect().SchemaName());
  Status created;
  if (connection.dialect().Name() == std::string("SQLITE")) {
    // One transaction: a schema that fails half-way leaves the file empty.
    created = db::ExecuteSqliteScript(connection, "BEGIN;\n" + script + "\nCOMMIT;\n");
    if (!created) (void)connection.Execute("ROLLBACK");  // nothing to roll back after a failed BEGIN
  } else {
    created = db::ExecuteScript(connection, script);  // one transaction as well
  }
  if (!created) {
    ui.MessageBox("Das Datenbankschema konnte nicht angelegt werden: " + created.message(),
                  platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  ui.LogLine("Datenbank angelegt.");
  return kExitOk;
}

}  // namespace

int InitDatabase(Startup& start, platform::Ui& ui) {
  StartupState state;
  int rc = start.ReadConfiguration(state, true);
  if (rc != kExitOk) return rc;
  std::unique_ptr<db::Connection> connection;
  if (state.engine == "SQLITE") {
    auto opened = start.OpenDatabase(state, true);
    if (!opened) {
      ui.MessageBox("Die Datenbank konnte nicht angelegt werden: " + opened.status().message(),
                    platform::MsgKind::Critical);
      return kExitNoDatabase;
    }
    connection = std::move(*opened);
  } else {
    // The gateway's own way to the server, a missing database created on it.
    rc = start.OpenServerConnection(state, connection);
    if (rc != kExitOk) return rc;
  }
  return CreateSchema(*connection, ui);
}

}  // namespace tolven
