// SMSC time stamps that name a message.
#pragma once

#include "SysUtils.h"

#include <mutex>

namespace garvel::sim {

/// Hands out the SMSC time stamps of accepted submits: now, in whole
/// seconds, but at least one second after the last one handed out, so that
/// a recipient and a time stamp identify a message (UCP and CIMD2 name
/// messages that way). Thread-safe.
class TUniqueTimeStamps {
public:
  TDateTime Next();

private:
  std::mutex FLock;
  TDateTime FLast = 0;
};

/// T without its milliseconds (never rounded up: a message stamped later
/// than the clock could seem to be reported before it was sent).
TDateTime WholeSeconds(TDateTime T);

} // namespace garvel::sim
