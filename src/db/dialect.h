// What differs between the engines at the place a statement is built.
#pragma once

#include <string>

namespace tolven::db {

class Dialect {
 public:
  virtual ~Dialect() = default;
  virtual const char* Name() const = 0;
  // "SELECT TOP n <rest>" or "SELECT <rest> LIMIT n"; rest holds columns, FROM,
  // WHERE and ORDER BY.
  virtual std::string SelectTop(int n, const std::string& rest) const = 0;
  // A column name that is a keyword on some engine (the column `limit`).
  virtual std::string Column(const std::string& name) const = 0;
  virtual std::string CreateDatabase(const std::string& name) const = 0;
  // Length of a text in characters.
  virtual std::string Len(const std::string& expr) const = 0;
};

// SQL Server as the text writes it.
const Dialect& SqlServerDialect();
const Dialect& SqliteDialect();
const Dialect& PostgresDialect();

}  // namespace tolven::db
