// The SMSC simulator's TCP server: accepts clients and plays the SMSC side
// of one protocol to each of them.
#include "SmscServer.h"

#include "Classes.h"
#include "Sockets.h"
#include "SyncObjs.h"
#include "SysUtils.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace garvel::sim {
namespace detail {

/// A thread running a callable; joined by its destructor.
class TSimThread : public TThread {
public:
  explicit TSimThread(std::function<void(TThread&)> Body) : FBody(std::move(Body)) {}
  ~TSimThread() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override { FBody(*this); }

private:
  std::function<void(TThread&)> FBody;
};

/// Keeps the log bounded whatever the clients do. Identical lines in a row
/// come out once, and the repeats as a count; every line written costs a
/// token from a bucket that holds Burst and refills at PerSecond, and the
/// lines that find it empty are held back and counted. The counts come out
/// as lines of their own, starting with "... ", when a token allows (a
/// held-back count with the next line written) and in any case on Flush.
/// Not thread-safe: the server serialises it.
class TLogLimiter {
public:
  TLogLimiter(int Burst, int PerSecond) : FBurst(Burst), FPerSecond(PerSecond), FTokens(Burst) {}

  /// Appends to Out the lines to write now for Line (none when it is held
  /// back or repeats the last one).
  void Add(const std::string& Line, int64_t Now, std::vector<std::string>& Out) {
    Refill(Now);
    if (FHaveLast && Line == FLast) {
      if (!FLastShown) {
        ++FHeld; // a repeat of a line held back is held back too
        return;
      }
      if (FRepeats++ == 0)
        FRepeatsSince = Now;
      // A steady repetition shows up now and then, not only when it ends.
      if (Now - FRepeatsSince >= 1000 && Take())
        EmitRepeats(Out);
      return;
    }
    if (FRepeats > 0) {
      if (Take())
        EmitRepeats(Out);
      else
        FHeld += std::exchange(FRepeats, 0);
    }
    FLast = Line;
    FHaveLast = true;
    FLastShown = Take();
    if (!FLastShown) {
      ++FHeld;
      return;
    }
    EmitHeld(Out);
    Out.push_back(Line);
  }

  /// Appends the counts still pending.
  void Flush(std::vector<std::string>& Out) {
    EmitRepeats(Out);
    EmitHeld(Out);
  }

private:
  void Refill(int64_t Now) {
    if (FLastRefill != 0 && Now > FLastRefill)
      FTokens = std::min<double>(FBurst, FTokens + static_cast<double>(Now - FLastRefill) *
                                                       FPerSecond / 1000.0);
    FLastRefill = Now;
  }
  bool Take() {
    if (FTokens < 1)
      return false;
    FTokens -= 1;
    return true;
  }
  void EmitRepeats(std::vector<std::string>& Out) {
    if (FRepeats > 0)
      Out.push_back("... the last line " + std::to_string(FRepeats) + " more time" +
                    (FRepeats == 1 ? "" : "s"));
    FRepeats = 0;
  }
  void EmitHeld(std::vector<std::string>& Out) {
    if (FHeld > 0)
      Out.push_back("... " + std::to_string(FHeld) + " line" + (FHeld == 1 ? "" : "s") +
                    " not logged (the log takes " + std::to_string(FPerSecond) +
                    " lines a second after a burst of " + std::to_string(FBurst) + ")");
    FHeld = 0;
  }

  const int FBurst;
  const int FPerSecond;
  double FTokens;
  int64_t FLastRefill = 0;
  std::string FLast;
  bool FHaveLast = false;
  bool FLastShown = false;
  int64_t FRepeats = 0;
  int64_t FRepeatsSince = 0;
  int64_t FHeld = 0;
};

/// Threads waiting for a condition on state guarded by one mutex. Whoever
/// changes that state calls NotifyAll with the mutex held.
class TWaiters {
public:
  void NotifyAll() {
    for (TEvent* e : FEvents)
      e->SetEvent();
  }

