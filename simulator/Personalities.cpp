// The protocols the simulator speaks, by name.
#include "Personality.h"

#include "UcpPersonality.h"

namespace garvel::sim {

std::unique_ptr<TPersonality> CreatePersonality(const std::string& Protocol) {
  if (Protocol == "ucp")
    return std::make_unique<TUcpPersonality>();
  return nullptr;
}

std::vector<std::string> PersonalityNames() {
  return {"ucp"};
}

} // namespace garvel::sim
