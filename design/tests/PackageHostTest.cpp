#include "PackageHost.h"

#include "DesignIntf.h"

#include <dlfcn.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace garvel::design {
namespace {

using ::testing::HasSubstr;

const std::vector<std::string> kGarvelClasses = {"TxcGarvelSEMA", "TxcGarvelCIMD2", "TxcGarvelUCP",
                                                 "TxcGarvelSMPP"};

std::vector<std::string> ClassNames(const std::string& Page) {
  std::vector<std::string> names;
  for (const auto& c : TDesignRegistry::Instance().Classes(Page))
    names.push_back(c.ClassName);
  return names;
}

// The message of the EDesignError that F throws, or "" when none.
template <class F> std::string LoadError(F&& Load) {
  try {
    Load();
  } catch (const EDesignError& e) {
    return e.what();
  }
  return "";
}

class PackageHostTest : public ::testing::Test {
protected:
  void TearDown() override {
    // Every test leaves the one registry as it found it.
    EXPECT_TRUE(TDesignRegistry::Instance().Pages().empty());
  }
};

TEST_F(PackageHostTest, LoadsTheGarvelPackage) {
  TPackageHost host;
  const int id = host.LoadPackage(DCLGARV_FILE);
  ASSERT_EQ(host.Packages().size(), 1u);
  EXPECT_EQ(host.Packages()[0].Description, "Vornak Garvel Package");
  EXPECT_EQ(host.Packages()[0].FileName, std::filesystem::canonical(DCLGARV_FILE).string());
  EXPECT_EQ(TDesignRegistry::Instance().Pages(), std::vector<std::string>{"Vornak"});
  EXPECT_EQ(ClassNames("Vornak"), kGarvelClasses);

  for (const auto& name : kGarvelClasses) {
    SCOPED_TRACE(name);
    const TPackageImage* image = host.PaletteImage(name);
    ASSERT_NE(image, nullptr);
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ(image->Name, upper);
    EXPECT_EQ(image->Width, 22);
    EXPECT_EQ(image->Height, 22);

    TComponent* component = host.CreateComponent(name);
    EXPECT_EQ(ComponentClassName(component), name);
    EXPECT_EQ(component->Name, name.substr(1) + "1");
    TComponentEditor& editor = host.GetEditor(component);
    EXPECT_EQ(&host.GetEditor(component), &editor); // one per component
    EXPECT_EQ(editor.Component(), component);
    ASSERT_EQ(editor.GetVerbCount(), 1);
    for (int index : {0, 1, -1, 7})
      EXPECT_EQ(editor.GetVerb(index), "About...");
  }
  for (int size : {32, 16}) {
    const TPackageImage* icon = host.FindImage(id, "MAIN", size);
    ASSERT_NE(icon, nullptr) << size;
    EXPECT_EQ(icon->Height, size);
  }
  EXPECT_EQ(host.FindImage(id, "MAIN", 48), nullptr);
  EXPECT_EQ(host.FindImage(id, "NOSUCH"), nullptr);
  EXPECT_EQ(host.Components().size(), 4u);

  // Unloading with components and editors alive: they go first, then the
  // module itself.
  host.UnloadPackage(id);
  void* still = dlopen(std::filesystem::canonical(DCLGARV_FILE).c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr);
  if (still)
    dlclose(still);
  EXPECT_TRUE(host.Packages().empty());
  EXPECT_TRUE(host.Components().empty());
  EXPECT_TRUE(TDesignRegistry::Instance().Pages().empty());
  EXPECT_EQ(host.PaletteImage("TxcGarvelUCP"), nullptr);
  EXPECT_THROW(host.CreateComponent("TxcGarvelUCP"), EDesignError);

  // And again.
  const int again = host.LoadPackage(DCLGARV_FILE);
  EXPECT_NE(again, id);
  EXPECT_EQ(ClassNames("Vornak"), kGarvelClasses);
  TComponent* ucp = host.CreateComponent("TxcGarvelUCP");
  EXPECT_EQ(host.GetEditor(ucp).GetVerb(0), "About...");
  host.UnloadPackage(again);
  host.UnloadPackage(again); // unknown by now: nothing happens
}

TEST_F(PackageHostTest, RefusesWhatIsNoPackage) {
  TPackageHost host;
  const std::string dir = std::filesystem::path(DCLGARV_FILE).parent_path().string();
  struct Case {
    std::string File;
    std::string Message;
  };
  const Case cases[] = {
      {"/nonexistent/dclgarv.so", "cannot load package '/nonexistent/dclgarv.so': No such file"},
      {"", "no file name given"},
      {dir, "not a regular file"},
      {GARV_FILE, "not a design package (it exports no GarvelDesignHostVersion)"},
      {__FILE__, "cannot load package"},
      {OTHER_HOST_PACKAGE, "built for design host version 999, this host is version 1"},
      {THROWING_PACKAGE, "its Register failed: no licence for this workstation"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    EXPECT_THAT(LoadError([&] { host.LoadPackage(c.File); }), HasSubstr(c.Message));
    EXPECT_TRUE(host.Packages().empty());
    // Nothing of a failed Register stays registered.
    EXPECT_TRUE(TDesignRegistry::Instance().Pages().empty());
  }
  // A refused package does not stop the next one.
  host.LoadPackage(DCLGARV_FILE);
  EXPECT_THAT(LoadError([&] { host.LoadPackage(DCLGARV_FILE); }), HasSubstr("already loaded"));
  EXPECT_EQ(host.Packages().size(), 1u);
  EXPECT_EQ(ClassNames("Vornak"), kGarvelClasses);
}

TEST_F(PackageHostTest, UnloadingRemovesOnlyWhatThePackageBrought) {
  TPackageHost host;
  const int garvel = host.LoadPackage(DCLGARV_FILE);
  TComponent* ucp = host.CreateComponent("TxcGarvelUCP");
  EXPECT_EQ(host.GetEditor(ucp).GetVerb(0), "About...");

  // The test package brings a class of its own and a newer editor for UCP,
  // which new editors use.
  const int tests = host.LoadPackage(TEST_PACKAGE);
  EXPECT_EQ(TDesignRegistry::Instance().Pages(), (std::vector<std::string>{"Vornak", "Tests"}));
  EXPECT_NE(host.PaletteImage("TTestWidget"), nullptr);
  TComponent* widget = host.CreateComponent("TTestWidget");
  TComponent* ucp2 = host.CreateComponent("TxcGarvelUCP");
  EXPECT_EQ(ucp2->Name, "xcGarvelUCP2");
  TComponentEditor& editor = host.GetEditor(ucp2);
  EXPECT_EQ(editor.GetVerbCount(), 2);
  editor.ExecuteVerb(1);
  EXPECT_EQ(ucp2->Tag, 101);
  host.GetEditor(widget).Edit(); // the first verb
  EXPECT_EQ(widget->Tag, 100);

  // Unloading it takes its widget and the editor of ucp2 (whose code it
  // holds), but leaves both UCP components.
  host.UnloadPackage(tests);
  EXPECT_EQ(host.Components(), (std::vector<TComponent*>{ucp, ucp2}));
  EXPECT_EQ(TDesignRegistry::Instance().Pages(), std::vector<std::string>{"Vornak"});
  EXPECT_EQ(host.GetEditor(ucp2).GetVerbCount(), 1); // dclgarv's again
  EXPECT_EQ(host.GetEditor(ucp).GetVerb(0), "About...");

  host.DestroyComponent(ucp);
  EXPECT_EQ(host.Components(), std::vector<TComponent*>{ucp2});
  EXPECT_THROW(host.GetEditor(ucp), EDesignError);
  host.UnloadPackage(garvel);
}

TEST_F(PackageHostTest, DestructionUnloadsEverything) {
  auto host = std::make_unique<TPackageHost>();
  host->LoadPackage(DCLGARV_FILE);
  host->LoadPackage(TEST_PACKAGE);
  host->GetEditor(host->CreateComponent("TTestWidget"));
  host->GetEditor(host->CreateComponent("TxcGarvelSMPP"));
  host.reset();
  EXPECT_TRUE(TDesignRegistry::Instance().Pages().empty());
}

// Registration without packages: the program's own classes.
class TPlainWidget : public TComponent {
public:
  using TComponent::TComponent;
  ~TPlainWidget() override;
};
TPlainWidget::~TPlainWidget() = default;

class TDerivedWidget : public TPlainWidget {
public:
  using TPlainWidget::TPlainWidget;
};

class TCountingEditor : public TComponentEditor {
public:
  using TComponentEditor::TComponentEditor;
  int GetVerbCount() override { return 3; }
  std::string GetVerb(int Index) override { return "Verb" + std::to_string(Index); }
  void ExecuteVerb(int Index) override { Component()->Tag = Index + 1; }
};

TEST_F(PackageHostTest, RegistrationRules) {
  auto& registry = TDesignRegistry::Instance();
  const auto plain = TComponentClass::Of<TPlainWidget>("TPlainWidget");
  EXPECT_THROW(RegisterComponents("", {plain}), EDesignError);
  EXPECT_THROW(RegisterComponents("Page", {TComponentClass::Of<TPlainWidget>("")}), EDesignError);
  EXPECT_THROW(RegisterComponents("Page", {plain, plain}), EDesignError);
  EXPECT_TRUE(registry.Pages().empty());
  RegisterComponents("Page", {plain});
  EXPECT_THAT(LoadError([&] { RegisterComponents("Other", {plain}); }),
              HasSubstr("'TPlainWidget' is already registered"));
  RegisterComponents("Page", {}); // no class: no page either
  EXPECT_EQ(registry.Pages(), std::vector<std::string>{"Page"});

  TPackageHost host;
  TComponent* w = host.CreateComponent("TPlainWidget");
  EXPECT_EQ(host.GetEditor(w).GetVerbCount(), 0); // the default editor
  host.GetEditor(w).Edit();                       // does nothing
  EXPECT_EQ(host.PaletteImage("TPlainWidget"), nullptr);
  host.DestroyComponent(w);

  RegisterComponentEditor(plain, EditorClassOf<TCountingEditor>());
  EXPECT_THROW(RegisterComponentEditor(plain, nullptr), EDesignError);
  w = host.CreateComponent("TPlainWidget");
  host.GetEditor(w).Edit();
  EXPECT_EQ(w->Tag, 1);
  // A derived class without an editor of its own gets its base's; names
  // fall back to the C++ type.
  TDerivedWidget derived(nullptr);
  EXPECT_EQ(registry.CreateEditor(&derived)->GetVerbCount(), 3);
  EXPECT_EQ(ComponentClassName(&derived), "TDerivedWidget");
  EXPECT_EQ(ComponentClassName(w), "TPlainWidget");
  EXPECT_EQ(ComponentClassName(nullptr), "");
  host.DestroyComponent(w);

  registry.RemovePackage(0);
  EXPECT_TRUE(registry.Pages().empty());
}

} // namespace
} // namespace garvel::design