  /// Lock is held on entry and on return.
  bool Wait(std::unique_lock<std::mutex>& Lock, const std::function<bool()>& Pred, int TimeoutMs) {
    if (Pred())
      return true;
    TEvent ev;
    FEvents.push_back(&ev);
    const int64_t deadline = GetTickCount64() + std::max(TimeoutMs, 0);
    bool ok = false;
    for (;;) {
      int64_t left = deadline - GetTickCount64();
      if (left <= 0)
        break;
      Lock.unlock();
      ev.WaitFor(static_cast<uint32_t>(left));
      Lock.lock();
      if (Pred()) {
        ok = true;
        break;
      }
      // Reset under the lock: a change after this sets the event again.
      ev.ResetEvent();
    }
    FEvents.erase(std::find(FEvents.begin(), FEvents.end(), &ev));
    return ok;
  }

private:
  std::vector<TEvent*> FEvents;
};

/// One accepted connection and the thread that serves it.
///
/// Locks: FLock serialises the protocol state and every write to the
/// connection; FCloseLock orders a shutdown from another thread before the
/// release of the descriptor (taken after FLock, never held while blocking).
class TSmscSession : public TSessionLink {
public:
  TSmscSession(TSmscServer& Server, int Id, std::unique_ptr<TCustomIpClient> Client)
      : FServer(Server), FId(Id), FClient(std::move(Client)),
        FProto(Server.FPersonality->NewSession()) {}

  ~TSmscSession() override {
    Stop();
    FThread.reset();
  }

  void Start() {
    FThread = std::make_unique<TSimThread>([this](TThread& T) { Run(T); });
    FThread->Start();
  }

  /// Any thread: ends the connection (orderly) and wakes the thread.
  void Stop() {
    FStopEvent.SetEvent();
    if (FThread)
      FThread->Terminate();
    Shutdown();
  }

  /// Any thread: orderly close, or an abortive one done by the session's
  /// own thread (the descriptor may be released only there).
  void Close(bool Reset) {
    if (Reset) {
      FResetRequested.store(true);
      WakeForReset();
      return;
    }
    Shutdown();
  }

  bool Finished() const { return !FThread || FThread->Finished(); }
  int Id() const { return FId; }

  /// Lock-free: the server asks while holding its own lock.
  bool Open() const { return FOpen.load(); }

  /// Builds a frame with the protocol state and writes it.
  TPushResult Push(const std::function<TPushResult(TProtocolSession&, std::string&)>& Build) {
    TSimConfig cfg = FServer.Config();
    std::lock_guard<std::mutex> g(FLock);
    if (!FOpen)
      return prNoSession;
    std::string frame;
    TPushResult r = Build(*FProto, frame);
    if (r != prSent)
      return r;
    return SendFrameLocked(frame, cfg, true) && FlushOutLocked() ? prSent : prSendFailed;
  }

  TPushResult SendRaw(const std::string& Bytes) {
    std::lock_guard<std::mutex> g(FLock);
    if (!FOpen)
      return prNoSession;
    FServer.Log(Prefix() + "-> raw " + FServer.FPersonality->Printable(Bytes));
    if (!FlushOutLocked())
      return prSendFailed;
    return FClient->SendBuf(Bytes.data(), static_cast<int>(Bytes.size())) >= 0 ? prSent
                                                                               : prSendFailed;
  }

  // TSessionLink, used from Handle on the session's thread.
  int SessionId() const override { return FId; }
  const TSimConfig& Config() const override { return FFrameConfig; }
  void Schedule(int DelayMs, std::function<std::string()> Build) override {
    // Kept in order of time (frames due at the same time in the order
    // scheduled), so that the next one is always the first.
    const int64_t at = GetTickCount64() + std::max(DelayMs, 0);
    auto pos = std::upper_bound(FDue.begin(), FDue.end(), at,
                                [](int64_t t, const TDue& d) { return t < d.At; });
    FDue.insert(pos, {at, std::move(Build)});
  }
  void SubmitAccepted(const TSubmitRecord& Submit) override { FServer.RecordSubmit(Submit); }
  void Log(const std::string& Text) override { FServer.Log(Prefix() + Text); }

private:
  static constexpr int kReadChunk = 4096;
  // A run of skipped bytes is reported when a frame follows it, when the
  // connection ends, or after this long.
  static constexpr int kSkipReportMs = 1000;
  static constexpr size_t kSkipSample = 24;

  std::string Prefix() const { return "[" + std::to_string(FId) + "] "; }

  void Shutdown() {
    std::lock_guard<std::mutex> g(FCloseLock);
    if (!FReleased)
      FClient->Disconnect();
  }

