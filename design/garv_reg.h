// garv_reg: puts the Garvel components on the designer's palette.
#pragma once

#include "DesignIntf.h"
#include "DesignPackage.h"

#include <cstddef>
#include <string>

namespace garvel::design {

/// The component editor of the four components: one verb, "About...",
/// which opens the About box; a double-click (Edit) does the same.
class TxcGarvelEditor : public TComponentEditor {
public:
  using TComponentEditor::TComponentEditor;
  ~TxcGarvelEditor() override;
  int GetVerbCount() override;
  /// "About..." for any index.
  std::string GetVerb(int Index) override;
  /// Opens the About box of the component, for any index.
  void ExecuteVerb(int Index) override;
};

/// Registers TxcGarvelSEMA, TxcGarvelCIMD2, TxcGarvelUCP and TxcGarvelSMPP,
/// in this order, on the page "Vornak", each with TxcGarvelEditor.
void Register();

/// The package's pictures (PackageImages.cpp).
extern const TPackageImage PackageImages[];
extern const std::size_t PackageImageCount;

} // namespace garvel::design
