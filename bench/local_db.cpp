#include "local_db.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/cp1252.h"
#include "db/schema_scripts.h"
#include "db/sqlite_connection.h"

namespace tolven::bench {

void QuietUi::MessageBox(const std::string& text, platform::MsgKind kind, const std::string& title) {
  ++messages;
  std::fprintf(stderr, "[%s] %s: %s\n", platform::MsgKindName(kind), Cp1252ToUtf8(title).c_str(),
               Cp1252ToUtf8(text).c_str());
}

LocalDb::LocalDb(const std::string& parentDir, platform::Env& env, bool keep)
    : parentDir_(parentDir), env_(env), keep_(keep) {}

LocalDb::~LocalDb() {
  tools_.reset();
  if (conn_) conn_->Close();
  if (!keep_ && !folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

bool LocalDb::Create(std::string& error) {
  std::string tmpl = parentDir_ + "/tolven-bench-XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    error = "mkdtemp in " + parentDir_ + " failed";
    return false;
  }
  folder_ = tmpl;
  auto opened = db::OpenSqlite(dbPath(), true);
  if (!opened) {
    error = "open: " + opened.status().message();
    return false;
  }
  conn_ = std::move(*opened);
  if (Status schema = db::ExecuteSqliteScript(*conn_, "BEGIN;\n" + db::SchemaScript("sqlite") + "\nCOMMIT;\n");
      !schema) {
    error = "schema: " + schema.message();
    return false;
  }
  state_.engine = "SQLITE";
  state_.datumFormat = "E";
  state_.boolTrueWert = -1;
  state_.kasse = 1;
  state_.filiale = 1;
  state_.configFolder = folder_;
  state_.programFolder = folder_;
  state_.exePfad = folder_ + "/";
  state_.logPfad = state_.exePfad + "LOG/";
  state_.archivPfad = state_.exePfad + "ARCHIV/";
  state_.archivDtaPfad = state_.archivPfad + "DTA/";
  state_.archivBonPfad = state_.archivPfad + "BON/";
  state_.mwst = {Rate{0}, Rate::FromPercent(19), Rate::FromPercent(7), Rate{0}};
  state_.tseViaServer = true;
  (void)env_.CreateFolder(state_.logPfad + "TSE");
  tools_ = std::make_unique<db::StationContext>(*conn_, state_, env_, ui_);
  return true;
}

bool LocalDb::Exec(const std::vector<std::string>& statements, std::string& error) {
  for (const auto& sql : statements) {
    if (Status done = conn_->Execute(sql); !done) {
      error = sql + ": " + done.message();
      return false;
    }
  }
  return true;
}

std::string LocalDb::Scalar(const std::string& sql) {
  auto rs = conn_->Query(sql);
  return rs && !rs->Eof() && rs->ColumnCount() > 0 ? rs->Raw(0).AsString() : "";
}

}  // namespace tolven::bench
