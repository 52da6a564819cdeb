#include "common/datetime.h"

#include <cstdio>

namespace tolven {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 30;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

Date LastDayOfMonth(const Date& date) { return Date{date.year, date.month, DaysInMonth(date.year, date.month)}; }

int DayOfYear(const Date& date) {
  int n = date.day;
  for (int m = 1; m < date.month; ++m) n += DaysInMonth(date.year, m);
  return n;
}

// Howard Hinnant's civil-date algorithms.
int64_t DaysFromCivil(const Date& date) {
  int64_t y = date.year - (date.month <= 2 ? 1 : 0);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t mp = (date.month + 9) % 12;
  int64_t doy = (153 * mp + 2) / 5 + date.day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Date CivilFromDays(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return Date{static_cast<int>(y + (m <= 2 ? 1 : 0)), static_cast<int>(m), static_cast<int>(d)};
}

Date AddDays(const Date& date, int days) { return CivilFromDays(DaysFromCivil(date) + days); }

namespace {
std::string Fmt(const char* pattern, int a, int b, int c) {
  char buf[32];
  std::snprintf(buf, sizeof buf, pattern, a, b, c);
  return buf;
}
}  // namespace

std::string FormatDMY(const Date& d) { return Fmt("%02d.%02d.%04d", d.day, d.month, d.year); }
std::string FormatISODate(const Date& d) { return Fmt("%04d-%02d-%02d", d.year, d.month, d.day); }
std::string FormatYYMMDD(const Date& d) { return Fmt("%02d%02d%02d", d.year % 100, d.month, d.day); }
std::string FormatYYYYMMDD(const Date& d) { return Fmt("%04d%02d%02d", d.year, d.month, d.day); }
std::string FormatHMS(const DateTime& t) { return Fmt("%02d:%02d:%02d", t.hour, t.minute, t.second); }
std::string FormatHM(const DateTime& t) { return Fmt("%02d:%02d", t.hour, t.minute, 0); }
int SecondsSinceMidnight(const DateTime& t) { return t.hour * 3600 + t.minute * 60 + t.second; }

namespace {
bool ReadInt(std::string_view s, size_t pos, size_t len, int& out) {
  if (pos + len > s.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

bool Valid(const DateTime& t) {
  return t.date.month >= 1 && t.date.month <= 12 && t.date.day >= 1 &&
         t.date.day <= DaysInMonth(t.date.year, t.date.month) && t.hour < 24 && t.minute < 60 && t.second < 60;
}
}  // namespace

std::optional<DateTime> ParseDateTime(std::string_view s) {
  DateTime t;
  size_t timePos;
  if (s.size() >= 10 && s[4] == '-' && s[7] == '-') {
    if (!ReadInt(s, 0, 4, t.date.year) || !ReadInt(s, 5, 2, t.date.month) || !ReadInt(s, 8, 2, t.date.day))
      return std::nullopt;
    timePos = 11;
  } else if (s.size() >= 10 && s[2] == '.' && s[5] == '.') {
    if (!ReadInt(s, 0, 2, t.date.day) || !ReadInt(s, 3, 2, t.date.month) || !ReadInt(s, 6, 4, t.date.year))
      return std::nullopt;
    timePos = 11;
  } else {
    return std::nullopt;
  }
  if (s.size() > 10) {
    if (s[10] != ' ' && s[10] != 'T') return std::nullopt;
    if (!ReadInt(s, timePos, 2, t.hour) || s.size() < timePos + 5 || s[timePos + 2] != ':' ||
        !ReadInt(s, timePos + 3, 2, t.minute))
      return std::nullopt;
    if (s.size() >= timePos + 8 && s[timePos + 5] == ':') {
      if (!ReadInt(s, timePos + 6, 2, t.second)) return std::nullopt;
      size_t frac = timePos + 8;
      if (s.size() > frac + 1 && s[frac] == '.') {
        int ms = 0, digits = 0;
        for (size_t i = frac + 1; i < s.size() && digits < 3 && s[i] >= '0' && s[i] <= '9'; ++i, ++digits)
          ms = ms * 10 + (s[i] - '0');
        while (digits++ < 3) ms *= 10;
        t.millisecond = ms;
      }
    }
  }
  if (!Valid(t)) return std::nullopt;
  return t;
}

DateTime FromUnixTime(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  DateTime t;
  t.date = CivilFromDays(days);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest % 3600 / 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

}  // namespace tolven
