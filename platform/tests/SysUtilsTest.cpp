// Dates, numbers, code pages and INI files.
#include "SysUtils.h"
#include "CodePage.h"
#include "IniFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

namespace garvel {
namespace {

TEST(DateTime, KnownValuesAndRoundTrips) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(1900, 3, 1), 61.0);
  EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  struct Case {
    int Y, M, D, h, n, s;
  } cases[] = {{2004, 2, 29, 23, 59, 59}, {1999, 12, 31, 0, 0, 0},   {2038, 1, 19, 3, 14, 8},
               {1, 1, 1, 0, 0, 1},        {9999, 12, 31, 12, 30, 0}, {1850, 6, 15, 6, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Y) + "-" + std::to_string(c.M) + "-" + std::to_string(c.D));
    TDateTime t = EncodeDateTime(c.Y, c.M, c.D, c.h, c.n, c.s, 0);
    int y, m, d, h, n, s, ms;
    DecodeDate(t, y, m, d);
    DecodeTime(t, h, n, s, ms);
    EXPECT_EQ(y, c.Y);
    EXPECT_EQ(m, c.M);
    EXPECT_EQ(d, c.D);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(n, c.n);
    EXPECT_EQ(s, c.s);
    EXPECT_EQ(ms, 0);
  }
  EXPECT_EQ(DateTimeToStr(EncodeDateTime(2004, 2, 25, 13, 5, 9, 0)), "2004-02-25 13:05:09");
}

TEST(DateTime, InvalidPartsRaiseConvertError) {
  EXPECT_THROW(EncodeDate(2003, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(2004, 13, 1), EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeDateTime(2004, 2, 30, 0, 0, 0, 0), EConvertError);
  TDateTime t = 0;
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, t)) << "1900 was not a leap year";
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, t));
  int y, m, d;
  DecodeDate(1e300, y, m, d); // absurd values stay in range
  EXPECT_EQ(y, 9999);
}

TEST(DateTime, TimeZoneFollowsTz) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  TTimeZoneInformation tz;
  setenv("TZ", "UTC0", 1);
  EXPECT_EQ(GetTimeZoneInformation(tz), tzStandard);
  EXPECT_EQ(tz.Bias, 0);
  setenv("TZ", "EST5", 1); // no daylight saving: still a real bias
  EXPECT_EQ(GetTimeZoneInformation(tz), tzStandard);
  EXPECT_EQ(tz.Bias, 300);
  setenv("TZ", "XYZ-3", 1);
  GetTimeZoneInformation(tz);
  EXPECT_EQ(tz.Bias, -180);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(Numbers, StrToIntDefAcceptsOnlyWholeNumbers) {
  struct Case {
    const char* S;
    int Expected;
  } cases[] = {{"42", 42}, {"-7", -7}, {"+5", 5},  {"007", 7},          {"", -1},
               {" 1", -1}, {"1 ", -1}, {"1a", -1}, {"99999999999", -1}, {"+-1", -1}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.S);
    EXPECT_EQ(StrToIntDef(c.S, -1), c.Expected);
  }
  EXPECT_EQ(ZeroPad(7, 3), "007");
  EXPECT_EQ(ZeroPad(1234, 2), "1234");
}

TEST(CodePage, Windows1252BothWays) {
  EXPECT_EQ(AnsiToWide("\x80"), std::u16string(1, u'\u20AC'));
  EXPECT_EQ(AnsiToWide("A\xE9"), u"A\u00E9");
  EXPECT_EQ(WideToAnsi(u"\u20AC\u00E9\u0152"), "\x80\xE9\x8C");
  EXPECT_EQ(WideToAnsi(u"\u4E2D"), "?") << "unmappable becomes '?'";
  std::string all;
  for (int c = 0; c < 256; ++c)
    all.push_back(static_cast<char>(c));
  EXPECT_EQ(WideToAnsi(AnsiToWide(all)), all) << "every byte survives a round trip";
  EXPECT_EQ(Utf8ToWide("\xE2\x82\xAC"), std::u16string(1, u'\u20AC'));
  EXPECT_EQ(WideToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide("\xC3"), std::u16string(1, u'\uFFFD')) << "truncated sequence";
}

TEST(IniFile, ReadsSectionsCaseInsensitively) {
  std::string path = ::testing::TempDir() + "garvel_ini_test.ini";
  {
    std::ofstream f(path);
    f << "[Table0]\n065=B\n066 = 0x41\n[table1]\n101=0x80\n";
  }
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("Table0", "065", ""), "B");
  EXPECT_EQ(ini.ReadString("TABLE0", "066", ""), "0x41");
  EXPECT_EQ(ini.ReadString("Table1", "101", ""), "0x80");
  EXPECT_EQ(ini.ReadString("Table2", "000", "dflt"), "dflt");
  std::remove(path.c_str());
  TIniFile missing(path);
  EXPECT_EQ(missing.ReadString("Table0", "065", "none"), "none");
}

} // namespace
} // namespace garvel
