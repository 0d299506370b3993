// Runtime basics: the exception hierarchy, TDateTime and number/text helpers.
#include "SysUtils.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace garvel {

Exception::Exception(const std::string& Msg) : std::runtime_error(Msg) {}
Exception::~Exception() = default;
EAbstractError::~EAbstractError() = default;
EConvertError::~EConvertError() = default;
EInvalidCast::~EInvalidCast() = default;
ERangeError::~ERangeError() = default;

namespace {

constexpr double kMSecsPerDay = 86400000.0;

// Days from 0001-01-01 to the given date (proleptic Gregorian), 1-based day.
long long DaysFromCivilStart(int Y, int M, int D) {
  static const int kCum[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  long long y = Y - 1;
  long long days = y * 365 + y / 4 - y / 100 + y / 400 + kCum[M - 1] + D - 1;
  if (M > 2 && IsLeapYear(Y))
    ++days;
  return days;
}

// 1899-12-30 as a day number from 0001-01-01.
const long long kDelphiEpoch = DaysFromCivilStart(1899, 12, 30);

} // namespace

bool IsLeapYear(int Year) {
  return (Year % 4 == 0) && (Year % 100 != 0 || Year % 400 == 0);
}

int DaysInMonth(int Year, int Month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (Month < 1 || Month > 12)
    return 0;
  return kDays[Month - 1] + (Month == 2 && IsLeapYear(Year) ? 1 : 0);
}

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 ||
      Day > DaysInMonth(Year, Month))
    return false;
  Result = static_cast<double>(DaysFromCivilStart(Year, Month, Day) - kDelphiEpoch);
  return true;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result) {
  if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 || MSec > 999)
    return false;
  Result = (((Hour * 60.0 + Min) * 60.0 + Sec) * 1000.0 + MSec) / kMSecsPerDay;
  return true;
}

TDateTime TimeDigitsToDateTime(std::string_view S, bool DayFirst) {
  auto pair = [&](size_t Pos) { return Pos < S.size() ? StrToIntDef(S.substr(Pos, 2), 0) : 0; };
  int year = DayFirst ? pair(4) : pair(0), day = DayFirst ? pair(0) : pair(4);
  return EncodeDateTime(2000 + year, pair(2), day, pair(6), pair(8), pair(10), 0);
}

bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec,
                       TDateTime& Result) {
  TDateTime d = 0, t = 0;
  if (!TryEncodeDate(Year, Month, Day, d) || !TryEncodeTime(Hour, Min, Sec, MSec, t))
    return false;
  // Before the epoch the day count is negative and the time still counts forward.
  Result = d < 0 ? d - t : d + t;
  return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
  TDateTime r = 0;
  if (!TryEncodeDate(Year, Month, Day, r))
    throw EConvertError("invalid date " + IntToStr(Year) + "-" + IntToStr(Month) + "-" +
                        IntToStr(Day));
  return r;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
  TDateTime r = 0;
  if (!TryEncodeTime(Hour, Min, Sec, MSec, r))
    throw EConvertError("invalid time " + IntToStr(Hour) + ":" + IntToStr(Min) + ":" +
                        IntToStr(Sec) + "." + IntToStr(MSec));
  return r;
}

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec) {
  TDateTime r = 0;
  if (!TryEncodeDateTime(Year, Month, Day, Hour, Min, Sec, MSec, r))
    throw EConvertError("invalid date and time " + IntToStr(Year) + "-" + IntToStr(Month) + "-" +
                        IntToStr(Day) + " " + IntToStr(Hour) + ":" + IntToStr(Min) + ":" +
                        IntToStr(Sec));
  return r;
}

void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day) {
  // Days from 0001-01-01, held inside the range that EncodeDate can produce.
  static const long long kLast = DaysFromCivilStart(9999, 12, 31);
  double days = std::trunc(Value) + static_cast<double>(kDelphiEpoch);
  long long n = days <= 0                            ? 0
                : days >= static_cast<double>(kLast) ? kLast
                                                     : static_cast<long long>(days);
  // Civil-from-days on a 400-year cycle (146097 days).
  long long n400 = n / 146097, r = n % 146097;
  long long n100 = r / 36524;
  if (n100 == 4)
    n100 = 3;
  r -= n100 * 36524;
  long long n4 = r / 1461;
  r %= 1461;
  long long n1 = r / 365;
  if (n1 == 4)
    n1 = 3;
  r -= n1 * 365;
  Year = static_cast<int>(n400 * 400 + n100 * 100 + n4 * 4 + n1 + 1);
  Month = 1;
  while (r >= DaysInMonth(Year, Month)) {
    r -= DaysInMonth(Year, Month);
    ++Month;
  }
  Day = static_cast<int>(r) + 1;
}

void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec) {
  double frac = std::fabs(Value - std::trunc(Value));
  long long ms = std::llround(frac * kMSecsPerDay);
  if (ms >= 86400000)
    ms = 86399999;
  Hour = static_cast<int>(ms / 3600000);
  Min = static_cast<int>(ms / 60000 % 60);
  Sec = static_cast<int>(ms / 1000 % 60);
  MSec = static_cast<int>(ms % 1000);
}

TDateTime Now() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec, ms < 0 ? 0 : ms);
}

std::string DateTimeToStr(TDateTime Value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(Value, y, mo, d);
  DecodeTime(Value, h, mi, s, ms);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return buf;
}

int64_t GetTickCount64() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TTimeZoneId GetTimeZoneInformation(TTimeZoneInformation& Info) {
  tzset();
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  Info = {};
  // POSIX `timezone` is seconds west of UTC in standard time: the same sign as the bias.
  Info.Bias = static_cast<int>(timezone / 60);
  if (tm.tm_isdst > 0) {
    int current = static_cast<int>(-tm.tm_gmtoff / 60);
    Info.DaylightBias = current - Info.Bias;
    return tzDaylight;
  }
  if (tm.tm_isdst == 0) {
    // Standard time in force: trust the current offset over the global.
    Info.Bias = static_cast<int>(-tm.tm_gmtoff / 60);
    Info.DaylightBias = daylight ? -60 : 0;
    return tzStandard;
  }
  return tzUnknown;
}

std::string IntToStr(long long Value) {
  return std::to_string(Value);
}

int StrToIntDef(std::string_view S, int Default) {
  if (S.empty())
    return Default;
  const char* first = S.data();
  const char* last = S.data() + S.size();
  if (*first == '+') {
    ++first;
    if (first == last || *first == '-')
      return Default;
  }
  int v = 0;
  auto [ptr, ec] = std::from_chars(first, last, v);
  if (ec != std::errc() || ptr != last)
    return Default;
  return v;
}

std::string ZeroPad(long long Value, int Width) {
  std::string s = std::to_string(Value < 0 ? -Value : Value);
  if (static_cast<int>(s.size()) < Width)
    s.insert(0, static_cast<size_t>(Width) - s.size(), '0');
  return Value < 0 ? "-" + s : s;
}

} // namespace garvel
