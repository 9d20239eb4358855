// TDateTime and its calendar routines. A TDateTime is a double counting days from
// 1899-12-30 (the proleptic Gregorian calendar); the fraction is the time of day.
// For values below zero the time of day is the absolute value of the fraction, as
// the class library has it. Text goes through the fixed format settings only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace classlib {

using TDateTime = double;

inline constexpr int32_t DateDelta = 693594;         // days from 0001-01-01 (day 1) to 1899-12-30
inline constexpr int32_t MSecsPerDay = 86400000;

bool IsLeapYear(uint16_t year);
uint16_t DaysInMonth(uint16_t year, uint16_t month);

// False (and Result untouched) for a field outside the calendar.
bool TryEncodeDate(uint16_t year, uint16_t month, uint16_t day, TDateTime& result);
bool TryEncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec, TDateTime& result);
// As above, but raise EConvertError for a field outside the calendar.
TDateTime EncodeDate(uint16_t year, uint16_t month, uint16_t day);
TDateTime EncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec);

// Raise EConvertError when the day lies outside years 1 to 9999.
void DecodeDate(TDateTime dt, uint16_t& year, uint16_t& month, uint16_t& day);
void DecodeTime(TDateTime dt, uint16_t& hour, uint16_t& min, uint16_t& sec, uint16_t& msec);

// Class-library style formatting: yyyy yy mm m dd d (month after a date part),
// hh h nn n mm (minutes after an hour) ss s zzz, '...' or "..." literals.
std::string FormatDateTime(std::string_view format, TDateTime dt);
std::string DateToStr(TDateTime dt);       // short date format
std::string TimeToStr(TDateTime dt);       // long time format
std::string DateTimeToStr(TDateTime dt);   // date, and " " + time unless exactly midnight

// Parsers for the fixed settings: dates as year-month-day with the date separator,
// times as h:m[:s[.zzz]] with an optional AM/PM, date-times as a date, optionally
// followed by blanks and a time. Surrounding blanks are allowed.
bool TryStrToDate(std::string_view s, TDateTime& result);
bool TryStrToTime(std::string_view s, TDateTime& result);
bool TryStrToDateTime(std::string_view s, TDateTime& result);
TDateTime StrToDate(std::string_view s);       // EConvertError "'%s' is not a valid date"
TDateTime StrToTime(std::string_view s);       // "'%s' is not a valid time"
TDateTime StrToDateTime(std::string_view s);   // "'%s' is not a valid date and time"

}  // namespace classlib
