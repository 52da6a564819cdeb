#include "startup/init_db.h"

#include "db/db_tools.h"
#include "db/schema_scripts.h"
#include "db/sqlite_connection.h"

namespace tolven {

int InitDatabase(ModuleStart& start, platform::Ui& ui) {
  StartupState state;
  int rc = start.ReadConfiguration(state, true);
  if (rc != kExitOk) return rc;
  if (state.engine != "SQLITE") {
    ui.MessageBox("--init-db kann für das Datenbank-System '" + state.engine +
                      "' in dieser Version noch nicht ausgeführt werden.",
                  platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  db::DbError err;
  auto connection = start.OpenDatabase(state, true, err);
  if (!connection) {
    ui.MessageBox("Die Datenbank konnte nicht angelegt werden: " + err.text, platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  auto rs = connection->Query("SELECT COUNT(*) AS n FROM sqlite_master WHERE type = 'table'", err);
  if (!rs) {  // for example a file that is no database: never overwrite it
    ui.MessageBox("Die Datenbank kann nicht gelesen werden; es wurde nichts geändert: " + err.text,
                  platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  if (db::GetFieldValue(*rs, "n").AsInt() != 0) {
    ui.MessageBox("Die Datenbank enthält bereits Tabellen; es wurde nichts geändert.", platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  // One transaction: a schema that fails half-way leaves the file empty.
  std::string script = "BEGIN;\n" + db::SchemaScript("sqlite") + "\nCOMMIT;\n";
  if (!db::ExecuteSqliteScript(*connection, script, err)) {
    db::DbError ignored;
    connection->Execute("ROLLBACK", ignored);
    ui.MessageBox("Das Datenbankschema konnte nicht angelegt werden: " + err.text, platform::MsgKind::Critical);
    return kExitNoDatabase;
  }
  ui.LogLine("Datenbank angelegt.");
  return kExitOk;
}

}  // namespace tolven
