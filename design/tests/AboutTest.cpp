// The About box, opened through the editor verb of the loaded dclgarv.
#include "PackageHost.h"

#include "XTestDriver.h"
#include "xcGarvelUCP.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>

namespace garvel::design {
namespace {

using garvel::testing::TXTestDriver;
using garvel::testing::WaitFor;

// Runs Steps from FLTK's loop shortly: the way to act while a modal box
// runs its own loop inside the verb.
void RunSoon(std::function<void()> Steps) {
  Fl::add_timeout(
      0.05,
      [](void* Data) {
        std::unique_ptr<std::function<void()>> steps(static_cast<std::function<void()>*>(Data));
        (*steps)();
      },
      new std::function<void()>(std::move(Steps)));
}

std::uint64_t MeminfoKB() {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  std::uint64_t value = 0, total = 0;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemAvailable:" || key == "SwapFree:")
      total += value;
  }
  return total;
}

struct TShownAbout {
  std::string Caption;
  std::string XClass;
  // Labels by position in the window ("64,8").
  std::map<std::string, std::string> Texts;
  int W = 0, H = 0;
};

class AboutBoxTest : public ::testing::Test {
protected:
  void SetUp() override {
    FPackage = FHost.LoadPackage(DCLGARV_FILE);
    FDriver = std::make_unique<TXTestDriver>();
  }
  void TearDown() override {
    FDriver.reset();
    FHost.UnloadPackage(FPackage);
  }

  // Runs Open (which shows the box modally), records the box and closes it
  // with OK; true when the box appeared and Open returned.
  bool ShowAndClose(const std::function<void()>& Open, TShownAbout& Shown) {
    bool seen = false, closed = false;
    RunSoon([&] {
      Fl_Window* box = nullptr;
      seen = WaitFor(
          [&] {
            for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w))
              if (w->xclass() && std::string(w->xclass()) == "TfmAbout")
                box = w;
            return box != nullptr;
          },
          20000);
      if (!seen || !FDriver->WaitViewable(*box, 20000))
        return;
      Shown.Caption = box->label() ? box->label() : "";
      Shown.XClass = FDriver->WindowClass(*box);
      Shown.W = box->w();
      Shown.H = box->h();
      Fl_Widget* ok = nullptr;
      for (int i = 0; i < box->children(); ++i) {
        Fl_Widget* c = box->child(i);
        const std::string at = std::to_string(c->x()) + "," + std::to_string(c->y());
        if (c->label())
          Shown.Texts[at] = c->label();
        if (c->label() && std::string(c->label()) == "OK")
          ok = c;
      }
      if (ok)
        FDriver->Click(*ok);
      closed = WaitFor([&] { return !box->shown(); }, 20000);
    });
    Open();
    return seen && closed;
  }

  TPackageHost FHost;
  int FPackage = 0;
  std::unique_ptr<TXTestDriver> FDriver;
};

TEST_F(AboutBoxTest, VerbShowsTheVersionOfThePackage) {
  TComponent* ucp = FHost.CreateComponent("TxcGarvelUCP");
  TShownAbout shown;
  // Any verb index opens the box.
  ASSERT_TRUE(ShowAndClose([&] { FHost.GetEditor(ucp).ExecuteVerb(3); }, shown));
  EXPECT_EQ(shown.Caption, "About GarvelUCP");
  EXPECT_EQ(shown.XClass, "TfmAbout");
  EXPECT_EQ(shown.W, 347);
  EXPECT_EQ(shown.H, 367);
  EXPECT_EQ(shown.Texts["64,8"], "GarvelUCP");
  EXPECT_EQ(shown.Texts["64,24"], "Version 2.1 Build 120 (25 Feb 2004)           ");
  EXPECT_EQ(shown.Texts["64,40"], "Copyright (C) The Garvel developers");
  EXPECT_EQ(shown.Texts["64,80"], "Product version:");
  EXPECT_EQ(shown.Texts["160,80"], "2.1.0.120");
  EXPECT_EQ(shown.Texts["64,264"], "System version:");
  EXPECT_EQ(shown.Texts["64,280"], "Free memory:");
  EXPECT_EQ(shown.Texts["260,328"], "OK");

  struct utsname uts {};
  ASSERT_EQ(uname(&uts), 0);
  const std::string system = shown.Texts["160,264"];
  EXPECT_TRUE(std::regex_match(system, std::regex("[0-9]+\\.[0-9]+"))) << system;
  EXPECT_EQ(std::string(uts.release).rfind(system + ".", 0), 0u) << uts.release;

  std::smatch m;
  const std::string memory = shown.Texts["160,280"];
  ASSERT_TRUE(std::regex_match(memory, m, std::regex("([0-9]+) KB"))) << memory;
  const double shown_kb = std::stod(m[1]);
  const double system_kb = static_cast<double>(MeminfoKB());
  EXPECT_NEAR(shown_kb, system_kb, system_kb * 0.1);
}

