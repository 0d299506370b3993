// Windowed against synchronous submission, for every protocol, against the
// simulator over 127.0.0.1 in a child process (so that the CPU time and the
// system calls counted are the client's alone). For each protocol, in the
// same run: the round trip of a synchronous keep-alive (the floor of any
// request/answer exchange), the synchronous submit rate, and a windowed
// run of SubmitMessageAsync with its rate, CPU microseconds per message
// (getrusage of this process: the main thread and the receive thread),
// socket calls per message (poll/send/recv, counted through the platform
// seam), read/write-family system calls per message (/proc/self/io syscr +
// syscw, which also counts the notification queue's eventfd) and voluntary
// context switches per message. A loopback TCP ping-pong between two
// threads gives the machine's floor. The targets are printed, not asserted.
//
// Options: --seconds=N (each keep-alive and synchronous measurement,
// default 2), --messages=N (each windowed run, default 20000), --window=W
// (default 50), --protocols=a,b,... (default ucp,cimd2,sema,smpp).
#include "xcGarvelCIMD2.h"
#include "xcGarvelSEMA.h"
#include "xcGarvelSMPP.h"
#include "xcGarvelUCP.h"

#include "Messages.h"
#include "SmscServer.h"
#include "Sockets.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
const std::string kTo = "0612345678";
const std::string kFrom = "1234";

double SecondsSince(Clock::time_point T) {
  return std::chrono::duration<double>(Clock::now() - T).count();
}

// --- the simulator in a child process ---------------------------------------

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
      cfg.RecordLimit = 0; // the counts only: nothing kept per frame
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

// --- counting ---------------------------------------------------------------

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

// syscr + syscw of the whole process; -1 when /proc does not tell.
long long ReadWriteCalls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0, sum = 0;
  int found = 0;
  while (io >> key >> value) {
    if (key == "syscr:" || key == "syscw:") {
      sum += value;
      ++found;
    }
  }
  return found == 2 ? sum : -1;
}

struct TCost {
  long long Count = 0;
  double Seconds = 0, CpuUs = 0, SocketCalls = 0, ReadWrite = -1, Switches = 0;
  double Rate() const { return Seconds > 0 ? static_cast<double>(Count) / Seconds : 0; }
};

/// Counts what Body costs this process; Body returns how many messages it
/// handled (0 for a failure).
TCost Measure(const std::function<long long()>& Body) {
  TCost c;
  gReal = SocketApi();
  SocketApi().Poll = CPoll;
  SocketApi().Send = CSend;
  SocketApi().Recv = CRecv;
  gCalls = 0;
  rusage u0{}, u1{};
  long long rw0 = ReadWriteCalls();
  getrusage(RUSAGE_SELF, &u0);
  auto t0 = Clock::now();
  c.Count = Body();
  c.Seconds = SecondsSince(t0);
  getrusage(RUSAGE_SELF, &u1);
  long long rw1 = ReadWriteCalls();
  SocketApi() = gReal;
  if (c.Count <= 0)
    return c;
  auto n = static_cast<double>(c.Count);
  c.CpuUs = (CpuMicros(u1) - CpuMicros(u0)) / n;
  c.SocketCalls = static_cast<double>(gCalls.load()) / n;
  c.ReadWrite = rw0 >= 0 && rw1 >= 0 ? static_cast<double>(rw1 - rw0) / n : -1;
  c.Switches = static_cast<double>(u1.ru_nvcsw - u0.ru_nvcsw) / n;
  return c;
}

// --- the protocols behind one interface ---------------------------------------

struct TClient {
  std::unique_ptr<TxcGarvel> Component;
  std::function<int()> Open;
  std::function<int()> SubmitSync;
  std::function<int(TSubmitTicket&)> SubmitAsync;
};

