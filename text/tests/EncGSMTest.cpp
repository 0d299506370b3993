// Tests of the GSM 7-bit alphabet, its packing and the translation table.
#include "xuSMSCEncGSM.h"

#include "xuSMSCExtractSM.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace garvel {
namespace {

std::string Bytes(std::initializer_list<int> L) {
  std::string s;
  for (int b : L)
    s.push_back(static_cast<char>(b));
  return s;
}

// Bit-by-bit reference packing: septet k at stream bits Fill + 7k ..
// Fill + 7k + 6, least significant bit first.
TByteDynArray ReferencePack(const std::string& Codes, int Fill) {
  const size_t bits = static_cast<size_t>(Fill) + 7 * Codes.size();
  TByteDynArray out((bits + 7) / 8, 0);
  for (size_t k = 0; k < Codes.size(); ++k)
    for (int b = 0; b < 7; ++b)
      if ((static_cast<unsigned char>(Codes[k]) >> b) & 1) {
        const size_t pos = static_cast<size_t>(Fill) + 7 * k + static_cast<size_t>(b);
        out[pos / 8] = static_cast<uint8_t>(out[pos / 8] | (1u << (pos % 8)));
      }
  return out;
}

// Every test leaves the process-wide table as it found it: the defaults.
class TranslationTable : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("garvel_text_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(FDir);
  }
  void TearDown() override {
    LoadDefaultTranslationTable();
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  std::string Write(const std::string& Name, const std::string& Contents) {
    const std::filesystem::path p = FDir / Name;
    std::ofstream(p, std::ios::binary) << Contents;
    return p.string();
  }
  std::filesystem::path FDir;
};

// Row 0 of the library's table, retyped from the design table: GSM code
// 16 * line + column -> Windows-1252 character.
const char* const kRow0[8] = {
    "40A324A5E9F9ECF2F2C70AD8F80DC5E5", "C15FD4C35ED9D0FFCAD3CE20C6E6F1C9",
    "20212223A425262728292A2B2C2D2E2F", "303132333435363738393A3B3C3D3E3F",
    "A14142434445464748494A4B4C4D4E4F", "505152535455565758595AC4D6DCA7D1",
    "BF6162636465666768696A6B6C6D6E6F", "707172737475767778797AE4F6FCDFE0",
};

TEST(GSMAlphabetToASCII, DefaultRowZero) {
  std::string expected;
  for (const char* line : kRow0)
    expected += HexStrToStr(line);
  std::string codes;
  for (int c = 0; c < 128; ++c)
    codes.push_back(static_cast<char>(c));
  // gsmaDefault has no escapes, so 0x1B reads as its row-0 entry too.
  EXPECT_EQ(StrToHexStr(GSMAlphabetToASCII(codes, gsmaDefault)), StrToHexStr(expected));
}

TEST(GSMAlphabetToASCII, DefaultEscapeRows) {
  for (int c = 0; c < 128; ++c) {
    SCOPED_TRACE(c);
    const std::string esc1 = Bytes({0x1B, c});
    const std::string esc2 = Bytes({0x1B, 0x1B, c});
    char row1 = ' ';
    switch (c) {
    case 0x14:
      row1 = '^';
      break;
    case 0x28:
      row1 = '{';
      break;
    case 0x29:
      row1 = '}';
      break;
    case 0x2F:
      row1 = '\\';
      break;
    case 0x3C:
      row1 = '[';
      break;
    case 0x3D:
      row1 = '~';
      break;
    case 0x3E:
      row1 = ']';
      break;
    case 0x65:
      row1 = static_cast<char>(0x80);
      break;
    default:
      break;
    }
    if (c == 0x1B)
      continue; // a second escape, covered below
    EXPECT_EQ(GSMAlphabetToASCII(esc1, gsmaExtended), std::string(1, row1));
    EXPECT_EQ(GSMAlphabetToASCII(esc2, gsmaThreeEscape), " ");
  }
}

TEST(GSMAlphabetToASCII, EscapeDepthPerAlphabet) {
  struct Case {
    const char* name;
    std::string codes;
    TxcGSMAlphabet alphabet;
    std::string text;
  } cases[] = {
      {"extended: second escape dropped", Bytes({0x1B, 0x1B, 0x41}), gsmaExtended, "A"},
      {"three-escape: third escape dropped", Bytes({0x1B, 0x1B, 0x1B, 0x41}), gsmaThreeEscape, "A"},
      {"three-escape: row 2", Bytes({0x1B, 0x1B, 0x41}), gsmaThreeEscape, " "},
      {"default: escape is an ordinary code", Bytes({0x1B, 0x28}), gsmaDefault, " ("},
      {"extended: brace", Bytes({0x1B, 0x28}), gsmaExtended, "{"},
      {"depth resets after each character", Bytes({0x1B, 0x28, 0x28}), gsmaExtended, "{("},
      {"trailing escape emits nothing", Bytes({0x41, 0x1B}), gsmaExtended, "A"},
      {"unknown ordinal acts as extended", Bytes({0x1B, 0x3C, 0x1B, 0x1B, 0x41}),
       static_cast<TxcGSMAlphabet>(7), "[A"},
      {"code 0x07", Bytes({0x07}), gsmaExtended, "\xF2"},
      // Codes of 128 or more use their low 7 bits, as the packing does.
      {"high codes are masked", Bytes({0xC1, 0x80, 0x9B, 0xA8}), gsmaExtended, "A@{"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GSMAlphabetToASCII(c.codes, c.alphabet), c.text);
  }
}

TEST(ASCIIToGSMAlphabet, Lookups) {
  struct Case {
    const char* name;
    std::string text;
    TxcGSMAlphabet alphabet;
    std::string codes;
  } cases[] = {
      {"brace, extended", "{", gsmaExtended, Bytes({0x1B, 0x28})},
      {"brace, default", "{", gsmaDefault, " "},
      {"euro, extended", "\x80", gsmaExtended, Bytes({0x1B, 0x65})},
      {"euro, three-escape", "\x80", gsmaThreeEscape, Bytes({0x1B, 0x65})},
      {"circumflex is found in row 0 first", "^", gsmaExtended, Bytes({0x14})},
      {"o grave: the higher of two codes", "\xF2", gsmaExtended, Bytes({0x08})},
      {"e grave has no entry", "\xE8", gsmaExtended, " "},
      {"space", " ", gsmaDefault, " "},
      {"at sign is code 0", "@", gsmaExtended, Bytes({0x00})},
      {"mixed", "a\\b|", gsmaExtended, Bytes({0x61, 0x1B, 0x2F, 0x62, 0x20})},
      {"empty", "", gsmaExtended, ""},
      {"departures", "\xE9\xF9\xEC\xF1\xDC\xA7\xD1\xFC\xDF", gsmaExtended,
       Bytes({0x04, 0x05, 0x06, 0x1E, 0x5D, 0x5E, 0x5F, 0x7D, 0x7E})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StrToHexStr(ASCIIToGSMAlphabet(c.text, c.alphabet)), StrToHexStr(c.codes));
  }
}

TEST(ASCIIToGSMAlphabet, RoundTripsEveryMappedCharacter) {
  for (int ch = 0; ch < 256; ++ch) {
    SCOPED_TRACE(ch);
    const std::string s(1, static_cast<char>(ch));
    const std::string codes = ASCIIToGSMAlphabet(s, gsmaExtended);
    if (codes == " " && ch != ' ')
      continue; // not in the table
    EXPECT_EQ(GSMAlphabetToASCII(codes, gsmaExtended), s);
  }
}

TEST(StrToGSM, PackingVectors) {
  struct Case {
    const char* name;
    std::string text;
    int fill;
    const char* packed;
    int len;
  } cases[] = {
      {"hellohello", "hellohello", 0, "E8329BFD4697D9EC37", 10},
      {"hellohello, 1 fill bit", "hellohello", 1, "D06536FB8D2EB3D96F", 10},
      {"abcdefgh, 1 fill bit: last byte holds one bit", "abcdefgh", 1, "C2E231B96C3EA301", 8},
      {"Hello", "Hello", 0, "C8329BFD06", 5},
      {"How are you?", "How are you?", 0, "C8F71D14969741F977FD07", 12},
      {"seven characters: spare bits stay 0", "1234567", 0, "31D98C56B3DD00", 7},
      {"ABC", "ABC", 0, "41E110", 3},
      {"escape counts in Len", "{}", 0, "1BD42605", 4},
      {"unmapped becomes a space", "\xE8", 0, "20", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int len = -1;
    EXPECT_EQ(BinToHexStr(StrToGSM(c.text, len, c.fill, gsmaExtended)), c.packed);
    EXPECT_EQ(len, c.len);
  }
}

TEST(StrToGSM, EmptyTextGivesNothing) {
  int len = 99;
  EXPECT_TRUE(StrToGSM("", len, 3).empty());
  EXPECT_EQ(len, 0);
}

TEST(StrToGSM, MatchesBitwisePackingForEveryFill) {
  std::string text;
  for (int i = 0; i < 40; ++i)
    text.push_back(static_cast<char>("The quick brown fox {jumps} over 12\x80!"[i % 38]));
  for (size_t n = 1; n <= text.size(); ++n)
    for (int fill = 0; fill <= 6; ++fill) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " fill=" << fill);
      const std::string s = text.substr(0, n);
      int len = 0;
      const TByteDynArray packed = StrToGSM(s, len, fill);
      EXPECT_EQ(packed, ReferencePack(ASCIIToGSMAlphabet(s, gsmaExtended), fill));
      EXPECT_EQ(static_cast<size_t>(len), ASCIIToGSMAlphabet(s, gsmaExtended).size());
    }
}

