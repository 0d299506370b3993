// An SMSC simulator started for one test on an ephemeral loopback port.
#pragma once

#include "SmscServer.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

namespace garvel::testing {

/// Owns a running TSmscServer on 127.0.0.1 and a free port; stops and joins
/// it when it goes out of scope. With GARVEL_SIM_LOG set in the
/// environment the simulator's log goes to stderr, which helps when a test
/// fails.
class TSimulator {
public:
  explicit TSimulator(const std::string& Protocol, sim::TSimConfig Config = {})
      : FServer(Protocol, std::move(Config)) {
    if (std::getenv("GARVEL_SIM_LOG"))
      FServer.OnLog = [](const std::string& Line) {
        std::fprintf(stderr, "sim %s\n", Line.c_str());
      };
    if (!FServer.Start("127.0.0.1", 0))
      throw std::runtime_error("simulator cannot listen on 127.0.0.1 (errno " +
                               std::to_string(FServer.LastError()) + ")");
  }

  int Port() const { return FServer.Port(); }
  sim::TSmscServer& Server() { return FServer; }
  sim::TSmscServer* operator->() { return &FServer; }

private:
  sim::TSmscServer FServer;
};

} // namespace garvel::testing
