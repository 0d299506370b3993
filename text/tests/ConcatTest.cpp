// Tests of splitting long texts into concatenated parts and joining them.
#include "xuSMSCConcat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace garvel {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

struct TMsg {
  std::u16string SMText;
  TxcEncodingType Encoding = et7BitText;
  std::string UserDataHeader;
  int Id = 0;
};
using TReassembler = TxcReassembler<TMsg>;

const TClock::time_point T0 = TClock::time_point{} + 1000h;

std::u16string Repeat(char16_t C, size_t N) {
  return std::u16string(N, C);
}

// The units of a part may not exceed what its own header leaves.
void ExpectPartsFit(const std::vector<TxcTextPart>& Parts, TxcEncodingType Encoding) {
  for (const TxcTextPart& p : Parts) {
    const int header = static_cast<int>(p.UserDataHeader.size() / 2);
    EXPECT_LE(TextUnits(p.Text, Encoding), UserDataCapacity(Encoding, header));
  }
}

std::u16string Join(const std::vector<TxcTextPart>& Parts) {
  std::u16string s;
  for (const TxcTextPart& p : Parts)
    s += p.Text;
  return s;
}

TEST(ConcatCapacity, PerEncodingAndHeader) {
  struct Case {
    TxcEncodingType Encoding;
    int Header;
    int Expected;
  } cases[] = {
      {et7BitText, 0, 160},        {et7BitText, 6, 153},        {et7BitText, 7, 152},
      {et7BitText, 12, 146},       {et7BitText, 139, 1},        {et7BitText, 140, 0},
      {et7BitText, -1, 0},         {et8BitHexadecimal, 0, 140}, {et8BitHexadecimal, 6, 134},
      {et8BitHexadecimal, 141, 0}, {etUCS2Text, 0, 70},         {etUCS2Text, 6, 67},
      {etUCS2Text, 7, 66},         {etUCS2Text, 139, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Encoding) + "/" + std::to_string(c.Header));
    EXPECT_EQ(UserDataCapacity(c.Encoding, c.Header), c.Expected);
  }
}

TEST(ConcatCapacity, TextUnits) {
  EXPECT_EQ(TextUnits(u"a\u20AC{", et7BitText), 5); // euro and brace are extension characters
  EXPECT_EQ(TextUnits(u"\u4E2D@", et7BitText), 2);  // no GSM form: one replacement septet
  EXPECT_EQ(TextUnits(u"ABC", et8BitHexadecimal), 2);
  EXPECT_EQ(TextUnits(u"a\U0001F600", etUCS2Text), 3);
  EXPECT_EQ(TextUnits(u"", et7BitText), 0);
  EXPECT_TRUE(FitsOneMessage(Repeat(u'a', 160), et7BitText, ""));
  EXPECT_FALSE(FitsOneMessage(Repeat(u'a', 153) + u"\u20AC", et7BitText, "050003A70201"));
  EXPECT_FALSE(FitsOneMessage(u"a", et7BitText, "0500")); // malformed header
}

TEST(ConcatSplit, SevenBitBoundaries) {
  struct Case {
    size_t Length;
    std::vector<size_t> Sizes;
  } cases[] = {{0, {0}}, {160, {160}}, {161, {153, 8}}, {306, {153, 153}}, {307, {153, 153, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Length);
    const std::u16string text = Repeat(u'x', c.Length);
    std::vector<TxcTextPart> parts;
    ASSERT_TRUE(SplitLongText(text, et7BitText, "", 0xA7, parts));
    ASSERT_EQ(parts.size(), c.Sizes.size());
    for (size_t k = 0; k < parts.size(); ++k) {
      EXPECT_EQ(parts[k].Text.size(), c.Sizes[k]);
      if (parts.size() == 1) {
        EXPECT_EQ(parts[k].UserDataHeader, "");
      } else {
        char want[48];
        std::snprintf(want, sizeof want, "050003A7%02zX%02zX", parts.size(), k + 1);
        EXPECT_EQ(parts[k].UserDataHeader, want);
      }
    }
    EXPECT_EQ(Join(parts), text);
  }
}

TEST(ConcatSplit, NeverDividesAPiece) {
  std::vector<TxcTextPart> parts;
  // The euro sign would take septets 153 and 154: it moves whole to part 2.
  const std::u16string gsm = Repeat(u'a', 152) + u"\u20AC" + Repeat(u'b', 10);
  ASSERT_TRUE(SplitLongText(gsm, et7BitText, "", 1, parts));
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].Text, Repeat(u'a', 152));
  EXPECT_EQ(parts[1].Text, u"\u20AC" + Repeat(u'b', 10));

  // A surrogate pair across the 67th unit.
  const std::u16string ucs = Repeat(u'a', 66) + u"\U0001F600" + Repeat(u'b', 5);
  ASSERT_TRUE(SplitLongText(ucs, etUCS2Text, "", 2, parts));
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].Text.size(), 66u);
  EXPECT_EQ(Join(parts), ucs);

  // Hexadecimal: 134 octets per part; an odd last digit rides with the last.
  struct Case {
    size_t Digits;
    std::vector<size_t> Sizes;
  } hex[] = {
      {280, {280}}, {282, {268, 14}}, {536, {268, 268}}, {538, {268, 268, 2}}, {281, {268, 13}}};
  for (const Case& c : hex) {
    SCOPED_TRACE(c.Digits);
    const std::u16string digits = Repeat(u'F', c.Digits);
    ASSERT_TRUE(SplitLongText(digits, et8BitHexadecimal, "", 3, parts));
    ASSERT_EQ(parts.size(), c.Sizes.size());
    for (size_t k = 0; k < parts.size(); ++k)
      EXPECT_EQ(parts[k].Text.size(), c.Sizes[k]);
  }
}

