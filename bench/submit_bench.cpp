// Synchronous submits of every protocol against the simulator, each in a
// child process of its own so that the CPU time and socket system calls
// printed are the client's alone: submits per second, CPU microseconds,
// socket calls (poll/send/recv, counted through the platform seam) and
// voluntary context switches per submit, next to a loopback TCP ping-pong
// floor measured through the same socket layer.
//
// Options: --seconds=N (each measurement, default 2), --protocols=a,b,...
// (default ucp,cimd2,sema,smpp; a protocol the simulator lacks is skipped).
#include "xcGarvelCIMD2.h"
#include "xcGarvelSEMA.h"
#include "xcGarvelSMPP.h"
#include "xcGarvelUCP.h"

#include "SmscServer.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace garvel;
using Clock = std::chrono::steady_clock;

const std::u16string kText = u"The quick brown fox jumps over the lazy dog 0123456789 and back";

double SecondsSince(Clock::time_point T) {
  return std::chrono::duration<double>(Clock::now() - T).count();
}

// The simulator of Protocol in a child process; its port, or 0.
struct TChild {
  pid_t Pid = -1;
  int Port = 0;
};

TChild Fork(const std::string& Protocol) {
  int fds[2];
  if (pipe(fds) != 0)
    return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int port = 0;
    try {
      sim::TSimConfig cfg;
      cfg.StatusReportDelayMs = -1;
      auto server = std::make_unique<sim::TSmscServer>(Protocol, cfg);
      port = server->Start() ? server->Port() : 0;
      (void)!write(fds[1], &port, sizeof port);
      close(fds[1]);
      for (;;)
        pause();
    } catch (...) {
      (void)!write(fds[1], &port, sizeof port);
      _exit(1);
    }
  }
  close(fds[1]);
  TChild c;
  c.Pid = pid;
  if (pid < 0 || read(fds[0], &c.Port, sizeof c.Port) != sizeof c.Port)
    c.Port = 0;
  close(fds[0]);
  return c;
}

void Stop(TChild& C) {
  if (C.Pid > 0) {
    kill(C.Pid, SIGKILL);
    waitpid(C.Pid, nullptr, 0);
  }
}

std::atomic<long long> gCalls{0};
TSocketApi gReal;
int CPoll(pollfd* F, unsigned long N, int T) {
  ++gCalls;
  return gReal.Poll(F, N, T);
}
ssize_t CSend(int Fd, const void* B, size_t N, int Fl) {
  ++gCalls;
  return gReal.Send(Fd, B, N, Fl);
}
ssize_t CRecv(int Fd, void* B, size_t N, int Fl) {
  ++gCalls;
  return gReal.Recv(Fd, B, N, Fl);
}

double CpuMicros(const rusage& U) {
  return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec);
}

struct TResult {
  long long Count = 0;
  double Seconds = 0, CpuUs = 0, Calls = 0, Switches = 0;
  double Rate() const { return Seconds > 0 ? static_cast<double>(Count) / Seconds : 0; }
};

// Runs Submit (one synchronous submit, true on success) for Seconds after a
// warm-up, counting what it costs this process.
TResult Measure(double Seconds, const std::function<bool()>& Submit) {
  TResult r;
  for (int i = 0; i < 500; ++i)
    if (!Submit())
      return r;
  gReal = SocketApi();
  SocketApi().Poll = CPoll;
  SocketApi().Send = CSend;
  SocketApi().Recv = CRecv;
  gCalls = 0;
  rusage u0{}, u1{};
  getrusage(RUSAGE_SELF, &u0);
  auto t0 = Clock::now();
  while (SecondsSince(t0) < Seconds) {
    for (int i = 0; i < 50; ++i)
      if (!Submit()) {
        SocketApi() = gReal;
        return r;
      }
    r.Count += 50;
  }
  r.Seconds = SecondsSince(t0);
  getrusage(RUSAGE_SELF, &u1);
  SocketApi() = gReal;
  auto n = static_cast<double>(r.Count);
  r.CpuUs = (CpuMicros(u1) - CpuMicros(u0)) / n;
  r.Calls = static_cast<double>(gCalls.load()) / n;
  r.Switches = static_cast<double>(u1.ru_nvcsw - u0.ru_nvcsw) / n;
  return r;
}

