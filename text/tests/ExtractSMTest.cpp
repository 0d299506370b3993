// Tests of the hexadecimal, UCS-2 and user-data conversions.
#include "xuSMSCExtractSM.h"

#include "xuSMSCEncGSM.h"

#include <gtest/gtest.h>

#include <string>

namespace garvel {
namespace {

TEST(Hex, Encode) {
  EXPECT_EQ(StrToHexStr(std::string("\x00\xAB", 2)), "00AB");
  EXPECT_EQ(StrToHexStr(""), "");
  EXPECT_EQ(BinToHexStr({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}), "0123456789ABCDEF");
  EXPECT_EQ(BinToHexStr({}), "");
}

TEST(Hex, Decode) {
  struct Case {
    const char* name;
    std::string hex;
    std::string bytes;
  } cases[] = {
      {"lower case", "00ab", std::string("\x00\xAB", 2)},
      {"mixed case", "fFaA", "\xFF\xAA"},
      {"odd length drops the last character", "41424", "AB"},
      {"one character", "4", ""},
      {"bad pair gives 0", "1G41",
       std::string("\x00"
                   "A",
                   2)},
      {"no separators skipped", "41 42", std::string("A\x00", 2)},
      {"sign is no digit", "-1+1", std::string("\x00\x00", 2)},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HexStrToStr(c.hex), c.bytes);
    EXPECT_EQ(HexStrToBin(c.hex), StrToBin(c.bytes));
  }
}

TEST(Hex, RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b)
    all.push_back(static_cast<char>(b));
  EXPECT_EQ(HexStrToStr(StrToHexStr(all)), all);
  EXPECT_EQ(BinToStr(HexStrToBin(BinToHexStr(StrToBin(all)))), all);
}

TEST(UCS2, BigEndianPairs) {
  EXPECT_EQ(WideStringToBin(u"\u20AC"), (TByteDynArray{0x20, 0xAC}));
  EXPECT_EQ(BinToWideString({0x00, 0x41, 0x00}), u"A");
  EXPECT_EQ(BinToWideString({0x00}), u"");
  EXPECT_EQ(BinToWideString({0xD8, 0x3D, 0xDE, 0x00}), u"\xD83D\xDE00"); // taken as they are
  EXPECT_EQ(WideStringToHexStr(u"A\u20AC\uFFFF"), "004120ACFFFF");
  EXPECT_EQ(HexStrToWideString("004120ac0"), u"A\u20AC");
  EXPECT_EQ(WideStringToHexStr(u""), "");
}