  // Wakes the session's thread for an abortive close without telling the
  // client anything: Disconnect would send it an end of stream before the
  // reset. Shutting down only the receiving side sends nothing and makes
  // the wait report the end of the stream; the thread then finds the
  // request and aborts.
  void WakeForReset() {
    std::lock_guard<std::mutex> g(FCloseLock);
    if (!FReleased)
      FClient->ShutdownReceive();
  }

  void Run(TThread& Self) {
    FServer.Log(Prefix() + "connected");
    bool reset = false;
    char chunk[kReadChunk];
    // Sleeps until bytes arrive, a scheduled frame or a skip report is due,
    // or another thread ends the connection (which shuts the socket down).
    while (!Self.Terminated() && !FResetRequested.load()) {
      RunDue();
      TWaitForDataResult w = FClient->WaitForData(NextWait());
      if (w == wdTimeout) {
        ReportSkipped(false);
        continue;
      }
      if (w != wdReadable)
        break;
      int n = FClient->ReceiveBuf(chunk, sizeof chunk);
      FPending.append(chunk, static_cast<size_t>(n));
      bool ended = false;
      bool framed = CutFrames(ended);
      {
        // The answers to every frame of this read go out in one write.
        std::lock_guard<std::mutex> g(FLock);
        FlushOutLocked();
      }
      ReportSkipped(false);
      if (!framed || ended) {
        reset = ended && FResetNow;
        break;
      }
    }
    End(reset || FResetRequested.load());
  }

  // Milliseconds until the thread has something to do of its own accord;
  // -1 for nothing.
  int NextWait() const {
    int64_t next = FDue.empty() ? INT64_MAX : FDue.front().At;
    if (FSkipped > 0)
      next = std::min(next, FSkipSince + kSkipReportMs);
    if (next == INT64_MAX)
      return -1;
    return static_cast<int>(std::clamp<int64_t>(next - GetTickCount64(), 0, INT_MAX));
  }

  void NoteSkipped(std::string_view Bytes) {
    if (FSkipped == 0)
      FSkipSince = GetTickCount64();
    FSkipped += Bytes.size();
    if (FSkipSample.size() < kSkipSample)
      FSkipSample.append(Bytes.substr(0, kSkipSample - FSkipSample.size()));
  }

  // One line for a run of skipped bytes, however long: their count and how
  // they began. Unless Now, only once the run is kSkipReportMs old.
  void ReportSkipped(bool Now) {
    if (FSkipped == 0 || (!Now && GetTickCount64() - FSkipSince < kSkipReportMs))
      return;
    FServer.Log(Prefix() + "<- skipped " + std::to_string(FSkipped) + " byte" +
                (FSkipped == 1 ? "" : "s") + ": " + FServer.FPersonality->Printable(FSkipSample) +
                (FSkipped > FSkipSample.size() ? "..." : ""));
    FSkipped = 0;
    FSkipSample.clear();
  }

  // Handles every complete frame in FPending. False when the stream broke;
  // Ended when a frame ended the connection.
  bool CutFrames(bool& Ended) {
    for (;;) {
      TFrameCut c = FServer.FPersonality->Cut(FPending);
      switch (c.Kind) {
      case TFrameCut::fcNeedMore:
        return true;
      case TFrameCut::fcSkip: {
        size_t n = std::clamp<size_t>(c.Length, 1, FPending.size());
        NoteSkipped(std::string_view(FPending).substr(0, n));
        FPending.erase(0, n);
        break;
      }
      case TFrameCut::fcBroken:
        ReportSkipped(true);
        FServer.Log(Prefix() + "<- unframeable bytes; closing");
        return false;
      case TFrameCut::fcFrame: {
        size_t n = std::clamp<size_t>(c.Length, 1, FPending.size());
        std::string frame = FPending.substr(0, n);
        FPending.erase(0, n);
        if (!HandleFrame(frame)) {
          Ended = true;
          return true;
        }
        break;
      }
      }
    }
  }

