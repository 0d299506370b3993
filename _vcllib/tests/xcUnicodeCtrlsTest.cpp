#include "xcUnicodeCtrls.h"

#include "XTestDriver.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <gtest/gtest.h>

#include <memory>

namespace garvel::vcl {
namespace {

using garvel::testing::TXTestDriver;
using garvel::testing::WaitFor;

class UnicodeMemoTest : public ::testing::Test {
protected:
  void SetUp() override {
    FWindow = std::make_unique<Fl_Double_Window>(240, 140, "memo");
    FMemo = new TxcUnicodeMemo(10, 10, 200, 80);
    FNext = new Fl_Input(10, 100, 200, 24);
    FWindow->end();
    FWindow->show();
    FDriver = std::make_unique<TXTestDriver>();
    ASSERT_TRUE(FDriver->WaitViewable(*FWindow));
    FDriver->Focus(*FWindow);
    FDriver->Click(*FMemo);
    ASSERT_TRUE(WaitFor([&] { return Fl::focus() == FMemo; }));
  }
  void TearDown() override {
    FDriver.reset();
    FWindow->hide();
    FWindow.reset();
    Fl::wait(0);
  }

  std::unique_ptr<Fl_Double_Window> FWindow;
  TxcUnicodeMemo* FMemo = nullptr;
  Fl_Input* FNext = nullptr;
  std::unique_ptr<TXTestDriver> FDriver;
};

TEST_F(UnicodeMemoTest, TypedTextOfAnyScriptComesBackAsUtf16) {
  // Latin, Cyrillic, Greek, a line break, the euro sign and two characters
  // outside the BMP.
  ASSERT_TRUE(garvel::testing::TypeText(*FDriver, *FMemo, U"Aя λ\n€😀𝄞"));
  std::u16string text;
  FMemo->GetUnicodeText(text);
  EXPECT_EQ(text, u"Aя λ\n€😀𝄞");
  EXPECT_EQ(text.size(), 10u); // two surrogate pairs
  EXPECT_EQ(text[6], char16_t(0xD83D));
  EXPECT_EQ(text[7], char16_t(0xDE00));
  // The 8-bit view keeps what Windows-1252 has; each half of a surrogate
  // pair reads as its own '?'.
  EXPECT_EQ(FMemo->Text(), "A? ?\n\x80????");
}

TEST_F(UnicodeMemoTest, TabMovesTheFocusOnInsteadOfInsertingIt) {
  ASSERT_TRUE(garvel::testing::TypeText(*FDriver, *FMemo, U"x"));
  FDriver->Key(garvel::testing::kTabKey);
  ASSERT_TRUE(WaitFor([&] { return Fl::focus() == FNext; }));
  std::u16string text;
  FMemo->GetUnicodeText(text);
  EXPECT_EQ(text, u"x");
}

TEST_F(UnicodeMemoTest, TextSetInEitherFormReadsBackInBoth) {
  std::u16string text = u"stale";
  FMemo->GetUnicodeText(text);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(FMemo->Text(), "");

  FMemo->SetText("caf\xe9 \x80");
  FMemo->GetUnicodeText(text);
  EXPECT_EQ(text, u"café €");
  EXPECT_EQ(FMemo->Text(), "caf\xe9 \x80");

  FMemo->SetUnicodeText(u"Ж😀");
  FMemo->GetUnicodeText(text);
  EXPECT_EQ(text, u"Ж😀");
  // An unpaired surrogate cannot be stored as UTF-8.
  FMemo->SetUnicodeText(std::u16string(1, char16_t(0xD800)) + u"a");
  FMemo->GetUnicodeText(text);
  EXPECT_EQ(text, u"\uFFFDa");
}

} // namespace
} // namespace garvel::vcl