TEST(ConcatSplit, CallersHeaderCopiedIntoEveryPart) {
  const std::string ports = "0605040B8423F0"; // IE 05: 16-bit application ports
  std::vector<TxcTextPart> parts;
  EXPECT_TRUE(FitsOneMessage(Repeat(u'a', 152), et7BitText, ports));
  ASSERT_TRUE(SplitLongText(Repeat(u'a', 152), et7BitText, ports, 9, parts));
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].UserDataHeader, ports);

  ASSERT_TRUE(SplitLongText(Repeat(u'a', 300), et7BitText, ports, 9, parts));
  ASSERT_EQ(parts.size(), 3u); // 146 septets beside a 12-octet header
  EXPECT_EQ(parts[0].Text.size(), 146u);
  EXPECT_EQ(parts[2].UserDataHeader, "0B05040B8423F0000309"
                                     "0303");
  ExpectPartsFit(parts, et7BitText);

  ASSERT_TRUE(SplitLongText(Repeat(u'A', 2 * 134), et8BitHexadecimal, ports, 9, parts));
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].Text.size(), 2u * 128);
}

TEST(ConcatSplit, PartCountLimit) {
  std::vector<TxcTextPart> parts;
  std::string error;
  ASSERT_TRUE(SplitLongText(Repeat(u'z', 255 * 153), et7BitText, "", 0, parts, &error));
  ASSERT_EQ(parts.size(), 255u);
  EXPECT_EQ(parts[254].UserDataHeader, "05000300FFFF");
  EXPECT_FALSE(SplitLongText(Repeat(u'z', 255 * 153 + 1), et7BitText, "", 0, parts, &error));
  EXPECT_TRUE(parts.empty());
  EXPECT_NE(error.find("255"), std::string::npos) << error;
}

