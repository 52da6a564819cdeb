#include "support/pg_server.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <regex>

#include "common/text.h"
#include "db/schema_scripts.h"

namespace tolven::testing {

namespace {

// One "Key=value" of a connection text ("Key=value;..."; values may be braced).
std::string Setting(const std::string& text, const std::string& key) {
  std::smatch m;
  const std::regex pair("(?:^|;)\\s*" + key + "\\s*=\\s*(\\{[^}]*\\}|[^;]*)", std::regex::icase);
  if (!std::regex_search(text, m, pair)) return "";
  std::string value = TrimBlanks(m[1].str());
  return value.size() >= 2 && value.front() == '{' ? value.substr(1, value.size() - 2) : value;
}

std::string Connection() {
  const char* c = std::getenv("TOLVEN_TEST_PG");
  return c ? c : "";
}

}  // namespace

bool PgConfigured() { return !Connection().empty(); }

db::OdbcTarget PgTarget(const std::string& database) {
  const std::string c = Connection();
  db::OdbcTarget t;
  t.engine = db::OdbcEngine::Postgres;
  t.driver = Setting(c, "Driver");
  t.server = Setting(c, "Server");
  if (std::string port = Setting(c, "Port"); !port.empty()) t.server += "," + port;
  t.user = Setting(c, "UID");
  t.password = Setting(c, "PWD");
  t.database = database;
  return t;
}

std::string UniquePgDatabaseName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

std::unique_ptr<db::Connection> OpenPg(const std::string& database, std::string& error) {
  auto conn = db::OpenOdbc(PgTarget(database), 30);
  if (!conn) error = conn.status().message();
  return conn ? std::move(*conn) : nullptr;
}

bool CreatePgDatabase(const std::string& name, bool withSchema, std::string& error) {
  if (!PgConfigured()) {
    error = "TOLVEN_TEST_PG is not set: start a server with scripts/pg-cluster (scripts/test does)";
    return false;
  }
  auto admin = OpenPg("postgres", error);
  if (!admin) return false;
  if (Status created = admin->Execute("CREATE DATABASE " + name); !created) {
    error = "create database: " + created.message();
    return false;
  }
  if (!withSchema) return true;
  auto conn = OpenPg(name, error);
  if (conn) {
    if (Status schema = db::ExecuteScript(*conn, db::SchemaScript("postgresql")); !schema) {
      error = "schema: " + schema.message();
    }
  }
  return conn && error.empty();
}

void DropPgDatabase(const std::string& name) {
  std::string error;
  auto admin = OpenPg("postgres", error);
  if (!admin) return;
  (void)admin->Execute("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");  // gone or kept, the test is over
}

}  // namespace tolven::testing