TClient MakeClient(const std::string& Protocol) {
  TClient c;
  if (Protocol == "ucp") {
    auto* u = new ucp::TxcGarvelUCP(nullptr);
    c.Component.reset(u);
    c.Open = [u] { return u->InitializeSession(kFrom, 1, 1, "", false); };
    c.SubmitSync = [u] {
      TDateTime ts;
      return u->SubmitMessage(kTo, kFrom, kText, et7BitText, "", {}, ts);
    };
    c.SubmitAsync = [u](TSubmitTicket& T) {
      return u->SubmitMessageAsync(kTo, kFrom, kText, et7BitText, "", {}, T);
    };
  } else if (Protocol == "cimd2") {
    auto* m = new cimd2::TxcGarvelCIMD2(nullptr);
    c.Component.reset(m);
    c.Open = [m] { return m->InitializeSession("bench", ""); };
    c.SubmitSync = [m] {
      TDateTime ts;
      return m->SubmitMessage(kTo, kFrom, kText, et7BitText, "", {}, ts);
    };
    c.SubmitAsync = [m](TSubmitTicket& T) {
      return m->SubmitMessageAsync(kTo, kFrom, kText, et7BitText, "", {}, T);
    };
  } else if (Protocol == "sema") {
    auto* m = new sema::TxcGarvelSEMA(nullptr);
    c.Component.reset(m);
    c.Open = [m] { return m->InitializeSession(kFrom, 1, 1); };
    c.SubmitSync = [m] {
      std::string id;
      TDateTime ts;
      return m->SubmitMessage(kTo, kFrom, 1, 1, kText, et7BitText, "", {}, id, ts);
    };
    c.SubmitAsync = [m](TSubmitTicket& T) {
      return m->SubmitMessageAsync(kTo, kFrom, 1, 1, kText, et7BitText, "", {}, T);
    };
  } else if (Protocol == "smpp") {
    auto* m = new smpp::TxcGarvelSMPP(nullptr);
    c.Component.reset(m);
    c.Open = [m] { return m->InitializeSession("bench", "", 0, 0, "", smpp::bmTransmitter); };
    c.SubmitSync = [m] {
      std::string id;
      return m->SubmitMessage(kTo, 1, 1, kFrom, 0, 1, kText, et7BitText, "", {}, id);
    };
    c.SubmitAsync = [m](TSubmitTicket& T) {
      return m->SubmitMessageAsync(kTo, 1, 1, kFrom, 0, 1, kText, et7BitText, "", {}, 0, 0, T);
    };
  }
  return c;
}

// Calls Once (a synchronous request, 0 on success) for Seconds, in batches.
long long ForSeconds(double Seconds, const std::function<int()>& Once) {
  long long n = 0;
  auto t0 = Clock::now();
  while (SecondsSince(t0) < Seconds) {
    for (int i = 0; i < 50; ++i)
      if (Once() != 0)
        return 0;
    n += 50;
  }
  return n;
}

// Wall time in the submit calls and in pumping, of the last windowed run.
Clock::duration gInSubmit{}, gInPump{};

// Submits Count messages through the window, pumping completions between
// submits; the count of accepted ones, 0 when any failed.
long long Windowed(TClient& C, long long Count) {
  long long completed = 0, failed = 0;
  C.Component->OnSubmitCompleted = [&](TObject*, const TxcSubmitCompletion& R) {
    ++completed;
    failed += R.Result != 0;
  };
  for (long long i = 0; i < Count; ++i) {
    TSubmitTicket t = 0;
    auto t0 = Clock::now();
    if (C.SubmitAsync(t) != 0)
      return 0;
    auto t1 = Clock::now();
    Application()->ProcessMessages();
    gInSubmit += t1 - t0;
    gInPump += Clock::now() - t1;
  }
  while (completed < Count && C.Component->State() == rsLoggedIn)
    Application()->HandleMessage(1000);
  C.Component->OnSubmitCompleted = nullptr;
  return completed == Count && failed == 0 ? Count : 0;
}

struct TRow {
  std::string Protocol;
  double KeepAlive = 0, Sync = 0;
  TCost Window;
  double SubmitUs = 0, PumpUs = 0; // wall time per windowed message
  bool Ok = false;
};

