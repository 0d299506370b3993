// A design package whose Register fails half-way.
#include "DesignIntf.h"
#include "DesignPackage.h"

#include <stdexcept>

namespace {

using namespace garvel;
using namespace garvel::design;

class TLostWidget : public TComponent {
public:
  using TComponent::TComponent;
};

void Register() {
  RegisterComponents("Lost", {TComponentClass::Of<TLostWidget>("TLostWidget")});
  throw std::runtime_error("no licence for this workstation");
}

} // namespace

GARVEL_DESIGN_PACKAGE("Throwing Package", Register, nullptr, 0);