TEST(StrToGSM, FillBitsOutsideTheRangeAreClamped) {
  int len = 0;
  EXPECT_EQ(StrToGSM("A", len, -3), StrToGSM("A", len, 0));
  EXPECT_EQ(StrToGSM("A", len, 40), StrToGSM("A", len, 6));
}

TEST(GSMToStr, Unpacking) {
  const TByteDynArray seven = {0x31, 0xD9, 0x8C, 0x56, 0xB3, 0xDD, 0x00}; // "1234567"
  TByteDynArray sevenCR = seven;
  sevenCR[6] = 0x1A; // the spare septet is a carriage return
  struct Case {
    const char* name;
    TByteDynArray data;
    int len;
    std::string text;
  } cases[] = {
      {"one byte", {0x41}, 1, "A"},
      {"empty", {}, 5, ""},
      {"spare septet dropped by Len", seven, 7, "1234567"},
      {"spare carriage return removed", sevenCR, 7, "1234567"},
      {"carriage return wins over Len", sevenCR, 3, "1234567"},
      {"Len shorter than the data", seven, 4, "1234"},
      {"Len 0", seven, 0, ""},
      {"negative Len", seven, -2, ""},
      {"missing septets read as spaces", {0x41}, 3, "A  "},
      {"hellohello", {0xE8, 0x32, 0x9B, 0xFD, 0x46, 0x97, 0xD9, 0xEC, 0x37}, 10, "hellohello"},
      // Codes 31 1B 65: the escape pair gives one character, and no space
      // is added for it.
      {"escape shortens the text", {0xB1, 0x4D, 0x19}, 3, "1\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StrToHexStr(GSMToStr(c.data, c.len, gsmaExtended)), StrToHexStr(c.text));
  }
}

TEST(GSMToStr, EscapesNeverLetSpareBitsIn) {
  // Texts whose septets end one short of a byte boundary leave a spare
  // septet of zero bits ('@'); escapes must not make it count as text, nor
  // make the text longer than what was packed.
  for (const std::string s : {"abcde\x80", "abcdef\x80", "[x]", "{}", "\x80", "a~b~c~d~e~f"}) {
    SCOPED_TRACE(s);
    int len = 0;
    const TByteDynArray packed = StrToGSM(s, len, 0, gsmaExtended);
    EXPECT_EQ(GSMToStr(packed, len, gsmaExtended), s);
  }
}

TEST(GSMToStr, RoundTripsEveryLength) {
  const std::string alphabet = "Hello World 0123456789 @$_!?";
  for (size_t n = 0; n <= 160; ++n) {
    SCOPED_TRACE(n);
    std::string s;
    for (size_t i = 0; i < n; ++i)
      s.push_back(alphabet[i % alphabet.size()]);
    int len = 0;
    const TByteDynArray packed = StrToGSM(s, len);
    EXPECT_EQ(static_cast<size_t>(len), n);
    EXPECT_EQ(packed.size(), (7 * n + 7) / 8);
    EXPECT_EQ(GSMToStr(packed, len), s);
  }
}

TEST(GSMHex, HexForms) {
  int len = 0;
  EXPECT_EQ(BinToHexStr(HexStrToGSM("68656C6C6F68656C6C6F", len)), "E8329BFD4697D9EC37");
  EXPECT_EQ(len, 10);
  EXPECT_EQ(BinToHexStr(HexStrToGSM("7B", len, gsmaDefault)), "20");
  EXPECT_EQ(len, 1);
  EXPECT_EQ(GSMToHexStr({0xE8, 0x32, 0x9B, 0xFD, 0x46, 0x97, 0xD9, 0xEC, 0x37}, 10),
            "68656C6C6F68656C6C6F");
  EXPECT_EQ(GSMToHexStr({}, 3), "");
}

TEST_F(TranslationTable, OverrideChangesBothDirections) {
  ASSERT_TRUE(LoadCharacterTranslationTable(Write("t.ini", "[Table0]\n065=B\n")));
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x41}), gsmaExtended), "B");
  EXPECT_EQ(ASCIIToGSMAlphabet("A", gsmaExtended), " ");           // A is no longer in row 0
  EXPECT_EQ(ASCIIToGSMAlphabet("B", gsmaExtended), Bytes({0x42})); // the higher index wins

  // A new, higher entry for a character takes over its encoding.
  ASSERT_TRUE(LoadCharacterTranslationTable(Write("v.ini", "[Table0]\n100=A\n")));
  EXPECT_EQ(ASCIIToGSMAlphabet("Ad", gsmaExtended), Bytes({0x64, 0x20}));
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x41, 0x64}), gsmaExtended), "AA");

  // The next load starts from the defaults again.
  ASSERT_TRUE(LoadCharacterTranslationTable(Write("u.ini", "[Table0]\n066=C\n")));
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x41, 0x42}), gsmaExtended), "AC");
  EXPECT_EQ(ASCIIToGSMAlphabet("A", gsmaExtended), Bytes({0x41}));
}

