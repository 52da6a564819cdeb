// The one door to a database engine. SQL comes in as finished text in SQL
// Server's dialect (with the dialect's help where an engine differs); nothing
// here rewrites it. Texts are Windows-1252 on this side of the interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "common/datetime.h"
#include "common/result.h"
#include "common/status.h"
#include "db/dialect.h"

namespace tolven::db {

// Column type categories, as far as the NULL rules need them.
enum class ColumnKind {
  Text,      // any character column
  Bool,      // a true boolean column
  Date,      // a plain date column
  DateTime,  // date and time (SQL Server's datetime)
  Integer,
  Decimal,  // money and fixed-point values
  Float,
  Other,  // computed columns without a declared type
};

class Value {
 public:
  using Storage = std::variant<std::monostate, int64_t, double, std::string>;
  Value() = default;
  Value(int64_t v) : v_(v) {}
  Value(int v) : v_(int64_t{v}) {}
  Value(double v) : v_(v) {}
  Value(std::string v) : v_(std::move(v)) {}
  Value(const char* v) : v_(std::string(v)) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
  bool IsText() const { return std::holds_alternative<std::string>(v_); }
  bool IsInteger() const { return std::holds_alternative<int64_t>(v_); }

  // Conversions as the program's readers need them; NULL gives 0 / "" / false.
  int64_t AsInt64() const;
  // The value rounded to a whole number (halves to even), clamped to 32 bits.
  int32_t AsInt() const;
  double AsDouble() const;
  std::string AsString() const;
  bool AsBool() const;  // any non-zero number; texts "true"/"-1"/"1"
  // A date/time read from the engine's text form; 01.01.1900 when unreadable.
  DateTime AsDateTime() const;

  const Storage& storage() const { return v_; }

 private:
  Storage v_;
};

// A read-only, fully fetched result (a client-side static cursor): it holds no
// lock on the database once it is returned.
class ResultSet {
 public:
  ResultSet(std::vector<std::string> names, std::vector<ColumnKind> kinds, std::vector<std::vector<Value>> rows);

  bool Eof() const { return pos_ >= rows_.size(); }
  void MoveNext() { ++pos_; }
  void MoveFirst() { pos_ = 0; }
  size_t RecordCount() const { return rows_.size(); }
  size_t ColumnCount() const { return names_.size(); }
  const std::string& ColumnName(size_t i) const { return names_[i]; }
  ColumnKind Kind(size_t i) const { return kinds_[i]; }
  // Index of a column by name (case-insensitive), -1 when missing.
  int Find(const std::string& name) const;
  // The raw value of the current row; NULL past the end or for a missing column.
  const Value& Raw(size_t column) const;

 private:
  std::vector<std::string> names_;
  std::vector<ColumnKind> kinds_;
  std::vector<std::vector<Value>> rows_;
  size_t pos_ = 0;
};

// A value for one "?" mark of a statement: a number, a text or NULL.
class SqlArg {
 public:
  enum class Kind { Null, Number, Text };
  SqlArg() = default;
  SqlArg(int64_t v) : kind_(Kind::Number), text_(std::to_string(v)) {}
  SqlArg(int32_t v) : SqlArg(int64_t{v}) {}
  SqlArg(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}
  SqlArg(const char* text) : SqlArg(std::string(text)) {}
  // A decimal number as the statement would spell it ("19.0000", "-5");
  // anything else goes in as a text, never as SQL.
  static SqlArg Decimal(std::string literal);
  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }

 private:
  Kind kind_ = Kind::Null;
  std::string text_;
};

// The statement with every "?" mark outside quotes replaced by its value as a
// literal (texts quoted); false when the marks and the values do not pair up.
bool WriteArgsIntoText(const std::string& sql, const std::vector<SqlArg>& args, std::string& out);

class Connection {
 public:
  virtual ~Connection() = default;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;
  // Runs one statement; never throws. A failure carries the engine's number
  // and state and says whether another station's lock caused it.
  virtual Status Execute(const std::string& sql) = 0;
  // Runs one statement whose "?" marks take `args` in order. A statement run
  // again and again (one per receipt line) stays prepared on engines that
  // can; the others get the values written into the text.
  virtual Status ExecuteWith(const std::string& sql, const std::vector<SqlArg>& args);
  // Runs a query and fetches the whole result.
  virtual Result<ResultSet> Query(const std::string& sql) = 0;
  // Transactions lock for writing at their start, so that two stations never
  // deadlock half-way through a settlement.
  virtual Status BeginTrans() = 0;
  virtual Status CommitTrans() = 0;
  virtual Status RollbackTrans() = 0;
  virtual bool InTransaction() const = 0;
  // The first failure of the open transaction, asked before its rollback; ok
  // when no statement in it failed. Tells the caller why nothing can be
  // stored, for example a deadlock that makes running the whole transaction
  // again worth it.
  virtual Status TransactionFailure() const { return Status::Ok(); }
  // Savepoints inside an open transaction, in the dialect's forms: after a
  // failed statement, RollbackToSavepoint undoes what followed the savepoint
  // and the transaction goes on. All three fail on an engine whose dialect
  // has none; SupportsSavepoints says so beforehand.
  bool SupportsSavepoints() const { return !dialect().Savepoint("s").empty(); }
  virtual Status Savepoint(const std::string& name);
  virtual Status RollbackToSavepoint(const std::string& name);
  virtual Status ReleaseSavepoint(const std::string& name);
  // How long a statement may run and wait for another station's lock; 0: it
  // does not wait for such a lock at all but fails at once.
  virtual void SetCommandTimeout(int seconds) = 0;
  virtual const Dialect& dialect() const = 0;
  // A session setting or session lock that must hold for the whole run: done
  // now, and again on every new session an engine opens after losing one.
  virtual Status ExecuteForSession(const std::string& sql) { return Execute(sql); }
};

}  // namespace tolven::db
