#include <cmath>
#include <cstdio>
#include <limits>

#include "common/text.h"
#include "db/connection.h"
#include "db/station_context.h"

namespace tolven::db {

int64_t Value::AsInt64() const {
  if (auto* i = std::get_if<int64_t>(&v_)) return *i;
  if (auto* d = std::get_if<double>(&v_)) {
    double r = std::nearbyint(*d);
    if (r > 9.2e18 || r < -9.2e18 || !std::isfinite(r)) return 0;
    return static_cast<int64_t>(r);
  }
  if (auto* s = std::get_if<std::string>(&v_)) {
    double r = std::nearbyint(LeadingNumber(*s));
    if (r > 9.2e18 || r < -9.2e18) return 0;
    return static_cast<int64_t>(r);
  }
  return 0;
}

int32_t Value::AsInt() const {
  int64_t v = AsInt64();
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

double Value::AsDouble() const {
  if (auto* i = std::get_if<int64_t>(&v_)) return static_cast<double>(*i);
  if (auto* d = std::get_if<double>(&v_)) return *d;
  if (auto* s = std::get_if<std::string>(&v_)) return LeadingNumber(*s);
  return 0.0;
}

std::string Value::AsString() const {
  if (auto* s = std::get_if<std::string>(&v_)) return *s;
  if (auto* i = std::get_if<int64_t>(&v_)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&v_)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", *d);
    return buf;
  }
  return "";
}

bool Value::AsBool() const {
  if (auto* s = std::get_if<std::string>(&v_)) {
    std::string u = ToUpper(TrimBlanks(*s));
    return u == "TRUE" || (LeadingNumber(u) != 0.0);
  }
  return AsDouble() != 0.0;
}

DateTime Value::AsDateTime() const {
  if (auto* s = std::get_if<std::string>(&v_)) {
    if (auto t = ParseDateTime(TrimBlanks(*s))) return *t;
  }
  return DateTime{Date{1900, 1, 1}, 0, 0, 0, 0};
}

ResultSet::ResultSet(std::vector<std::string> names, std::vector<ColumnKind> kinds,
                     std::vector<std::vector<Value>> rows)
    : names_(std::move(names)), kinds_(std::move(kinds)), rows_(std::move(rows)) {}

int ResultSet::Find(const std::string& name) const {
  std::string wanted = ToUpper(name);
  for (size_t i = 0; i < names_.size(); ++i) {
    if (ToUpper(names_[i]) == wanted) return static_cast<int>(i);
  }
  return -1;
}

const Value& ResultSet::Raw(size_t column) const {
  static const Value kNull;
  if (pos_ >= rows_.size() || column >= rows_[pos_].size()) return kNull;
  return rows_[pos_][column];
}

SqlArg SqlArg::Decimal(std::string literal) {
  bool number = !literal.empty();
  for (size_t i = 0; i < literal.size() && number; ++i) {
    const char c = literal[i];
    number = (c >= '0' && c <= '9') || c == '.' || (i == 0 && c == '-');
  }
  SqlArg a;
  a.kind_ = number ? Kind::Number : Kind::Text;
  a.text_ = std::move(literal);
  return a;
}

bool WriteArgsIntoText(const std::string& sql, const std::vector<SqlArg>& args, std::string& out) {
  out.clear();
  out.reserve(sql.size() + 16 * args.size());
  size_t next = 0;
  bool quoted = false;
  for (char c : sql) {
    if (c == '\'') quoted = !quoted;
    if (c != '?' || quoted) {
      out += c;
      continue;
    }
    if (next >= args.size()) return false;
    const SqlArg& a = args[next++];
    switch (a.kind()) {
      case SqlArg::Kind::Null: out += "NULL"; break;
      case SqlArg::Kind::Number: out += a.text(); break;
      case SqlArg::Kind::Text: out += SqlText(a.text()); break;
    }
  }
  return next == args.size();
}

Status Connection::ExecuteWith(const std::string& sql, const std::vector<SqlArg>& args) {
  std::string text;
  if (!WriteArgsIntoText(sql, args, text)) {
    return Status::EngineError("Anzahl der Werte passt nicht zur Anweisung.", -1, "", ErrorKind::Other, "tolven");
  }
  return Execute(text);
}

}  // namespace tolven::db

namespace tolven::db {

namespace {
Status RunSavepointStatement(Connection& conn, const std::string& sql) {
  if (sql.empty() || !conn.InTransaction()) {
    return Status::EngineError(sql.empty() ? "Die Datenbank kennt keine Sicherungspunkte in Transaktionen."
                                           : "Sicherungspunkt ohne offene Transaktion.",
                               -1, "", ErrorKind::Other, "tolven");
  }
  return conn.Execute(sql);
}
}  // namespace

Status Connection::Savepoint(const std::string& name) {
  return RunSavepointStatement(*this, dialect().Savepoint(name));
}
Status Connection::RollbackToSavepoint(const std::string& name) {
  return RunSavepointStatement(*this, dialect().RollbackToSavepoint(name));
}
Status Connection::ReleaseSavepoint(const std::string& name) {
  return RunSavepointStatement(*this, dialect().ReleaseSavepoint(name));
}

}  // namespace tolven::db