TEST_F(TranslationTable, ValueForms) {
  const std::string file = Write("forms.ini", "[Table0]\n"
                                              "000=0x41\n"  // hexadecimal
                                              "001=067\n"   // three decimal digits
                                              "002=5\n"     // the character itself
                                              "003=256\n"   // out of range: ignored
                                              "004=abc\n"   // not a number: ignored
                                              "005=0X41\n"  // upper-case X: ignored
                                              "006=0x4\n"   // three characters, no number
                                              "007=12345\n" // other length: ignored
                                              "008=\n"      // empty: ignored
                                              "009=-12\n"   // negative: ignored
                                              "010=0xfe\n"  // lower-case digits
                                              "[table1]\n"  // section names ignore case
                                              "101=0x24\n"
                                              "[Table2]\n"
                                              "065=0xA9\n"
                                              "[Table9]\n"
                                              "001=Z\n");
  ASSERT_TRUE(LoadCharacterTranslationTable(file));
  const std::string decoded =
      GSMAlphabetToASCII(Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), gsmaExtended);
  EXPECT_EQ(StrToHexStr(decoded), "414335A5E9F9ECF2F2C7FE");
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x1B, 0x65}), gsmaExtended), "$");
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x1B, 0x1B, 0x41}), gsmaThreeEscape), "\xA9");
  EXPECT_EQ(ASCIIToGSMAlphabet("\xA9", gsmaThreeEscape), Bytes({0x1B, 0x1B, 0x41}));
  EXPECT_EQ(ASCIIToGSMAlphabet("\xA9", gsmaExtended), " ");
  EXPECT_EQ(ASCIIToGSMAlphabet("\x80", gsmaExtended), " "); // the euro was replaced
}

