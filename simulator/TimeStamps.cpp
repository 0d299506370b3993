// SMSC time stamps that name a message.
#include "TimeStamps.h"

#include <cmath>

namespace garvel::sim {

TDateTime WholeSeconds(TDateTime T) {
  // The epsilon only absorbs floating-point error.
  return std::floor(T * 86400.0 + 1e-4) / 86400.0;
}

TDateTime TUniqueTimeStamps::Next() {
  std::lock_guard<std::mutex> g(FLock);
  TDateTime t = WholeSeconds(Now());
  if (t <= FLast)
    t = WholeSeconds(FLast + 1.0 / 86400.0);
  FLast = t;
  return t;
}

} // namespace garvel::sim
