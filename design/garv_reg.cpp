// garv_reg: puts the Garvel components on the designer's palette.
#include "garv_reg.h"

#include "GarvVersion.h"
#include "VersionNote.h"
#include "xcGarvelCIMD2.h"
#include "xcGarvelSEMA.h"
#include "xcGarvelSMPP.h"
#include "xcGarvelUCP.h"
#include "xfAbout.h"
#include "xuStrings.h"

// The package carries the version data of the library it registers.
GARVEL_VERSION_NOTE(GARVEL_GARV_VERSION_BLOCK);

namespace garvel::design {

TxcGarvelEditor::~TxcGarvelEditor() = default;

int TxcGarvelEditor::GetVerbCount() {
  return 1;
}

std::string TxcGarvelEditor::GetVerb(int) {
  return sAboutVerb;
}

void TxcGarvelEditor::ExecuteVerb(int) {
  ShowGarvelAbout(Component());
}

void Register() {
  const TComponentClass classes[] = {
      TComponentClass::Of<sema::TxcGarvelSEMA>("TxcGarvelSEMA"),
      TComponentClass::Of<cimd2::TxcGarvelCIMD2>("TxcGarvelCIMD2"),
      TComponentClass::Of<ucp::TxcGarvelUCP>("TxcGarvelUCP"),
      TComponentClass::Of<smpp::TxcGarvelSMPP>("TxcGarvelSMPP"),
  };
  for (const auto& c : classes) {
    RegisterComponents(sPalettePage, {c});
    RegisterComponentEditor(c, EditorClassOf<TxcGarvelEditor>());
  }
}

} // namespace garvel::design

GARVEL_DESIGN_PACKAGE(garvel::design::sPackageDescription, garvel::design::Register,
                      garvel::design::PackageImages, garvel::design::PackageImageCount);
