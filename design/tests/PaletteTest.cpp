// The palette window over the loaded dclgarv, driven with real X input.
#include "PaletteWindow.h"

#include "XTestDriver.h"

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace garvel::design {
namespace {

using garvel::testing::TXTestDriver;
using garvel::testing::WaitFor;

void RunSoon(std::function<void()> Steps) {
  Fl::add_timeout(
      0.05,
      [](void* Data) {
        std::unique_ptr<std::function<void()>> steps(static_cast<std::function<void()>*>(Data));
        (*steps)();
      },
      new std::function<void()>(std::move(Steps)));
}

// The first shown window other than Except whose X class is Class (any
// class when Class is empty).
Fl_Window* FindWindow(const Fl_Window* Except, const std::string& Class) {
  for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w))
    if (w != Except && w->shown() && (Class.empty() || (w->xclass() && Class == w->xclass())))
      return w;
  return nullptr;
}

class PaletteTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::ostringstream errors;
    ASSERT_EQ(LoadPackages(FHost, {DCLGARV_FILE, "/nonexistent/p.so"}, errors), 1);
    EXPECT_NE(errors.str().find("/nonexistent/p.so"), std::string::npos);
    FPalette = std::make_unique<TfmPalette>(FHost);
    FPalette->show();
    FDriver = std::make_unique<TXTestDriver>();
    ASSERT_TRUE(FDriver->WaitViewable(*FPalette, 20000));
  }
  void TearDown() override {
    FPalette.reset();
    FDriver.reset();
  }

  // Schedules closing the About box with OK once it shows; Done is set then.
  void CloseAboutSoon(std::string& Caption, bool& Done) {
    RunSoon([this, &Caption, &Done] {
      Fl_Window* box = nullptr;
      if (!WaitFor([&] { return (box = FindWindow(FPalette.get(), "TfmAbout")) != nullptr; },
                   20000) ||
          !FDriver->WaitViewable(*box, 20000))
        return;
      Caption = box->label();
      for (int i = 0; i < box->children(); ++i)
        if (box->child(i)->label() && std::string(box->child(i)->label()) == "OK")
          FDriver->Click(*box->child(i));
      Done = WaitFor([&] { return !box->shown(); }, 20000);
    });
  }

  TPackageHost FHost;
  std::unique_ptr<TfmPalette> FPalette;
  std::unique_ptr<TXTestDriver> FDriver;
};

TEST_F(PaletteTest, ShowsPagesAndCreatesComponents) {
  ASSERT_EQ(FPalette->Tabs->children(), 1);
  EXPECT_STREQ(FPalette->Tabs->child(0)->label(), "Vornak");
  std::vector<std::string> tips;
  for (Fl_Button* b : FPalette->ClassButtons) {
    tips.push_back(b->tooltip());
    EXPECT_NE(b->image(), nullptr);
  }
  EXPECT_EQ(tips, (std::vector<std::string>{"TxcGarvelSEMA", "TxcGarvelCIMD2", "TxcGarvelUCP",
                                            "TxcGarvelSMPP"}));

  FDriver->Click(*FPalette->ClassButtons[2]);
  ASSERT_TRUE(WaitFor([&] { return FPalette->lbComponents->size() == 1; }, 20000));
  EXPECT_STREQ(FPalette->lbComponents->text(1), "xcGarvelUCP1\tTxcGarvelUCP");
  FDriver->Click(*FPalette->ClassButtons[0]);
  ASSERT_TRUE(WaitFor([&] { return FPalette->lbComponents->size() == 2; }, 20000));
  EXPECT_EQ(FHost.Components().size(), 2u);
}

TEST_F(PaletteTest, RightClickOffersTheVerbs) {
  FDriver->Click(*FPalette->ClassButtons[1]);
  ASSERT_TRUE(WaitFor([&] { return FPalette->lbComponents->size() == 1; }, 20000));
  std::string caption;
  bool closed = false;
  bool menu_seen = false;
  // The menu runs its own loop inside the right click, the About box its
  // own inside the chosen verb.
  RunSoon([&] {
    Fl_Window* menu = nullptr;
    menu_seen =
        WaitFor([&] { return (menu = FindWindow(FPalette.get(), "")) != nullptr; }, 20000) &&
        FDriver->WaitViewable(*menu, 20000);
    if (!menu_seen)
      return;
    CloseAboutSoon(caption, closed);
    FDriver->ClickAt(*menu, menu->w() / 2, menu->h() / 2);
  });
  // A right click on the first line.
  TComponentList& list = *FPalette->lbComponents;
  FDriver->Focus(*FPalette);
  list.select(1);
  Fl::e_x = list.x() + 10;
  Fl::e_y = list.y() + 8;
  list.ShowVerbs(1);
  ASSERT_TRUE(menu_seen);
  ASSERT_TRUE(WaitFor([&] { return closed; }, 20000));
  EXPECT_EQ(caption, "About GarvelCIMD2");
}

TEST_F(PaletteTest, DoubleClickRunsEdit) {
  FDriver->Click(*FPalette->ClassButtons[3]);
  ASSERT_TRUE(WaitFor([&] { return FPalette->lbComponents->size() == 1; }, 20000));
  std::string caption;
  bool closed = false;
  CloseAboutSoon(caption, closed);
  TComponentList& list = *FPalette->lbComponents;
  FDriver->ClickAt(list, 20, 8);
  FDriver->ClickAt(list, 20, 8);
  ASSERT_TRUE(WaitFor([&] { return closed; }, 20000));
  EXPECT_EQ(caption, "About GarvelSMPP");
}

} // namespace
} // namespace garvel::design
