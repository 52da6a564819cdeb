// Calendar dates and local wall-clock times as the database and the files write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolven {

struct Date {
  int year = 1900;
  int month = 1;
  int day = 1;
  friend auto operator<=>(const Date&, const Date&) = default;
};

struct DateTime {
  Date date;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend auto operator<=>(const DateTime&, const DateTime&) = default;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
Date LastDayOfMonth(const Date& date);
int DayOfYear(const Date& date);
// Days since 01.01.1970 and back, for date arithmetic.
int64_t DaysFromCivil(const Date& date);
Date CivilFromDays(int64_t days);
Date AddDays(const Date& date, int days);

std::string FormatDMY(const Date& date);       // DD.MM.YYYY
std::string FormatISODate(const Date& date);   // YYYY-MM-DD
std::string FormatYYMMDD(const Date& date);    // YYMMDD
std::string FormatYYYYMMDD(const Date& date);  // YYYYMMDD
std::string FormatHMS(const DateTime& time);   // HH:MM:SS
std::string FormatHM(const DateTime& time);    // HH:MM
int SecondsSinceMidnight(const DateTime& time);

// Reads the date/time forms the engines return: "YYYY-MM-DD[ HH:MM:SS[.fff]]",
// "YYYY-MM-DDTHH:MM:SS", and "DD.MM.YYYY[ HH:MM:SS]".
std::optional<DateTime> ParseDateTime(std::string_view text);

// Seconds since 01.01.1970 00:00:00 as a date and time, no zone shift.
DateTime FromUnixTime(int64_t seconds);

}  // namespace tolven
