#include "db/dialect.h"

namespace tolven::db {

namespace {

class SqlServer final : public Dialect {
 public:
  const char* Name() const override { return "MSSQL"; }
  std::string SelectTop(int n, const std::string& rest) const override {
    return "SELECT TOP " + std::to_string(n) + " " + rest;
  }
  std::string Column(const std::string& name) const override {
    return name == "limit" ? "[limit]" : name;
  }
  std::string CreateDatabase(const std::string& name) const override { return "CREATE DATABASE " + name; }
  std::string Len(const std::string& expr) const override { return "LEN(" + expr + ")"; }
};

class Sqlite final : public Dialect {
 public:
  const char* Name() const override { return "SQLITE"; }
  std::string SelectTop(int n, const std::string& rest) const override {
    return "SELECT " + rest + " LIMIT " + std::to_string(n);
  }
  std::string Column(const std::string& name) const override {
    return name == "limit" ? "\"limit\"" : name;
  }
  std::string CreateDatabase(const std::string&) const override { return ""; }
  std::string Len(const std::string& expr) const override { return "LENGTH(" + expr + ")"; }
};

class Postgres final : public Dialect {
 public:
  const char* Name() const override { return "POSTGRESQL"; }
  std::string SelectTop(int n, const std::string& rest) const override {
    return "SELECT " + rest + " LIMIT " + std::to_string(n);
  }
  std::string Column(const std::string& name) const override {
    return name == "limit" ? "\"limit\"" : name;
  }
  std::string CreateDatabase(const std::string& name) const override { return "CREATE DATABASE " + name; }
  std::string Len(const std::string& expr) const override { return "LENGTH(" + expr + ")"; }
};

}  // namespace

const Dialect& SqlServerDialect() {
  static SqlServer d;
  return d;
}
const Dialect& SqliteDialect() {
  static Sqlite d;
  return d;
}
const Dialect& PostgresDialect() {
  static Postgres d;
  return d;
}

}  // namespace tolven::db
