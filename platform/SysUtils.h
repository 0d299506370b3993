// Runtime basics: the exception hierarchy, TDateTime and number/text helpers.
#pragma once

#include "GarvelExport.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace garvel {

/// A growable array of bytes, indexed from 0.
using TByteDynArray = std::vector<uint8_t>;

/// Base of every exception the library raises.
class GARVEL_API Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& Msg);
  ~Exception() override;
  std::string Message() const { return what(); }
};

/// A virtual operation without a body was called.
class GARVEL_API EAbstractError : public Exception {
public:
  using Exception::Exception;
  ~EAbstractError() override;
};

/// A text could not be converted (a date, a number, a hexadecimal code).
class GARVEL_API EConvertError : public Exception {
public:
  using Exception::Exception;
  ~EConvertError() override;
};

/// An object of the wrong class was handed to an operation.
class GARVEL_API EInvalidCast : public Exception {
public:
  using Exception::Exception;
  ~EInvalidCast() override;
};

/// A read or index fell outside the bounds of a buffer.
class GARVEL_API ERangeError : public Exception {
public:
  using Exception::Exception;
  ~ERangeError() override;
};

/// Days since 1899-12-30; the fraction is the time of day.
using TDateTime = double;

/// Builds a date; throws EConvertError for an invalid one (year 1..9999).
GARVEL_API TDateTime EncodeDate(int Year, int Month, int Day);
/// Builds a time of day; throws EConvertError unless h<24, m<60, s<60, ms<1000.
GARVEL_API TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);
GARVEL_API bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result);
GARVEL_API bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result);
/// Date and time together; throws EConvertError when either part is invalid.
GARVEL_API TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec,
                                    int MSec);
/// A time text of six two-digit groups, YYMMDDhhmmss (DDMMYYhhmmss with
/// DayFirst), the year counted from 2000; characters beyond are not read.
/// A group that is missing or not a number counts as 0. Throws EConvertError
/// when the numbers do not form a valid date and time.
GARVEL_API TDateTime TimeDigitsToDateTime(std::string_view S, bool DayFirst);
GARVEL_API bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec,
                                  int MSec, TDateTime& Result);
GARVEL_API void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day);
GARVEL_API void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec);
GARVEL_API bool IsLeapYear(int Year);
GARVEL_API int DaysInMonth(int Year, int Month);

/// The local date and time now.
GARVEL_API TDateTime Now();
/// "YYYY-MM-DD hh:nn:ss" (local, as stored).
GARVEL_API std::string DateTimeToStr(TDateTime Value);
/// Monotonic milliseconds, for measuring intervals.
GARVEL_API int64_t GetTickCount64();

/// How the local zone relates to UTC, in minutes: UTC = local time + bias.
struct TTimeZoneInformation {
  int Bias = 0;         ///< standard-time bias
  int StandardBias = 0; ///< added to Bias in standard time (normally 0)
  int DaylightBias = 0; ///< added to Bias while daylight saving is in force
};

enum TTimeZoneId : uint8_t { tzUnknown, tzStandard, tzDaylight };

/// Reads the process's local zone (TZ, /etc/localtime). A zone without
/// daylight saving reports tzStandard, so that its bias is honoured.
GARVEL_API TTimeZoneId GetTimeZoneInformation(TTimeZoneInformation& Info);

/// Decimal text of a number.
GARVEL_API std::string IntToStr(long long Value);
/// Parses a whole decimal number (optional sign, no blanks); Default otherwise.
GARVEL_API int StrToIntDef(std::string_view S, int Default);
/// Left-pads the decimal text of Value with zeros to Width digits.
GARVEL_API std::string ZeroPad(long long Value, int Width);

} // namespace garvel