  // False when the frame ended the connection.
  bool HandleFrame(const std::string& Frame) {
    ReportSkipped(true);
    RefreshConfig();
    const TPersonality& p = *FServer.FPersonality;
    TReceivedFrame rec;
    rec.Session = FId;
    rec.Operation = p.Describe(Frame, rec.Valid);
    rec.Bytes = Frame;
    if (FServer.OnLog)
      FServer.Log(Prefix() + "<- " + rec.Operation + " " + p.Printable(Frame));
    ++FFrames;
    const std::string op = rec.Operation;
    // Recorded before any answer goes out, so that a client holding the
    // answer can count on the record.
    FServer.Record(std::move(rec));
    const TSimConfig& cfg = FFrameConfig;
    if (cfg.ResetAfterFrames > 0 && FFrames >= cfg.ResetAfterFrames) {
      FServer.Log(Prefix() + "resetting after " + std::to_string(FFrames) + " frames");
      FResetNow = true;
      return false;
    }
    if (cfg.CloseAfterFrames > 0 && FFrames >= cfg.CloseAfterFrames) {
      FServer.Log(Prefix() + "closing after " + std::to_string(FFrames) + " frames");
      return false;
    }
    if (cfg.SilentOperations.count("*") || cfg.SilentOperations.count(op)) {
      FServer.Log(Prefix() + "left unanswered");
      return true;
    }
    std::lock_guard<std::mutex> g(FLock);
    for (const std::string& r : FProto->Handle(Frame, *this)) {
      if (cfg.ResponseDelayMs > 0)
        Schedule(cfg.ResponseDelayMs, [r] { return r; });
      else if (!SendFrameLocked(r, cfg, false))
        break;
    }
    return true;
  }

  // Sends the scheduled frames that are due.
  void RunDue() {
    const int64_t now = GetTickCount64();
    size_t n = 0;
    while (n < FDue.size() && FDue[n].At <= now)
      ++n;
    if (n == 0)
      return;
    std::vector<TDue> due(std::make_move_iterator(FDue.begin()),
                          std::make_move_iterator(FDue.begin() + static_cast<ptrdiff_t>(n)));
    FDue.erase(FDue.begin(), FDue.begin() + static_cast<ptrdiff_t>(n));
    RefreshConfig();
    std::lock_guard<std::mutex> g(FLock);
    for (TDue& d : due) {
      if (!FOpen)
        return;
      std::string frame = d.Build();
      if (!frame.empty())
        SendFrameLocked(frame, FFrameConfig, true);
    }
    FlushOutLocked();
  }

  // Writes one frame with the configured misbehaviour. FLock held.
  bool SendFrameLocked(const std::string& Frame, const TSimConfig& Cfg, bool OwnAccord) {
    if (!FOpen)
      return false;
    const TPersonality& p = *FServer.FPersonality;
    if (FServer.OnLog)
      FServer.Log(Prefix() + "-> " + (OwnAccord ? "" : "answer ") + p.Printable(Frame));
    if (!Cfg.GarbageBeforeFrames && Cfg.SplitPieceSize <= 0) {
      // Whole frames go out together: the answers to a run of pipelined
      // requests, or the frames due at one time, take one write.
      FOut += Frame;
      return true;
    }
    if (!FlushOutLocked())
      return false;
    std::string bytes = Cfg.GarbageBeforeFrames ? p.Garbage() + Frame : Frame;
    size_t piece = Cfg.SplitPieceSize > 0 ? static_cast<size_t>(Cfg.SplitPieceSize) : bytes.size();
    for (size_t i = 0; i < bytes.size(); i += piece) {
      if (i > 0 && Cfg.SplitDelayMs > 0 &&
          FStopEvent.WaitFor(static_cast<uint32_t>(Cfg.SplitDelayMs)) == wrSignaled)
        return false;
      size_t n = std::min(piece, bytes.size() - i);
      if (FClient->SendBuf(bytes.data() + i, static_cast<int>(n)) < 0) {
        FServer.Log(Prefix() + "write failed (errno " + std::to_string(FClient->LastError()) + ")");
        return false;
      }
    }
    return true;
  }

  // Writes the frames SendFrameLocked collected. FLock held.
  bool FlushOutLocked() {
    if (FOut.empty())
      return true;
    std::string out = std::move(FOut);
    FOut.clear();
    if (!FOpen)
      return false;
    if (FClient->SendBuf(out.data(), static_cast<int>(out.size())) < 0) {
      FServer.Log(Prefix() + "write failed (errno " + std::to_string(FClient->LastError()) + ")");
      return false;
    }
    return true;
  }

  // Takes the server's configuration when it changed since the last look.
  void RefreshConfig() {
    uint64_t v = FServer.FConfigVersion.load();
    if (v != FConfigVersion) {
      FFrameConfig = FServer.Config();
      FConfigVersion = v;
    }
  }

