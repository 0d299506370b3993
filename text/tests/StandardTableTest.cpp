// The translation file of the standard GSM alphabet that ships with the
// library (gsm0338.ini), read by LoadCharacterTranslationTable.
#include "xuSMSCEncGSM.h"

#include <gtest/gtest.h>

#include <string>

namespace garvel {
namespace {

/// Loads the standard table for one test and restores the defaults after
/// it: the table is shared by the whole process.
class StandardTable : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(LoadCharacterTranslationTable(GARVEL_GSM0338_FILE)); }
  void TearDown() override { LoadDefaultTranslationTable(); }
};

TEST_F(StandardTable, CharactersTheDefaultTableMapsElsewhereTakeTheStandardCodes) {
  // Windows-1252 character, GSM code.
  const std::pair<char, char> cases[] = {
      {'\xE8', 0x04}, // e grave
      {'\xE9', 0x05}, // e acute
      {'\xF9', 0x06}, // u grave
      {'\xEC', 0x07}, // i grave
      {'\xDF', 0x1E}, // sharp s
      {'\xD1', 0x5D}, // N tilde
      {'\xDC', 0x5E}, // U diaeresis
      {'\xA7', 0x5F}, // section sign
      {'\xF1', 0x7D}, // n tilde
      {'\xFC', 0x7E}, // u diaeresis
  };
  for (const auto& [ch, gsm] : cases) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(ch)));
    EXPECT_EQ(ASCIIToGSMAlphabet(std::string(1, ch)), std::string(1, gsm));
    EXPECT_EQ(GSMAlphabetToASCII(std::string(1, gsm)), std::string(1, ch));
    int len = 0;
    EXPECT_EQ(StrToGSM(std::string(1, ch), len), TByteDynArray{static_cast<uint8_t>(gsm)});
    EXPECT_EQ(len, 1);
  }
}

TEST_F(StandardTable, ExtensionCharactersFollowOneEscape) {
  const std::pair<char, char> cases[] = {
      {'\x80', 0x65}, // euro sign
      {'[', 0x3C},    {']', 0x3E}, {'{', 0x28}, {'}', 0x29},  {'\\', 0x2F},
      {'^', 0x14},    {'~', 0x3D}, {'|', 0x40}, {'\f', 0x0A}, // form feed
  };
  for (const auto& [ch, gsm] : cases) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(ch)));
    const std::string codes = {'\x1B', gsm};
    EXPECT_EQ(ASCIIToGSMAlphabet(std::string(1, ch)), codes);
    EXPECT_EQ(GSMAlphabetToASCII(codes), std::string(1, ch));
  }
  // Packed: the escape in septet 0, the code from bit 7 on.
  int len = 0;
  EXPECT_EQ(StrToGSM("^", len), (TByteDynArray{0x1B, 0x0A}));
  EXPECT_EQ(len, 2);
  EXPECT_EQ(StrToGSM("\x80", len), (TByteDynArray{0x9B, 0x32}));
  EXPECT_EQ(StrToGSM("|", len), (TByteDynArray{0x1B, 0x20}));
  EXPECT_EQ(StrToGSM("\f", len), (TByteDynArray{0x1B, 0x05}));
}

TEST_F(StandardTable, TheRestOfTheAlphabetIsUnchanged) {
  const std::string same = "ABCMNXYZabcmnxyz0189 ?!#%&()*+,-./:;<=>";
  EXPECT_EQ(ASCIIToGSMAlphabet(same), same);
  EXPECT_EQ(ASCIIToGSMAlphabet("@$_\xA3\xE0\xBF"), std::string("\x00\x02\x11\x01\x7F\x60", 6));
  EXPECT_EQ(GSMAlphabetToASCII(std::string("\x00\x09\x1F\x7F", 4)), "@\xC7\xC9\xE0");
  // Windows-1252 has no Greek capitals: they read as '?', and the Latin
  // letters the default table gives their codes encode as nothing else.
  EXPECT_EQ(GSMAlphabetToASCII("\x10\x12\x1A"), "???");
  EXPECT_EQ(ASCIIToGSMAlphabet("\xD4\xC1"), "  ");
  // An escape before a code the extension table leaves unused reads as
  // the code alone; a lone escape without escapes allowed is a space.
  EXPECT_EQ(GSMAlphabetToASCII("\x1B\x41"), "A");
  EXPECT_EQ(GSMAlphabetToASCII("\x1B", gsmaDefault), " ");
}

TEST(StandardTableFile, DefaultsComeBackWhenRestored) {
  ASSERT_TRUE(LoadCharacterTranslationTable(GARVEL_GSM0338_FILE));
  LoadDefaultTranslationTable();
  EXPECT_EQ(ASCIIToGSMAlphabet("^"), "\x14");
  EXPECT_EQ(ASCIIToGSMAlphabet("\xE9"), "\x04");
}

} // namespace
} // namespace garvel