TEST(ConcatSplit, RefusedHeaders) {
  // IE 70 with 130 octets: parts would have a 138-octet header, room for
  // 2 septets, 2 octets or one UCS-2 unit.
  const std::string big = "847082" + std::string(260, '0');
  const std::string big7 = "857083" + std::string(262, '0'); // 139: room for 1 septet
  const std::string huge = "877085" + std::string(266, '0'); // 141: no room at all
  struct Case {
    const char* Name;
    std::string Header;
    TxcEncodingType Encoding;
    std::u16string Text;
  } cases[] = {
      {"odd digits", "05000", et7BitText, u"a"},
      {"not hex", "0G", et7BitText, u"a"},
      {"length octet too small", "040003A70201", et7BitText, u"a"},
      {"length octet too large", "060003A70201", et7BitText, u"a"},
      {"IE past end", "03050400", et7BitText, u"a"},
      {"IE without length", "0205", et7BitText, u"a"},
      {"has IE 00", "050003A70201", et7BitText, u"a"},
      {"has IE 08", "06080400A70201", et7BitText, u"a"},
      {"no room for a pair", big, etUCS2Text, Repeat(u'a', 2) + u"\U0001F600"},
      {"no room for an extension", big7, et7BitText, u"abcdefg\u20AC"},
      {"no room at all", huge, et8BitHexadecimal, u"0000000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<TxcTextPart> parts{{u"stale", ""}};
    std::string error;
    EXPECT_FALSE(SplitLongText(c.Text, c.Encoding, c.Header, 1, parts, &error));
    EXPECT_TRUE(parts.empty());
    EXPECT_FALSE(error.empty());
  }
  std::vector<TxcTextPart> parts;
  ASSERT_TRUE(SplitLongText(Repeat(u'0', 16), et8BitHexadecimal, big, 1, parts));
  EXPECT_EQ(parts.size(), 4u);
}

TEST(ConcatFind, WellFormedAndMalformed) {
  struct Case {
    const char* Header;
    bool Ok;
    int Reference = 0, Total = 0, Sequence = 0;
    bool Sixteen = false;
    const char* Other = "";
  } cases[] = {
      {"050003A70201", true, 0xA7, 2, 1, false, ""},
      {"050003a70202", true, 0xA7, 2, 2, false, ""},
      {"0C08041234030205040B8423F0", true, 0x1234, 3, 2, true, "0605040B8423F0"},
      {"0B05040B8423F0000301FF07", true, 1, 255, 7, false, "0605040B8423F0"},
      {"0B0003010201080400010202", true, 1, 2, 1, false, "06080400010202"}, // first wins
      {"", false},
      {"00", false},
      {"0500", false},                    // length octet says 5, 1 follows
      {"050003A702", false},              // truncated
      {"050003A7020", false},             // odd digits
      {"050003A70203", false},            // sequence past total
      {"050003A70200", false},            // sequence 0
      {"050003A70101", false},            // one part only
      {"0400020A02", false},              // IE 00 with 2 octets
      {"050004A70201", false},            // IE length past the end
      {"06000301020108", false},          // trailing IE without length
      {"0A000201020804000102020", false}, // malformed first concat IE, odd
      {"0A00020102080400010202", false},  // malformed first concat IE decides
      {"0605040B8423F0", false},          // no concat IE
      {"05000xA70201", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Header);
    TxcConcatInfo info;
    info.Reference = -7;
    std::string other = "untouched";
    ASSERT_EQ(FindConcatInfo(c.Header, info, other), c.Ok);
    if (!c.Ok) {
      EXPECT_EQ(info.Reference, -7);
      EXPECT_EQ(other, "untouched");
      continue;
    }
    EXPECT_EQ(info.Reference, c.Reference);
    EXPECT_EQ(info.Total, c.Total);
    EXPECT_EQ(info.Sequence, c.Sequence);
    EXPECT_EQ(info.SixteenBit, c.Sixteen);
    EXPECT_EQ(other, c.Other);
  }
}

std::vector<TMsg> ToMessages(const std::vector<TxcTextPart>& Parts, TxcEncodingType Encoding) {
  std::vector<TMsg> out;
  for (size_t k = 0; k < Parts.size(); ++k)
    out.push_back({Parts[k].Text, Encoding, Parts[k].UserDataHeader, static_cast<int>(k + 1)});
  return out;
}

TEST(ConcatReassembly, OutOfOrderWithDuplicates) {
  const std::u16string text = Repeat(u'q', 200) + u"{}" + Repeat(u'r', 200);
  std::vector<TxcTextPart> parts;
  ASSERT_TRUE(SplitLongText(text, et7BitText, "0605040B8423F0", 0x42, parts));
  ASSERT_EQ(parts.size(), 3u);
  std::vector<TMsg> msgs = ToMessages(parts, et7BitText);

  TReassembler r;
  TMsg done;
  EXPECT_EQ(r.Add("a\nb", msgs[2], done, T0), roHeld);
  EXPECT_EQ(r.Add("a\nb", msgs[0], done, T0), roHeld);
  EXPECT_EQ(r.Add("a\nb", msgs[2], done, T0), roDuplicate);
  EXPECT_EQ(r.Add("other", msgs[1], done, T0), roHeld); // another source's group
  EXPECT_EQ(r.HeldParts(), 3u);
  EXPECT_EQ(r.Add("a\nb", msgs[1], done, T0 + 1s), roComplete);
  EXPECT_EQ(done.SMText, text);
  EXPECT_EQ(done.UserDataHeader, "0605040B8423F0");
  EXPECT_EQ(done.Id, 1);
  EXPECT_EQ(r.HeldParts(), 1u);
  // A copy of a joined part is known again within the time-out.
  EXPECT_EQ(r.Add("a\nb", msgs[0], done, T0 + 30s), roDuplicate);

  TMsg plain{u"hi", et7BitText, "", 9};
  EXPECT_EQ(r.Add("a\nb", plain, done, T0), roNotPart);
}

TEST(ConcatReassembly, MissingPartExpiresAsParts) {
  TReassembler r;
  r.SetTimeOut(10s);
  TMsg done;
  TMsg p1{u"one", et7BitText, "0C0804BEEF030105040B8423F0", 1};
  TMsg p2{u"two", et7BitText, "0C0804BEEF030205040B8423F0", 2};
  TMsg p3{u"three", et7BitText, "0C0804BEEF030305040B8423F0", 3};
  EXPECT_EQ(r.Add("s", p3, done, T0), roHeld);
  EXPECT_EQ(r.Add("s", p1, done, T0 + 2s), roHeld);
  EXPECT_EQ(r.NextExpiry(), T0 + 10s);
  EXPECT_TRUE(r.TakeExpired(T0 + 9s).empty());

  std::vector<TMsg> out = r.TakeExpired(T0 + 10s);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Id, 1);
  EXPECT_EQ(out[0].UserDataHeader, p1.UserDataHeader);
  EXPECT_EQ(out[1].Id, 3);
  EXPECT_EQ(r.HeldParts(), 0u);
  EXPECT_FALSE(r.NextExpiry());

  // The late part comes out by itself; copies of handed-out parts are dropped.
  EXPECT_EQ(r.Add("s", p2, done, T0 + 11s), roHeld);
  EXPECT_EQ(r.NextExpiry(), T0 + 11s);
  EXPECT_EQ(r.Add("s", p1, done, T0 + 12s), roDuplicate);
  out = r.TakeExpired(T0 + 12s);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Id, 2);

  // Once the memory has lapsed, the same reference starts a new group.
  EXPECT_EQ(r.Add("s", p1, done, T0 + 30s), roHeld);
  out = r.TakeAll();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(r.HeldParts(), 0u);
}