  void End(bool Reset) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FlushOutLocked();
      std::lock_guard<std::mutex> c(FCloseLock);
      FOpen = false;
      FReleased = true;
      if (Reset)
        FClient->Abort();
      else
        FClient->Close();
    }
    FDue.clear();
    ReportSkipped(true);
    FServer.Log(Prefix() + (Reset ? "reset" : "disconnected"));
    FServer.SessionEnded();
  }

  struct TDue {
    int64_t At;
    std::function<std::string()> Build;
  };

  TSmscServer& FServer;
  const int FId;
  std::unique_ptr<TCustomIpClient> FClient;
  std::unique_ptr<TProtocolSession> FProto;
  std::unique_ptr<TThread> FThread;
  TEvent FStopEvent;
  std::atomic<bool> FResetRequested{false};
  std::mutex FLock;
  std::atomic<bool> FOpen{true}; // written under FLock
  std::mutex FCloseLock;
  bool FReleased = false;
  std::string FOut; // under FLock: whole frames to write together
  // The session's thread only:
  std::string FPending;
  size_t FSkipped = 0; // bytes skipped and not yet reported
  std::string FSkipSample;
  int64_t FSkipSince = 0;
  int FFrames = 0;
  bool FResetNow = false;
  TSimConfig FFrameConfig;
  std::deque<TDue> FDue;       // in order of At
  uint64_t FConfigVersion = 0; // of FFrameConfig
};

} // namespace detail

using detail::TLogLimiter;
using detail::TSimThread;
using detail::TSmscSession;

TSessionLink::~TSessionLink() = default;
TProtocolSession::~TProtocolSession() = default;

void TProtocolSession::AcceptSubmit(const TSubmitRecord& Submit, TSessionLink& Link) {
  Link.SubmitAccepted(Submit);
  Link.Log("submit accepted as " + Submit.MessageId);
  const TSimConfig& cfg = Link.Config();
  if (Submit.StatusReportRequested && cfg.StatusReportDelayMs >= 0) {
    TSimStatusReport report = ReportFor(Submit, cfg.ReportStatus, cfg.ReportReason);
    Link.Schedule(cfg.StatusReportDelayMs, [this, report] {
      std::string frame;
      BuildStatusReport(report, frame);
      return frame;
    });
  }
}
bool TProtocolSession::Throttled(TSessionLink& Link) {
  const int limit = Link.Config().ThrottleAbovePerSecond;
  if (limit <= 0)
    return false;
  const int64_t now = GetTickCount64();
  if (FSubmitsInSecond == 0 || now - FSecondStart >= 1000) {
    FSecondStart = now;
    FSubmitsInSecond = 0;
  }
  if (++FSubmitsInSecond <= limit)
    return false;
  Link.Log("submit throttled (" + std::to_string(FSubmitsInSecond) + " this second, limit " +
           std::to_string(limit) + ")");
  return true;
}

TPersonality::~TPersonality() = default;

TSmscServer::TSmscServer(const std::string& Protocol, TSimConfig Config)
    : TSmscServer(CreatePersonality(Protocol), std::move(Config)) {}

TSmscServer::TSmscServer(std::unique_ptr<TPersonality> Personality, TSimConfig Config)
    : FPersonality(std::move(Personality)), FConfig(std::move(Config)),
      FWaiters(std::make_unique<detail::TWaiters>()),
      FLogLimiter(std::make_unique<TLogLimiter>(kLogBurst, kLogLinesPerSecond)) {
  if (!FPersonality)
    throw std::invalid_argument("unknown simulator protocol");
}

TSmscServer::~TSmscServer() {
  Stop();
}

std::string TSmscServer::Protocol() const {
  return FPersonality->Name();
}

bool TSmscServer::Start(const std::string& Host, int Port) {
  if (FStarted.exchange(true))
    return false;
  FListener = std::make_unique<TTcpListener>();
  if (!FListener->Listen(Host, Port)) {
    FLastError.store(FListener->LastError());
    FListener.reset();
    FStarted.store(false);
    return false;
  }
  FPort.store(FListener->Port());
  FAcceptThread = std::make_unique<TSimThread>([this](TThread& T) { AcceptLoop(T); });
  FAcceptThread->Start();
  return true;
}

void TSmscServer::Stop() {
  if (!FStarted.load())
    return;
  if (FAcceptThread) {
    FAcceptThread->Terminate();
    FListener->Close();
    FAcceptThread.reset(); // joins
  }
  ReapSessions(true);
  FListener.reset();
  FStarted.store(false);
  FlushLog();
}

