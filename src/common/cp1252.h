// Windows-1252 <-> UTF-8 at the edges of the program (database engine, console,
// file names, web pages). One table for 0x80-0x9F; the five codes Windows-1252
// leaves undefined (81 8D 8F 90 9D) map to the C1 controls of the same number,
// as Windows and SQL Server do, so every byte survives the round trip.
#pragma once

#include <string>
#include <string_view>

namespace tolven {

std::string Cp1252ToUtf8(std::string_view text);
// Characters without a Windows-1252 code become "?"; malformed UTF-8 bytes are
// taken as Windows-1252 bytes, so nothing read is ever dropped.
std::string Utf8ToCp1252(std::string_view text);
// Every byte from 0x80 up belongs to a proper UTF-8 sequence (ASCII is too).
bool IsWellFormedUtf8(std::string_view text);

}  // namespace tolven