TEST_F(TranslationTable, MissingFileRestoresDefaultsAndFails) {
  ASSERT_TRUE(LoadCharacterTranslationTable(Write("t.ini", "[Table0]\n065=B\n")));
  EXPECT_FALSE(LoadCharacterTranslationTable((FDir / "nope.ini").string()));
  EXPECT_FALSE(LoadCharacterTranslationTable(FDir.string())); // a directory
  EXPECT_FALSE(LoadCharacterTranslationTable(""));
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x41}), gsmaExtended), "A");
  EXPECT_EQ(ASCIIToGSMAlphabet("A", gsmaExtended), Bytes({0x41}));
}

TEST_F(TranslationTable, BadHexStopsWithPartialTable) {
  const std::string file = Write("bad.ini", "[Table0]\n"
                                            "065=B\n"
                                            "[Table1]\n"
                                            "010=0x7C\n"
                                            "040=0xG1\n" // the bad one
                                            "041=0x3F\n" // after it: not applied
                                            "[Table2]\n"
                                            "000=X\n");
  try {
    LoadCharacterTranslationTable(file);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Error while reading section \"Table1\" variable \"040\".");
  }
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x41}), gsmaExtended), "B");
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x1B, 0x0A}), gsmaExtended), "|");
  EXPECT_EQ(ASCIIToGSMAlphabet("|", gsmaExtended), Bytes({0x1B, 0x0A}));
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x1B, 0x28, 0x1B, 0x29}), gsmaExtended), "{}");
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x1B, 0x1B, 0x00}), gsmaThreeEscape), " ");

  EXPECT_TRUE(LoadDefaultTranslationTable());
  EXPECT_EQ(GSMAlphabetToASCII(Bytes({0x41, 0x1B, 0x0A}), gsmaExtended), "A ");
}

