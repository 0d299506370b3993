// A loopback listener that never accepts, for testing connect time-outs.
#pragma once

#include "Sockets.h"

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace garvel::testing {

/// Listens on an ephemeral loopback port with its accept queue filled, so
/// that the kernel drops further connection requests and a connect hangs.
class TUnacceptingListener {
public:
  TUnacceptingListener() {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(FFd, 0) != 0)
      return;
    getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    for (int i = 0; i < 3; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      (void)!::connect(c, reinterpret_cast<sockaddr*>(&a), len);
      FFillers.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~TUnacceptingListener() {
    for (int c : FFillers)
      ::close(c);
    if (FFd >= 0)
      ::close(FFd);
  }
  TUnacceptingListener(const TUnacceptingListener&) = delete;
  TUnacceptingListener& operator=(const TUnacceptingListener&) = delete;

  /// The port; 0 when the listener could not be set up.
  int Port() const { return FPort; }
  /// Whether a connect to it really hangs on this kernel.
  bool Hangs() const {
    if (FPort == 0)
      return false;
    TCustomIpClient probe;
    probe.RemoteHost = "127.0.0.1";
    probe.RemotePort = std::to_string(FPort);
    return !probe.Connect(300) && probe.LastError() == ETIMEDOUT;
  }

private:
  int FFd = -1;
  int FPort = 0;
  std::vector<int> FFillers;
};

} // namespace garvel::testing