TRow RunProtocol(const std::string& Protocol, int Port, double Seconds, long long Messages,
                 int Window) {
  TRow row;
  row.Protocol = Protocol;
  TClient c = MakeClient(Protocol);
  if (!c.Component)
    return row;
  TxcGarvel& g = *c.Component;
  g.SetKeepAlive(false);
  if (g.Connect("127.0.0.1", Port) != 0 || c.Open() != 0)
    return row;
  // Warm-up, then each measurement.
  if (ForSeconds(0.2, c.SubmitSync) == 0)
    return row;
  long long alive = ForSeconds(Seconds, [&] { return g.Alive(); });
  row.KeepAlive = static_cast<double>(alive) / Seconds;
  row.Sync = static_cast<double>(ForSeconds(Seconds, c.SubmitSync)) / Seconds;
  g.SetWindowSize(Window);
  Windowed(c, std::min<long long>(Messages, 2000)); // warm-up
  gInSubmit = gInPump = {};
  row.Window = Measure([&] { return Windowed(c, Messages); });
  if (row.Window.Count > 0) {
    auto per = [&](Clock::duration D) {
      return std::chrono::duration<double, std::micro>(D).count() /
             static_cast<double>(row.Window.Count);
    };
    row.SubmitUs = per(gInSubmit);
    row.PumpUs = per(gInPump);
  }
  row.Ok = row.Window.Count > 0 && row.Sync > 0;
  g.Disconnect();
  Application()->ProcessMessages();
  return row;
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
  long long messages = 20000;
  int window = 50;
  std::string protocols = "ucp,cimd2,sema,smpp";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--seconds=", 10) == 0)
      seconds = std::max(0.1, std::atof(argv[i] + 10));
    else if (std::strncmp(argv[i], "--messages=", 11) == 0)
      messages = std::max(1LL, std::atoll(argv[i] + 11));
    else if (std::strncmp(argv[i], "--window=", 9) == 0)
      window = std::max(1, std::atoi(argv[i] + 9));
    else if (std::strncmp(argv[i], "--protocols=", 12) == 0)
      protocols = argv[i] + 12;
  }
  // Every simulator is forked before this process starts a thread.
  std::vector<std::pair<std::string, TChild>> children;
  std::stringstream list(protocols);
  for (std::string p; std::getline(list, p, ',');)
    children.emplace_back(p, Fork(p));

  std::printf("Submits on 127.0.0.1, simulator in a child process; windowed: %lld messages,"
              " window %d\n",
              messages, window);
  std::printf("  %-6s %11s %10s %11s %7s %9s %10s %9s %9s\n", "", "keep-alive/s", "sync/s",
              "windowed/s", "x sync", "CPU us", "sock calls", "rd/wr", "ctx sw");
  std::vector<TRow> rows;
  for (auto& [protocol, child] : children) {
    if (child.Port == 0) {
      std::printf("  %-6s (no simulator for it)\n", protocol.c_str());
      continue;
    }
    TRow r = RunProtocol(protocol, child.Port, seconds, messages, window);
    Stop(child);
    if (!r.Ok) {
      std::printf("  %-6s FAILED\n", protocol.c_str());
      continue;
    }
    std::printf("  %-6s %11.0f %10.0f %11.0f %7.2f %9.2f %10.2f %9.2f %9.3f\n", protocol.c_str(),
                r.KeepAlive, r.Sync, r.Window.Rate(), r.Window.Rate() / r.Sync, r.Window.CpuUs,
                r.Window.SocketCalls, r.Window.ReadWrite, r.Window.Switches);
    rows.push_back(r);
  }
  std::printf("  wall time per windowed message on the main thread, in the submit call /"
              " pumping completions (us):\n");
  for (const TRow& r : rows)
    std::printf("  %-6s %8.2f / %8.2f\n", r.Protocol.c_str(), r.SubmitUs, r.PumpUs);
  std::printf("  (CPU us, socket calls, rd/wr system calls and context switches are per"
              " windowed message, client process only)\n");
  std::printf("  TCP ping-pong floor (100/100 octets, two threads): %.0f /s\n", PingPong(seconds));
  std::printf("\nTargets (reported, not asserted):\n");
  for (const TRow& r : rows) {
    if (r.Protocol == "smpp")
      std::printf("  smpp windowed >= 3x synchronous: %.2fx  %s\n", r.Window.Rate() / r.Sync,
                  r.Window.Rate() >= 3 * r.Sync ? "met" : "MISSED");
    std::printf("  %-5s client CPU <= 10 us per windowed message: %.2f us  %s\n",
                r.Protocol.c_str(), r.Window.CpuUs, r.Window.CpuUs <= 10 ? "met" : "MISSED");
  }
  return 0;
}