TEST_F(TranslationTable, ConcurrentConversionsAreSafe) {
  // Conversions from many threads at once, while another thread keeps
  // reloading the table (not a supported use, but it must stay memory-safe:
  // the results are only checked for their shape).
  const std::string file = Write("t.ini", "[Table0]\n065=B\n[Table1]\n040=0x7C\n");
  std::atomic<bool> stop{false};
  std::thread loader([&] {
    for (int i = 0; i < 200; ++i) {
      LoadCharacterTranslationTable(file);
      LoadDefaultTranslationTable();
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  std::atomic<int> bad{0};
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      const std::string text = "ABC {x} hello \x80";
      do {
        int len = 0;
        const TByteDynArray packed = StrToGSM(text, len);
        if (packed.size() != (7 * static_cast<size_t>(len) + 7) / 8)
          ++bad;
        if (GSMToStr(packed, len).size() > static_cast<size_t>(len))
          ++bad;
      } while (!stop);
    });
  loader.join();
  for (std::thread& r : readers)
    r.join();
  EXPECT_EQ(bad, 0);
  int len = 0;
  const TByteDynArray packed = StrToGSM("ABC {x}", len);
  EXPECT_EQ(GSMToStr(packed, len), "ABC {x}");
}

} // namespace
} // namespace garvel