TEST(ConcatReassembly, ReusedReferenceAndMixedEncodings) {
  TReassembler r;
  TMsg done;
  TMsg a1{u"old", et7BitText, "050003070201", 1};
  TMsg b1{u"new", et7BitText, "050003070201", 2};
  TMsg b2{u"!", et7BitText, "050003070202", 3};
  EXPECT_EQ(r.Add("s", a1, done, T0), roHeld);
  EXPECT_EQ(r.Add("s", b1, done, T0 + 1s), roHeld); // same number, other text
  EXPECT_EQ(r.NextExpiry(), T0 + 1s);               // the old group is given up at once
  EXPECT_EQ(r.Add("s", b2, done, T0 + 2s), roComplete);
  EXPECT_EQ(done.SMText, u"new!");
  std::vector<TMsg> out = r.TakeExpired(T0 + 2s);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Id, 1);

  TMsg m1{u"0041", etUCS2Text, "050003080201", 4};
  TMsg m2{u"b", et7BitText, "050003080202", 5};
  EXPECT_EQ(r.Add("s", m1, done, T0), roHeld);
  EXPECT_EQ(r.Add("s", m2, done, T0), roHeld);
  out = r.TakeExpired(T0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Id, 4);
  EXPECT_EQ(out[1].Id, 5);
  EXPECT_EQ(r.Add("s", m2, done, T0), roDuplicate);
}

TEST(ConcatReassembly, LimitsGiveUpTheOldestGroup) {
  TReassembler r;
  r.SetLimits(2, 100);
  TMsg done;
  for (int ref = 1; ref <= 3; ++ref) {
    char h[16];
    std::snprintf(h, sizeof h, "050003%02X0201", ref);
    EXPECT_EQ(r.Add("s", TMsg{u"x", et7BitText, h, ref}, done, T0 + ref * 1s), roHeld);
  }
  EXPECT_EQ(r.HeldParts(), 3u);
  EXPECT_EQ(r.NextExpiry(), T0 + 3s); // group 1 was given up then
  std::vector<TMsg> out = r.TakeExpired(T0 + 3s);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Id, 1);

  // The part limit: a group bigger than it can never be held whole.
  r.SetLimits(10, 2);
  EXPECT_EQ(r.Add("t", TMsg{u"1", et7BitText, "050003090301", 11}, done, T0), roHeld);
  EXPECT_EQ(r.HeldParts(), 3u);
  out = r.TakeExpired(T0 + 4s); // group 2 made room
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Id, 2);
  EXPECT_EQ(r.Add("t", TMsg{u"2", et7BitText, "050003090302", 12}, done, T0), roHeld);
  EXPECT_EQ(r.Add("t", TMsg{u"3", et7BitText, "050003090303", 13}, done, T0), roHeld);
  out = r.TakeAll(); // group 3 made room, then the 3-part group could not be held
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].Id, 3);
  EXPECT_EQ(out[1].Id, 11);
  EXPECT_EQ(out[2].Id, 12);
  EXPECT_EQ(out[3].Id, 13);
  EXPECT_EQ(r.HeldParts(), 0u);
}

