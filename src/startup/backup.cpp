#include "startup/backup.h"

#include "db/sqlite_connection.h"

namespace tolven {

using platform::MsgKind;

int BackupDatabase(Startup& start, platform::Env& env, platform::Ui& ui, const std::string& target) {
  start.SetReadOnly();
  StartupState state;
  if (int rc = start.ReadConfiguration(state, false); rc != kExitOk) return rc;
  if (state.engine != "SQLITE") {
    ui.MessageBox(
        "--backup sichert nur die eingebettete Datenbank (ENGINE=SQLITE). Eine Datenbank auf einem Server "
        "sichern dessen eigene Werkzeuge (SQL Server: BACKUP DATABASE, PostgreSQL: pg_dump).",
        MsgKind::Critical);
    return kExitUsage;
  }
  const std::string source = Startup::SqliteFile(state);
  if (!env.FileExists(source)) {
    ui.MessageBox("Die Datenbank-Datei '" + source + "' wurde nicht gefunden.", MsgKind::Critical);
    return kExitBackupFailed;
  }
  // An earlier unfinished copy under the temporary name is of no use; one that
  // cannot be removed makes the copy below fail with the reason.
  const std::string partial = target + ".unfertig";
  if (env.FileExists(partial)) (void)env.DeleteFile(partial);
  int64_t pages = 0;
  Status st = db::BackupSqlite(source, partial, pages);
  if (st) st = env.RenameFile(partial, target);
  if (!st) {
    if (env.FileExists(partial)) (void)env.DeleteFile(partial);  // the failure told is the copy's
    ui.MessageBox(
        "Die Sicherung der Datenbank '" + source + "' nach '" + target + "' ist fehlgeschlagen.\r\n\r\n" + st.message(),
        MsgKind::Critical);
    return kExitBackupFailed;
  }
  ui.LogLine("Sicherung geschrieben: " + target + " (" + std::to_string(pages) + " Seiten, integrity_check ok)");
  return kExitOk;
}

}  // namespace tolven