void TSmscServer::AcceptLoop(TThread& Self) {
  TEvent pause;
  while (!Self.Terminated()) {
    std::unique_ptr<TCustomIpClient> c = FListener->Accept(-1);
    if (Self.Terminated())
      break;
    if (!c) {
      // An accept error other than a closed listener (out of descriptors):
      // do not spin on it.
      pause.WaitFor(50);
      continue;
    }
    ReapSessions(false);
    std::shared_ptr<TSmscSession> s;
    {
      std::lock_guard<std::mutex> g(FLock);
      s = std::make_shared<TSmscSession>(*this, ++FAccepted, std::move(c));
      FSessions.push_back(s);
      FWaiters->NotifyAll();
    }
    s->Start();
  }
}

void TSmscServer::ReapSessions(bool All) {
  std::vector<std::shared_ptr<TSmscSession>> gone;
  {
    std::lock_guard<std::mutex> g(FLock);
    for (auto it = FSessions.begin(); it != FSessions.end();) {
      if (All || (*it)->Finished()) {
        gone.push_back(std::move(*it));
        it = FSessions.erase(it);
      } else {
        ++it;
      }
    }
    FWaiters->NotifyAll();
  }
  // Stopped and joined outside the lock: a session's thread takes it.
  for (auto& s : gone)
    s->Stop();
  gone.clear();
}

std::shared_ptr<TSmscSession> TSmscServer::LatestSession() const {
  std::lock_guard<std::mutex> g(FLock);
  for (auto it = FSessions.rbegin(); it != FSessions.rend(); ++it)
    if ((*it)->Open())
      return *it;
  return nullptr;
}

TSimConfig TSmscServer::Config() const {
  std::lock_guard<std::mutex> g(FLock);
  return FConfig;
}

void TSmscServer::SetConfig(const TSimConfig& Config) {
  std::lock_guard<std::mutex> g(FLock);
  FConfig = Config;
  FConfigVersion.fetch_add(1);
  TrimRecordsLocked();
}

int TSmscServer::SessionCount() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(
      std::count_if(FSessions.begin(), FSessions.end(), [](auto& s) { return s->Open(); }));
}

int TSmscServer::SessionsAccepted() const {
  std::lock_guard<std::mutex> g(FLock);
  return FAccepted;
}

bool TSmscServer::WaitUntil(const std::function<bool()>& Pred, int TimeoutMs) const {
  std::unique_lock<std::mutex> g(FLock);
  return FWaiters->Wait(g, Pred, TimeoutMs);
}

bool TSmscServer::WaitForSessions(int Count, int TimeoutMs) const {
  return WaitUntil([&] { return FAccepted >= Count; }, TimeoutMs);
}

bool TSmscServer::WaitNoSession(int TimeoutMs) const {
  return WaitUntil(
      [&] {
        return std::none_of(FSessions.begin(), FSessions.end(), [](auto& s) { return s->Open(); });
      },
      TimeoutMs);
}

void TSmscServer::CloseSessions(bool Reset) {
  std::vector<std::shared_ptr<TSmscSession>> all;
  {
    std::lock_guard<std::mutex> g(FLock);
    all = FSessions;
  }
  for (auto& s : all)
    s->Close(Reset);
}

void TSmscServer::SessionEnded() {
  std::lock_guard<std::mutex> g(FLock);
  FWaiters->NotifyAll();
}

TPushResult TSmscServer::Deliver(const TSimMessage& Message) {
  auto s = LatestSession();
  if (!s)
    return prNoSession;
  return s->Push([&](TProtocolSession& P, std::string& F) { return P.BuildDeliver(Message, F); });
}

TPushResult TSmscServer::SendStatusReport(const TSimStatusReport& Report) {
  auto s = LatestSession();
  if (!s)
    return prNoSession;
  return s->Push(
      [&](TProtocolSession& P, std::string& F) { return P.BuildStatusReport(Report, F); });
}

TPushResult TSmscServer::Alert() {
  auto s = LatestSession();
  if (!s)
    return prNoSession;
  return s->Push([](TProtocolSession& P, std::string& F) { return P.BuildAlert(F); });
}

TPushResult TSmscServer::SendRaw(const std::string& Bytes) {
  auto s = LatestSession();
  if (!s)
    return prNoSession;
  return s->SendRaw(Bytes);
}

