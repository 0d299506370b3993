// A design package for the host's tests: a component class of its own on
// the page "Tests", and an editor for TxcGarvelUCP that overrides the one
// of dclgarv while this package is loaded.
#include "DesignIntf.h"
#include "DesignPackage.h"
#include "xcGarvelUCP.h"

#include <iterator>

namespace {

using namespace garvel;
using namespace garvel::design;

// Its code (and vtable) lives in this module only.
class TTestWidget : public TComponent {
public:
  explicit TTestWidget(TComponent* AOwner) : TComponent(AOwner), FData(new int[16]) {}
  ~TTestWidget() override { delete[] FData; }

private:
  int* FData;
};

class TTestEditor : public TComponentEditor {
public:
  explicit TTestEditor(TComponent* AComponent) : TComponentEditor(AComponent), FData(new int[16]) {}
  ~TTestEditor() override { delete[] FData; }
  int GetVerbCount() override { return 2; }
  std::string GetVerb(int Index) override { return Index == 0 ? "First" : "Second"; }
  void ExecuteVerb(int Index) override { Component()->Tag = 100 + Index; }

private:
  int* FData;
};

void Register() {
  const auto widget = TComponentClass::Of<TTestWidget>("TTestWidget");
  RegisterComponents("Tests", {widget});
  RegisterComponentEditor(widget, EditorClassOf<TTestEditor>());
  RegisterComponentEditor(TComponentClass::Of<ucp::TxcGarvelUCP>("TxcGarvelUCP"),
                          EditorClassOf<TTestEditor>());
}

const char* const WidgetXpm[] = {"2 2 1 1", ". c #000000", "..", ".."};
const TPackageImage Images[] = {{"TTESTWIDGET", 2, 2, WidgetXpm}};

} // namespace

GARVEL_DESIGN_PACKAGE("Test Package", Register, Images, std::size(Images));