TEST(BinSplit, EightBit) {
  struct Case {
    const char* name;
    TByteDynArray data;
    bool hasUDH;
    TByteDynArray udh, ud;
  } cases[] = {
      {"header and text", {0x02, 0xAA, 0xBB, 0x41, 0x42}, true, {0x02, 0xAA, 0xBB}, {0x41, 0x42}},
      {"no header", {0x02, 0xAA}, false, {}, {0x02, 0xAA}},
      {"header only", {0x01, 0xAA}, true, {0x01, 0xAA}, {}},
      {"length byte past the data", {0x09, 0xAA, 0xBB}, true, {0x09, 0xAA, 0xBB}, {}},
      {"length byte 255", {0xFF}, true, {0xFF}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TByteDynArray udh = {0xEE}, ud = {0xEE};
    BinSplit(c.data, false, c.hasUDH, 0, udh, ud);
    EXPECT_EQ(udh, c.udh);
    EXPECT_EQ(ud, c.ud);
  }
}

TEST(BinSplit, EmptyDataLeavesOutputsAlone) {
  for (bool sevenBit : {false, true}) {
    TByteDynArray udh = {0x01}, ud = {0x02};
    BinSplit({}, sevenBit, true, 5, udh, ud);
    EXPECT_EQ(udh, TByteDynArray{0x01});
    EXPECT_EQ(ud, TByteDynArray{0x02});
  }
}

TEST(BinSplit, SevenBitWithHeader) {
  const TByteDynArray data = {0x05, 0x00, 0x03, 0x01, 0x02, 0x01, 0x90, 0x69};
  TByteDynArray udh, ud;
  BinSplit(data, true, true, 9, udh, ud);
  EXPECT_EQ(udh, (TByteDynArray{0x05, 0x00, 0x03, 0x01, 0x02, 0x01}));
  EXPECT_EQ(BinToStr(ud), "Hi");
}

TEST(BinSplit, SevenBitHeaderLongerThanData) {
  TByteDynArray udh, ud;
  BinSplit({0x0A, 0x41, 0x42}, true, true, 3, udh, ud);
  EXPECT_EQ(udh, (TByteDynArray{0x0A, 0x41, 0x42}));
  EXPECT_TRUE(ud.empty());
  // Len announcing more septets than header and data hold: the missing
  // text septets read as spaces.
  // The 11-byte header takes 13 septets, so Len 15 leaves two.
  BinSplit({0x0A, 0x41, 0x42}, true, true, 15, udh, ud);
  EXPECT_EQ(BinToStr(ud), "  ");
}

TEST(BinSplit, HeaderSeptetsThatLookLikeAnEscape) {
  // Reference number 0xB0 makes header septet 4 read as 0x1B; the text after
  // the header must not lose a character to it.
  const TByteDynArray udh = {0x05, 0x00, 0x03, 0xB0, 0x01, 0x01};
  int len = 0;
  const TByteDynArray data = BinCompose(udh, StrToBin("Hello"), true, len);
  EXPECT_EQ(len, 12);
  TByteDynArray gotUDH, gotUD;
  BinSplit(data, true, true, len, gotUDH, gotUD);
  EXPECT_EQ(gotUDH, udh);
  EXPECT_EQ(BinToStr(gotUD), "Hello");
}

TEST(BinCompose, Vectors) {
  struct Case {
    const char* name;
    TByteDynArray udh;
    std::string ud;
    bool sevenBit;
    const char* out;
    int len;
  } cases[] = {
      {"7-bit after a 6-byte header",
       {0x05, 0x00, 0x03, 0x01, 0x02, 0x01},
       "Hi",
       true,
       "05000301020190"
       "69",
       9},
      {"7-bit without header is plain packing", {}, "hellohello", true, "E8329BFD4697D9EC37", 10},
      {"originator ABC", {}, "ABC", true, "41E110", 3},
      {"header alone", {0x05, 0x00, 0x03, 0x01, 0x02, 0x01}, "", true, "050003010201", 7},
      {"one-byte header: six fill bits",
       {0x00},
       "A",
       true,
       "00"
       "4010",
       3},
      {"seven-byte header: no fill bits",
       {0x06, 1, 2, 3, 4, 5, 6},
       "A",
       true,
       "0601020304050641",
       9},
      {"8-bit",
       {0x05, 0x00, 0x03, 0x01, 0x02, 0x01},
       "0123456789",
       false,
       "0500030102013031323334353637383"
       "9",
       16},
      {"8-bit, nothing", {}, "", false, "", 0},
      {"empty 7-bit", {}, "", true, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int len = -1;
    EXPECT_EQ(BinToHexStr(BinCompose(c.udh, StrToBin(c.ud), c.sevenBit, len)), c.out);
    EXPECT_EQ(len, c.len);
  }
}

TEST(BinCompose, FullConcatenatedPart) {
  const TByteDynArray udh = {0x05, 0x00, 0x03, 0x01, 0x02, 0x01};
  std::string text;
  for (int i = 0; i < 153; ++i)
    text.push_back(static_cast<char>('a' + i % 26));
  int len = 0;
  const TByteDynArray data = BinCompose(udh, StrToBin(text), true, len);
  EXPECT_EQ(len, 160);
  EXPECT_EQ(data.size(), 6u + 134u);
  EXPECT_EQ(data.size(), 140u); // the most a short message carries

  TByteDynArray gotUDH, gotUD;
  BinSplit(data, true, true, len, gotUDH, gotUD);
  EXPECT_EQ(gotUDH, udh);
  EXPECT_EQ(BinToStr(gotUD), text);
}

TEST(UserData, SevenBitRoundTripForEveryFill) {
  // Header lengths 0 to 7 give every fill-bit count from 0 to 6.
  const std::string source = "Mixed {text} with [escapes] \x80 and ~ the rest: 0123456789 abcdef";
  for (size_t headerBytes = 0; headerBytes <= 7; ++headerBytes) {
    TByteDynArray udh;
    if (headerBytes > 0) {
      udh.push_back(static_cast<uint8_t>(headerBytes - 1));
      for (size_t i = 1; i < headerBytes; ++i)
        udh.push_back(static_cast<uint8_t>(0xB0 + 13 * i)); // arbitrary header bytes
    }
    const size_t headerSeptets = (8 * headerBytes + 6) / 7;
    for (size_t n = 0; n <= source.size(); ++n) {
      SCOPED_TRACE(testing::Message() << "header=" << headerBytes << " n=" << n);
      const std::string text = source.substr(0, n);
      int len = 0;
      const TByteDynArray data = BinCompose(udh, StrToBin(text), true, len);
      const std::string codes = ASCIIToGSMAlphabet(text, gsmaExtended);
      EXPECT_EQ(static_cast<size_t>(len), headerSeptets + codes.size());
      const size_t fill = (7 - 8 * headerBytes % 7) % 7;
      EXPECT_EQ(data.size(), headerBytes + (codes.empty() ? 0 : (fill + 7 * codes.size() + 7) / 8));

      TByteDynArray gotUDH, gotUD;
      BinSplit(data, true, headerBytes > 0, len, gotUDH, gotUD);
      if (data.empty())
        continue; // nothing to split: outputs untouched
      EXPECT_EQ(gotUDH, udh);
      EXPECT_EQ(BinToStr(gotUD), text);
    }
  }
}

} // namespace
} // namespace garvel
