// Reading and writing values in SQL: text literals no text can break out of,
// the fields of a result with the NULL rules, and the bytes no driver passes on.
#pragma once

#include <string>
#include <string_view>

#include "db/connection.h"

namespace tolven::db {

// A text literal: between single quotes with every embedded apostrophe doubled,
// so no text can change the statement it is put into.
std::string SqlText(std::string_view text);

// The value of a field in the current row, NULL replaced by the default of the
// column's kind: "" for text, false for booleans, 01.01.1900 for plain dates and
// 0 for everything else (SQL Server's datetime included). Texts come back
// without leading and trailing blanks. A missing column gives NULL -> 0.
Value GetFieldValue(const ResultSet& rs, const std::string& field);

// The first byte Windows-1252 leaves undefined (81, 8D, 8F, 90, 9D hex);
// npos when there is none. FreeTDS cannot hand them to SQL Server, and no
// terminal means them: a text holding one is refused before any statement.
size_t UndefinedCp1252Byte(std::string_view text);

}  // namespace tolven::db