std::u16string RandomText(std::mt19937& Rng, TxcEncodingType Encoding, size_t Length) {
  static const std::u16string gsm = u"abcXYZ 019@$\u00E9\n{}[]~\\^|\u20AC\u4E2D";
  static const std::u16string hex = u"0123456789ABCDEF";
  std::u16string s;
  while (s.size() < Length) {
    switch (Encoding) {
    case et7BitText:
      s += gsm[Rng() % gsm.size()];
      break;
    case et8BitHexadecimal:
      s += hex[Rng() % hex.size()];
      break;
    case etUCS2Text:
      if (Rng() % 8 == 0)
        s += u"\U0001F600";
      else
        s += static_cast<char16_t>(0x20 + Rng() % 0xD000);
      break;
    }
  }
  return s;
}

TEST(ConcatReassembly, RandomTextsRoundTrip) {
  std::mt19937 rng(20240611);
  TReassembler r;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    const auto encoding = static_cast<TxcEncodingType>(rng() % 3);
    const std::u16string text = RandomText(rng, encoding, rng() % 1200);
    const std::string header = rng() % 2 ? "0605040B8423F0" : "";
    std::vector<TxcTextPart> parts;
    ASSERT_TRUE(SplitLongText(text, encoding, header, static_cast<uint8_t>(round), parts));
    ExpectPartsFit(parts, encoding);
    ASSERT_EQ(Join(parts), text);
    if (parts.size() == 1) {
      EXPECT_TRUE(FitsOneMessage(text, encoding, header));
      continue;
    }
    std::vector<TMsg> msgs = ToMessages(parts, encoding);
    msgs.push_back(msgs[rng() % msgs.size()]); // a duplicate
    std::shuffle(msgs.begin(), msgs.end(), rng);
    int complete = 0;
    TMsg done;
    const std::string source = "src" + std::to_string(round % 7);
    for (TMsg& m : msgs)
      if (r.Add(source, m, done, T0 + round * 1min) == roComplete) {
        ++complete;
        EXPECT_EQ(done.SMText, text);
        EXPECT_EQ(done.UserDataHeader, header);
      }
    EXPECT_EQ(complete, 1);
    EXPECT_EQ(r.HeldParts(), 0u);
  }
}

// Hostile headers: nothing crashes, and every message not dropped as a
// duplicate comes back exactly once.
TEST(ConcatReassembly, GarbageHeadersAreSafeAndNothingIsLost) {
  std::mt19937 rng(7);
  TReassembler r;
  r.SetLimits(8, 20);
  size_t given = 0, back = 0;
  TMsg done;
  for (int i = 0; i < 20000; ++i) {
    std::string h;
    const int kind = static_cast<int>(rng() % 4);
    if (kind == 0) { // arbitrary characters
      for (size_t n = rng() % 12; n > 0; --n)
        h += static_cast<char>(rng() % 256);
    } else if (kind == 1) { // arbitrary octets as hex
      std::string octets;
      for (size_t n = rng() % 10; n > 0; --n)
        octets += static_cast<char>(rng() % 256);
      h = StrToHexStr(octets);
    } else { // plausible concat headers, small numbers so that groups complete
      char b[32];
      std::snprintf(b, sizeof b, "050003%02X%02X%02X", static_cast<unsigned>(rng() % 3),
                    static_cast<unsigned>(rng() % 4), static_cast<unsigned>(rng() % 4));
      h = b;
    }
    TxcConcatInfo info;
    std::string other;
    const bool isPart = FindConcatInfo(h, info, other);
    TMsg m{std::u16string(1, static_cast<char16_t>('a' + i % 3)),
           static_cast<TxcEncodingType>(rng() % 3), h, i};
    const auto now = T0 + std::chrono::milliseconds(i * 37);
    switch (r.Add(std::to_string(rng() % 2), m, done, now)) {
    case roNotPart:
      EXPECT_FALSE(isPart);
      ++given, ++back;
      break;
    case roDuplicate:
      break;
    case roHeld:
      ++given;
      break;
    case roComplete:
      given += 1;
      back += static_cast<size_t>(info.Total);
      break;
    }
    if (rng() % 50 == 0)
      back += r.TakeExpired(now).size();
    EXPECT_EQ(r.HeldParts(), given - back);
  }
  back += r.TakeAll().size();
  EXPECT_EQ(back, given);
}

} // namespace
} // namespace garvel