// One session of Protocol against the simulator at Port.
TResult RunProtocol(const std::string& Protocol, int Port, double Seconds) {
  TResult r;
  if (Protocol == "ucp") {
    ucp::TxcGarvelUCP c(nullptr);
    c.SetKeepAlive(false);
    if (c.Connect("127.0.0.1", Port) == 0 && c.InitializeSession("1234", 1, 1, "", false) == 0) {
      TDateTime ts;
      r = Measure(Seconds, [&] {
        return c.SubmitMessage("0612345678", "1234", kText, et7BitText, "", {}, ts) == 0;
      });
    }
    c.Disconnect();
  } else if (Protocol == "cimd2") {
    cimd2::TxcGarvelCIMD2 c(nullptr);
    c.SetKeepAlive(false);
    if (c.Connect("127.0.0.1", Port) == 0 && c.InitializeSession("bench", "") == 0) {
      TDateTime ts;
      r = Measure(Seconds, [&] {
        return c.SubmitMessage("0612345678", "1234", kText, et7BitText, "", {}, ts) == 0;
      });
    }
    c.Disconnect();
  } else if (Protocol == "sema") {
    sema::TxcGarvelSEMA c(nullptr);
    c.SetKeepAlive(false);
    if (c.Connect("127.0.0.1", Port) == 0 && c.InitializeSession("1234", 1, 1) == 0) {
      std::string id;
      TDateTime ts;
      r = Measure(Seconds, [&] {
        return c.SubmitMessage("0612345678", "1234", 1, 1, kText, et7BitText, "", {}, id, ts) == 0;
      });
    }
    c.Disconnect();
  } else if (Protocol == "smpp") {
    smpp::TxcGarvelSMPP c(nullptr);
    c.SetKeepAlive(false);
    if (c.Connect("127.0.0.1", Port) == 0 &&
        c.InitializeSession("bench", "", 0, 0, "", smpp::bmTransmitter) == 0) {
      std::string id;
      r = Measure(Seconds, [&] {
        return c.SubmitMessage("4477001122", 1, 1, "1234", 0, 1, kText, et7BitText, "", {}, id) ==
               0;
      });
    }
    c.Disconnect();
  }
  Application()->ProcessMessages();
  return r;
}

// Request/response of 100 octets each way between two threads over loopback.
double PingPong(double Seconds) {
  TTcpListener listener;
  listener.Listen("127.0.0.1", 0);
  std::thread server([&] {
    std::unique_ptr<TCustomIpClient> c = listener.Accept(5000);
    if (!c)
      return;
    char buf[100];
    for (;;) {
      size_t got = 0;
      while (got < sizeof buf) {
        if (c->WaitForData(-1) != wdReadable)
          return;
        got += static_cast<size_t>(c->ReceiveBuf(buf + got, static_cast<int>(sizeof buf - got)));
      }
      if (c->SendBuf(buf, sizeof buf) < 0)
        return;
    }
  });
  TCustomIpClient client;
  client.RemoteHost = "127.0.0.1";
  client.RemotePort = std::to_string(listener.Port());
  long long n = 0;
  double s = 0;
  if (client.Connect(2000)) {
    char buf[100] = {};
    auto once = [&] {
      client.SendBuf(buf, sizeof buf);
      size_t got = 0;
      while (got < sizeof buf) {
        if (client.WaitForData(-1) != wdReadable)
          return false;
        got +=
            static_cast<size_t>(client.ReceiveBuf(buf + got, static_cast<int>(sizeof buf - got)));
      }
      return true;
    };
    auto t0 = Clock::now();
    while (SecondsSince(t0) < Seconds && once())
      ++n;
    s = SecondsSince(t0);
  }
  client.Disconnect();
  server.join();
  client.Close();
  listener.Close();
  return s > 0 ? static_cast<double>(n) / s : 0;
}

} // namespace

int main(int argc, char** argv) {
  double seconds = 2;
  std::string protocols = "ucp,cimd2,sema,smpp";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--seconds=", 10) == 0)
      seconds = std::atof(argv[i] + 10);
    else if (std::strncmp(argv[i], "--protocols=", 12) == 0)
      protocols = argv[i] + 12;
  }
  // Every simulator is forked before this process starts a thread.
  std::vector<std::pair<std::string, TChild>> children;
  std::stringstream list(protocols);
  for (std::string p; std::getline(list, p, ',');)
    children.emplace_back(p, Fork(p));

  std::printf("Synchronous submits on 127.0.0.1, simulator in a child process\n");
  std::printf("  %-6s %10s %12s %14s %14s\n", "", "submits/s", "CPU us/msg", "socket calls",
              "ctx switches");
  for (auto& [protocol, child] : children) {
    if (child.Port == 0) {
      std::printf("  %-6s (no simulator for it)\n", protocol.c_str());
      continue;
    }
    TResult r = RunProtocol(protocol, child.Port, seconds);
    Stop(child);
    if (r.Count == 0) {
      std::printf("  %-6s FAILED\n", protocol.c_str());
      continue;
    }
    std::printf("  %-6s %10.0f %12.1f %14.2f %14.2f\n", protocol.c_str(), r.Rate(), r.CpuUs,
                r.Calls, r.Switches);
  }
  std::printf("  TCP ping-pong floor (100/100 octets, two threads): %.0f /s\n", PingPong(seconds));
  return 0;
}