TEST_F(AboutBoxTest, EditOpensTheBoxWithTheClassSuffix) {
  for (const char* name : {"TxcGarvelCIMD2", "TxcGarvelSEMA", "TxcGarvelSMPP"}) {
    SCOPED_TRACE(name);
    TComponent* component = FHost.CreateComponent(name);
    TShownAbout shown;
    ASSERT_TRUE(ShowAndClose([&] { FHost.GetEditor(component).Edit(); }, shown));
    const std::string product = "Garvel" + std::string(name).substr(9);
    EXPECT_EQ(shown.Caption, "About " + product);
    EXPECT_EQ(shown.Texts["64,8"], product);
  }
}

// A class derived from a registered one gets its editor, but no suffix:
// its name does not start with the components' prefix.
class TMyUCP : public ucp::TxcGarvelUCP {
public:
  using TxcGarvelUCP::TxcGarvelUCP;
};

TEST_F(AboutBoxTest, ADerivedClassGetsNoSuffix) {
  TMyUCP mine(nullptr);
  auto editor = TDesignRegistry::Instance().CreateEditor(&mine);
  ASSERT_EQ(editor->GetVerbCount(), 1);
  TShownAbout shown;
  ASSERT_TRUE(ShowAndClose([&] { editor->ExecuteVerb(0); }, shown));
  EXPECT_EQ(shown.Caption, "About Garvel");
  EXPECT_EQ(shown.Texts["64,8"], "Garvel");
  EXPECT_EQ(shown.Texts["160,80"], "2.1.0.120");
}

// A package installed deep down (a path far longer than 260 characters)
// still finds its own file and its version data.
TEST(AboutBoxDeepPath, ReadsThePackageFromADeepFolder) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "garvel-deep.XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  fs::path dir = root;
  for (int i = 0; i < 12; ++i)
    dir /= "a-rather-long-folder-name-" + std::to_string(i);
  fs::create_directories(dir);
  const fs::path copy = dir / "dclgarv.so";
  fs::copy_file(DCLGARV_FILE, copy);
  ASSERT_GT(copy.string().size(), 300u);
  {
    TPackageHost host;
    host.LoadPackage(copy.string());
    TXTestDriver driver;
    TComponent* ucp = host.CreateComponent("TxcGarvelUCP");
    std::string caption, version;
    bool closed = false;
    RunSoon([&] {
      Fl_Window* box = nullptr;
      if (!WaitFor(
              [&] {
                for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w))
                  if (w->xclass() && std::string(w->xclass()) == "TfmAbout")
                    box = w;
                return box != nullptr;
              },
              20000) ||
          !driver.WaitViewable(*box, 20000))
        return;
      caption = box->label();
      for (int i = 0; i < box->children(); ++i) {
        Fl_Widget* c = box->child(i);
        if (c->x() == 160 && c->y() == 80 && c->label())
          version = c->label();
      }
      driver.Focus(*box);
      driver.Key(garvel::testing::kEscapeKey); // OK is also the cancel button
      closed = WaitFor([&] { return !box->shown(); }, 20000);
    });
    host.GetEditor(ucp).ExecuteVerb(0);
    EXPECT_TRUE(closed);
    EXPECT_EQ(caption, "About GarvelUCP");
    EXPECT_EQ(version, "2.1.0.120");
  }
  fs::remove_all(root);
}

} // namespace
} // namespace garvel::design