void TSmscServer::Record(TReceivedFrame Frame) {
  std::lock_guard<std::mutex> g(FLock);
  if (auto it = FReceivedCounts.find(Frame.Operation); it != FReceivedCounts.end())
    ++it->second;
  else if (FReceivedCounts.size() < kMaxCountedNames)
    FReceivedCounts.emplace(Frame.Operation, 1);
  FReceived.push_back(std::move(Frame));
  TrimRecordsLocked();
  FWaiters->NotifyAll();
}

void TSmscServer::RecordSubmit(const TSubmitRecord& Submit) {
  std::lock_guard<std::mutex> g(FLock);
  ++FSubmitCount;
  FSubmits.push_back(Submit);
  TrimRecordsLocked();
  FWaiters->NotifyAll();
}

void TSmscServer::TrimRecordsLocked() {
  const size_t limit = static_cast<size_t>(std::max(FConfig.RecordLimit, 0));
  while (FReceived.size() > limit)
    FReceived.pop_front();
  while (FSubmits.size() > limit)
    FSubmits.pop_front();
}

int64_t TSmscServer::CountLocked(const std::string& Operation) const {
  if (auto it = FReceivedCounts.find(Operation); it != FReceivedCounts.end())
    return it->second;
  // A name first seen once the count table was full: only the record knows.
  return std::count_if(FReceived.begin(), FReceived.end(),
                       [&](auto& f) { return f.Operation == Operation; });
}

std::vector<TReceivedFrame> TSmscServer::Received() const {
  std::lock_guard<std::mutex> g(FLock);
  return {FReceived.begin(), FReceived.end()};
}

int TSmscServer::CountReceived(const std::string& Operation) const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(std::min<int64_t>(CountLocked(Operation), INT_MAX));
}

bool TSmscServer::WaitReceived(const std::string& Operation, int Count, int TimeoutMs) const {
  return WaitUntil([&] { return CountLocked(Operation) >= Count; }, TimeoutMs);
}

std::vector<TSubmitRecord> TSmscServer::Submits() const {
  std::lock_guard<std::mutex> g(FLock);
  return {FSubmits.begin(), FSubmits.end()};
}

int TSmscServer::CountSubmits() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(std::min<int64_t>(FSubmitCount, INT_MAX));
}

bool TSmscServer::WaitSubmits(int Count, int TimeoutMs) const {
  return WaitUntil([&] { return FSubmitCount >= Count; }, TimeoutMs);
}

void TSmscServer::ClearRecords() {
  std::lock_guard<std::mutex> g(FLock);
  FReceived.clear();
  FReceivedCounts.clear();
  FSubmits.clear();
  FSubmitCount = 0;
}

void TSmscServer::Log(const std::string& Line) const {
  if (!OnLog)
    return;
  std::lock_guard<std::mutex> g(FLogLock);
  std::vector<std::string> out;
  if (Line.size() > kMaxLogLine) // a frame of 64 KB, shown in hexadecimal
    FLogLimiter->Add(Line.substr(0, kMaxLogLine) + "... (" +
                         std::to_string(Line.size() - kMaxLogLine) + " more characters)",
                     GetTickCount64(), out);
  else
    FLogLimiter->Add(Line, GetTickCount64(), out);
  for (const std::string& l : out)
    OnLog(l);
}

void TSmscServer::FlushLog() const {
  if (!OnLog)
    return;
  std::lock_guard<std::mutex> g(FLogLock);
  std::vector<std::string> out;
  FLogLimiter->Flush(out);
  for (const std::string& l : out)
    OnLog(l);
}

TSimStatusReport ReportFor(const TSubmitRecord& Submit, int Status, int Reason) {
  TSimStatusReport r;
  r.MessageId = Submit.MessageId;
  r.MessageTimeStamp = Submit.TimeStamp;
  r.Destination = Submit.Destination;
  r.Originator = Submit.Originator;
  r.Status = Status;
  r.Reason = Reason;
  return r;
}

const char* PushResultName(TPushResult R) {
  switch (R) {
  case prSent:
    return "prSent";
  case prNoSession:
    return "prNoSession";
  case prCannotCarry:
    return "prCannotCarry";
  case prSendFailed:
    return "prSendFailed";
  case prUnsupported:
    return "prUnsupported";
  }
  return "?";
}

} // namespace garvel::sim
