// The protocols the simulator speaks, by name.
#include "Personality.h"

#include "SmppPersonality.h"
#include "UcpPersonality.h"

namespace garvel::sim {

std::unique_ptr<TPersonality> CreatePersonality(const std::string& Protocol) {
  if (Protocol == "ucp")
    return std::make_unique<TUcpPersonality>();
  if (Protocol == "smpp")
    return std::make_unique<TSmppPersonality>();
  return nullptr;
}

std::vector<std::string> PersonalityNames() {
  return {"ucp", "smpp"};
}

} // namespace garvel::sim
