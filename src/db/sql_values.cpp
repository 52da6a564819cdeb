#include "db/sql_values.h"

#include "common/text.h"

namespace tolven::db {

std::string SqlText(std::string_view text) { return "'" + ReplaceAll(std::string(text), "'", "''") + "'"; }

Value GetFieldValue(const ResultSet& rs, const std::string& field) {
  int i = rs.Find(field);
  if (i < 0) return Value(int64_t{0});
  auto column = static_cast<size_t>(i);
  const Value& raw = rs.Raw(column);
  if (raw.IsNull()) {
    switch (rs.Kind(column)) {
      case ColumnKind::Text: return Value(std::string());
      case ColumnKind::Bool: return Value(int64_t{0});
      case ColumnKind::Date: return Value(std::string("1900-01-01"));
      default: return Value(int64_t{0});
    }
  }
  if (raw.IsText()) return Value(TrimBlanks(raw.AsString()));
  return raw;
}

size_t UndefinedCp1252Byte(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) return i;
  }
  return std::string::npos;
}

}  // namespace tolven::db
