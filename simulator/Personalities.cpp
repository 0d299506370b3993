// The protocols the simulator speaks, by name.
#include "Personality.h"

#include "Cimd2Personality.h"
#include "SemaPersonality.h"
#include "SmppPersonality.h"
#include "UcpPersonality.h"

namespace garvel::sim {

std::unique_ptr<TPersonality> CreatePersonality(const std::string& Protocol) {
  if (Protocol == "ucp")
    return std::make_unique<TUcpPersonality>();
  if (Protocol == "smpp")
    return std::make_unique<TSmppPersonality>();
  if (Protocol == "cimd2")
    return std::make_unique<TCimd2Personality>();
  if (Protocol == "sema")
    return std::make_unique<TSemaPersonality>();
  return nullptr;
}

std::vector<std::string> PersonalityNames() {
  return {"ucp", "smpp", "cimd2", "sema"};
}

} // namespace garvel::sim
