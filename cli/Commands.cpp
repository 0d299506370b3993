// The garvel tool's commands: send, listen, sim and demo.
#include "Commands.h"

#include "CommandLine.h"
#include "EventLog.h"
#include "ProtocolClient.h"

#include "Cimd2Personality.h"
#include "CodePage.h"
#include "Messages.h"
#include "SmscServer.h"
#include "SyncObjs.h"
#include "xuSMSCConcat.h"
#include "xuSMSCExtractSM.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <unordered_map>

#include <sys/eventfd.h>
#include <unistd.h>

namespace garvel::cli {
namespace {

const char* const kGsmTableName = "gsm0338.ini";

volatile std::sig_atomic_t gInterrupted = 0;
// Written by the signal handler to wake TInterruptWatch (eventfd).
int gInterruptFd = -1;

void OnSignal(int) {
  gInterrupted = 1;
  if (gInterruptFd >= 0) {
    uint64_t one = 1;
    (void)!write(gInterruptFd, &one, sizeof one);
  }
}

/// SIGINT and SIGTERM end the waiting loops of listen and sim.
void CatchInterrupts() {
  gInterrupted = 0;
  if (gInterruptFd < 0)
    gInterruptFd = eventfd(0, EFD_CLOEXEC);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

/// While it exists, SIGINT and SIGTERM end Client's session at once, a
/// Connect in progress included: the signal handler can only set a flag, so
/// a thread of its own waits for the signal and calls Disconnect, which any
/// thread may.
class TInterruptWatch : public TThread {
public:
  explicit TInterruptWatch(TProtocolClient& Client) : FClient(Client) {
    if (gInterruptFd >= 0)
      Start();
  }
  ~TInterruptWatch() override {
    Terminate();
    uint64_t one = 1;
    if (gInterruptFd >= 0)
      (void)!write(gInterruptFd, &one, sizeof one);
    WaitFor();
  }

protected:
  void Execute() override {
    uint64_t n;
    while (!Terminated()) {
      if (read(gInterruptFd, &n, sizeof n) < 0 && errno != EINTR)
        return;
      if (gInterrupted && !Terminated())
        FClient.Disconnect();
    }
  }

private:
  TProtocolClient& FClient;
};

void PrintLine(const std::string& Line) {
  std::fputs(Line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Fail(const std::string& Command, const std::string& Text) {
  std::fprintf(stderr, "garvel %s: %s\n", Command.c_str(), Text.c_str());
  return kExitFailure;
}

int UsageError(const std::string& Command, const std::string& Text) {
  std::fprintf(stderr, "garvel %s: %s\nTry 'garvel %s --help'.\n", Command.c_str(), Text.c_str(),
               Command.c_str());
  return kExitUsage;
}

/// The value of --protocol among Args (default "ucp"), looked up before the
/// full parse because the protocol decides which options exist.
std::string ProtocolOf(const std::vector<std::string>& Args) {
  std::string p = "ucp";
  for (size_t i = 1; i < Args.size(); ++i) {
    if (Args[i] == "--protocol" && i + 1 < Args.size())
      p = Args[i + 1];
    else if (Args[i].rfind("--protocol=", 0) == 0)
      p = Args[i].substr(11);
  }
  return p;
}

std::string JoinProtocols(const std::vector<std::string>& Names) {
  std::string s;
  for (const std::string& n : Names)
    s += (s.empty() ? "" : ", ") + n;
  return s;
}

const std::vector<TOption> kConnectionOptions = {
    {"protocol", "NAME", "protocol to speak (default ucp)"},
    {"host", "HOST", "SMSC host name or address (default 127.0.0.1)"},
    {"port", "PORT", "SMSC TCP port (required)"},
    {"timeout", "MS", "response time-out in milliseconds (default 10000)"},
    {"keep-alive", "MS", "keep-alive interval in milliseconds, 0 for none (default 10000)"},
};

std::vector<TOption> SessionOptions(const TProtocolClient& C) {
  std::vector<TOption> r;
  for (const TOptionSpec& o : C.SessionOptions())
    r.push_back({o.Name, o.ValueName, o.Help});
  return r;
}

/// A client made from the parsed connection and session options.
struct TSession {
  std::unique_ptr<TProtocolClient> Client;
  std::string Host;
  int Port = 0;
  bool Disconnected = false;
  int DisconnectReason = 0;
};

/// Builds the client of Cmd's options; an exit code when they are wrong.
int MakeSession(const std::string& Command, const TCommandLine& Cl, TSession& S) {
  S.Client = CreateClient(Cl.Get("protocol", "ucp"));
  S.Host = Cl.Get("host", "127.0.0.1");
  if (!Cl.Has("port"))
    return UsageError(Command, "--port is required");
  if (!ParseInt(Cl.Get("port"), 1, 65535, S.Port))
    return UsageError(Command, "--port takes a number from 1 to 65535");
  int timeout = 10000, keepAlive = 10000;
  if (Cl.Has("timeout") && !ParseInt(Cl.Get("timeout"), 1, 3600000, timeout))
    return UsageError(Command, "--timeout takes milliseconds from 1 to 3600000");
  if (Cl.Has("keep-alive") && !ParseInt(Cl.Get("keep-alive"), 0, 3600000, keepAlive))
    return UsageError(Command, "--keep-alive takes milliseconds from 0 to 3600000");
  S.Client->SetTimes(timeout, keepAlive);
  std::vector<TOptionSpec> own = S.Client->SessionOptions();
  for (const auto& [name, value] : Cl.Given()) {
    bool isOwn = false;
    for (const TOptionSpec& o : own)
      isOwn = isOwn || o.Name == name;
    std::string error;
    if (isOwn && !S.Client->SetOption(name, value, error))
      return UsageError(Command, error);
  }
  return kExitOk;
}

/// Routes the client's events into the log.
void Wire(TSession& S, demo::TEventLog& Log, const std::string& Command) {
  S.Client->OnMessage = [&Log](const TReceivedMessage& M) {
    Log.LogMessageReceived(M.Destination, M.Originator, M.TimeStamp, StrToHexStr(M.UserDataHeader),
                           M.Encoding, WideToUtf8(M.Text));
  };
  S.Client->OnReport = [&Log](const TReceivedReport& R) {
    Log.LogStatusReport(R.MessageId, R.Destination, R.MessageTimeStamp, R.Originator, R.Status,
                        R.Reason, R.TimeStamp);
  };
  S.Client->OnDisconnected = [&Log, &S](int Reason) {
    S.Disconnected = true;
    S.DisconnectReason = Reason;
    Log.LogDisconnected(Reason);
  };
  S.Client->OnError = [Command](const std::string& Text) {
    std::fprintf(stderr, "garvel %s: %s\n", Command.c_str(), Text.c_str());
  };
}

/// Disconnects and waits (briefly) for the disconnect to be reported.
void CloseSession(TSession& S) {
  S.Client->Disconnect();
  Application()->ProcessUntil([&] { return S.Disconnected; }, 2000);
}

/// Why a request failed, for an error message. A request returns -1 both
/// when no answer came in time and when the session ended meanwhile; in the
/// second case the disconnect is already posted (or follows at once), so a
/// short pump tells them apart and gives the reason.
std::string FailureText(TSession& S, int Result) {
  if (Result == rcTimeOut && !S.Disconnected)
    Application()->ProcessUntil([&] { return S.Disconnected; }, 250);
  if (Result == rcTimeOut && S.Disconnected)
    return "the connection was lost (" + DisconnectReasonText(S.DisconnectReason) + ")";
  return ResultText(Result, *S.Client);
}

/// Connect and initialise, logging both; an exit code on failure.
int OpenSession(const std::string& Command, TSession& S, demo::TEventLog& Log) {
  Log.LogConnecting();
  int r = S.Client->Connect(S.Host, S.Port);
  if (r != 0) {
    Log.LogConnectFailed(r);
    return Fail(Command, "cannot connect to " + S.Host + ":" + std::to_string(S.Port) + ": " +
                             (r > 0 ? std::strerror(r) : ResultText(r, *S.Client)));
  }
  Log.LogConnected();
  r = S.Client->InitializeSession();
  if (r != 0) {
    Log.LogInitializeFailed(r);
    std::string why = FailureText(S, r);
    CloseSession(S);
    return Fail(Command, "the session was not opened: " + why);
  }
  Log.LogInitialized();
  return kExitOk;
}

std::string Usage(const std::string& Synopsis, const std::string& What,
                  const std::vector<std::pair<std::string, std::vector<TOption>>>& Sections) {
  std::string s = "Usage: " + Synopsis + "\n\n" + What + "\n";
  for (const auto& [title, options] : Sections)
    s += "\n" + title + ":\n" + OptionHelp(options);
  s +=
      "\nExit status: 0 on success, 1 when the SMSC or the connection fails, 2 on a usage error.\n";
  return s;
}

// --- send ------------------------------------------------------------------

const std::vector<TOption> kMessageOptions = {
    {"to", "ADDRESS", "recipient of the message (required)"},
    {"text", "TEXT", "the message: text, or hexadecimal octets with --encoding 8bit (required)"},
    {"encoding", "ENC", "7bit (default), 8bit or ucs2"},
    {"udh", "HEX", "user data header octets in hexadecimal, its length octet first"},
    {"report", "", "ask for a status report"},
    {"flash", "", "ask for direct display on the handset"},
    {"wait", "SECONDS", "wait this long for the status report (implies --report)"},
    {"count", "N", "send the message N times through the submit window (default 1)"},
    {"window", "W",
     "submits in flight at once (default 1: one at a time, each waiting for its answer)"},
    {"rate", "R", "send at most R submits a second, evenly spaced (default: no limit)"},
    {"no-split", "",
     "refuse a text too long for one message instead of sending it as concatenated parts"},
};

bool IsHexText(const std::string& S) {
  return S.size() % 2 == 0 && S.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

constexpr int kGoOn = -1;

// Parses the options of a command that opens a session: the connection
// options, the command's own section, and the session options of the chosen
// protocol. kGoOn when the command is to run; otherwise the exit code (after
// a usage error, or after printing --help).
int ParseSessionCommand(const std::string& Cmd, const std::vector<std::string>& Args,
                        const std::pair<std::string, std::vector<TOption>>& Own,
                        const std::string& Synopsis, const std::string& Description,
                        TCommandLine& Cl) {
  std::string protocol = ProtocolOf(Args);
  std::unique_ptr<TProtocolClient> probe = CreateClient(protocol);
  if (!probe)
    return UsageError(Cmd, "unknown protocol '" + protocol +
                               "' (known: " + JoinProtocols(ClientProtocols()) + ")");
  std::vector<TOption> session = SessionOptions(*probe);
  std::vector<TOption> all = kConnectionOptions;
  all.insert(all.end(), Own.second.begin(), Own.second.end());
  all.insert(all.end(), session.begin(), session.end());
  std::string error;
  if (!Cl.Parse(Args, all, error))
    return UsageError(Cmd, error);
  if (Cl.Has("help")) {
    std::fputs(
        Usage(Synopsis, Description,
              {{"Connection", kConnectionOptions}, Own, {"Session (" + protocol + ")", session}})
            .c_str(),
        stdout);
    return kExitOk;
  }
  return kGoOn;
}

// --- send through the window -----------------------------------------------

using TClock = std::chrono::steady_clock;

double Milliseconds(TClock::duration D) {
  return std::chrono::duration<double, std::milli>(D).count();
}

std::string Fixed(double Value, int Decimals) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", Decimals, Value);
  return b;
}

/// The nearest-rank percentile Q (0..1] of Sorted; 0 when it is empty.
double Percentile(const std::vector<double>& Sorted, double Q) {
  if (Sorted.empty())
    return 0;
  auto rank = static_cast<size_t>(std::ceil(Q * static_cast<double>(Sorted.size())));
  return Sorted[std::clamp<size_t>(rank, 1, Sorted.size()) - 1];
}

/// Sends one message Count times with SubmitAsync, keeping the component's
/// window full, and tallies what the SMSC answered. Each message's latency
/// runs from its first part going out to its last part's answer. Runs on the
/// thread that pumps the client's events.
class TWindowedSend {
public:
  TWindowedSend(TSession& S, bool Progress) : FS(S), FProgress(Progress) {
    FS.Client->OnSubmitCompleted = [this](const TxcSubmitCompletion& C) { Completed(C); };
  }
  ~TWindowedSend() { FS.Client->OnSubmitCompleted = nullptr; }
  TWindowedSend(const TWindowedSend&) = delete;
  TWindowedSend& operator=(const TWindowedSend&) = delete;

  /// Submits until Count messages are sent, one cannot be, the session
  /// ends or Stop() turns true; then waits for the outstanding answers.
  void Run(const TSubmitRequest& Request, int Count, const std::function<bool()>& Stop) {
    FCount = Count;
    FStart = TClock::now();
    FEnd = FStart;
    for (int i = 0; i < Count && !FS.Disconnected && !Stop(); ++i) {
      Application()->ProcessMessages();
      if (FS.Disconnected)
        break;
      TSubmitTicket ticket = 0;
      int r = FS.Client->SubmitAsync(Request, ticket);
      TClock::time_point now = TClock::now();
      if (r != rcOk) {
        // The same message fails the same way again (-4), the session is
        // gone (-2) or the SMSC stopped answering (-1): no point going on.
        Tally(r);
        FFailure = r;
        FEnd = now;
        break;
      }
      ++FSent;
      FSentAt.emplace(ticket, now);
      ShowProgress(false);
    }
    // The component completes every ticket within its response time-out
    // (at once when the session breaks); the margin covers the pumping.
    const auto deadline =
        TClock::now() + std::chrono::milliseconds(FS.Client->Component().ResponseTimeOut() + 2000);
    while (!FSentAt.empty() && TClock::now() < deadline) {
      Application()->HandleMessage(100);
      ShowProgress(false);
    }
    FTimedOut += static_cast<int>(FSentAt.size()); // never completed
    FSentAt.clear();
    ShowProgress(true);
  }

  bool AllAccepted() const { return FAccepted == FCount; }
  int Accepted() const { return FAccepted; }
  int AcceptedParts() const { return FAcceptedParts; }
  /// The result of a submit call that failed, 0 when none did.
  int Failure() const { return FFailure; }
  /// The completion of the first message (for a single one: its parts).
  const TxcSubmitCompletion* First() const { return FHaveFirst ? &FFirst : nullptr; }

  /// The closing summary: counts, rate, latency and the refusals by code.
  void PrintSummary(const TProtocolClient& Client) const {
    double seconds = std::max(std::chrono::duration<double>(FEnd - FStart).count(), 1e-6);
    PrintLine("Messages: " + std::to_string(FSent) + " of " + std::to_string(FCount) + " sent in " +
              Fixed(seconds, 3) + " s (" + Fixed(static_cast<double>(FSent) / seconds, 1) +
              " msg/s)");
    PrintLine("Results: " + std::to_string(FAccepted) + " accepted, " + std::to_string(FRefused) +
              " refused, " + std::to_string(FTimedOut) + " timed out");
    if (FParts > FCompleted && FCompleted > 0)
      PrintLine("Parts: " + std::to_string(FParts) + " submitted, " +
                std::to_string(FAcceptedParts) + " accepted");
    for (const auto& [code, n] : FRefusals)
      PrintLine("  " + std::to_string(n) + " refused: " + ResultText(code, Client));
    std::vector<double> l = FLatencies;
    std::sort(l.begin(), l.end());
    if (!l.empty())
      PrintLine("Latency (ms): p50 " + Fixed(Percentile(l, 0.50), 2) + ", p90 " +
                Fixed(Percentile(l, 0.90), 2) + ", p99 " + Fixed(Percentile(l, 0.99), 2) +
                ", max " + Fixed(l.back(), 2));
  }

private:
  void Completed(const TxcSubmitCompletion& C) {
    auto it = FSentAt.find(C.Ticket);
    if (it == FSentAt.end())
      return; // not one of this run's
    TClock::time_point now = TClock::now();
    // The component's own times: not how late this thread got to the event
    // (under --rate it sleeps in the next submit call meanwhile).
    FLatencies.push_back(C.Answered >= C.Sent && C.Sent != TClock::time_point()
                             ? Milliseconds(C.Answered - C.Sent)
                             : Milliseconds(now - it->second));
    FSentAt.erase(it);
    FEnd = now;
    ++FCompleted;
    FParts += static_cast<int>(C.Parts.size());
    for (const TxcPartResult& p : C.Parts)
      FAcceptedParts += p.Result == rcOk ? 1 : 0;
    Tally(C.Result);
    if (!FHaveFirst) {
      FFirst = C;
      FHaveFirst = true;
    }
  }

  void Tally(int Result) {
    if (Result == rcOk) {
      ++FAccepted;
    } else if (Result == rcTimeOut) {
      ++FTimedOut;
    } else {
      ++FRefused;
      ++FRefusals[Result];
    }
  }

  // On a terminal, one line rewritten at most ten times a second; Final
  // writes the last state and ends the line.
  void ShowProgress(bool Final) {
    if (!FProgress)
      return;
    TClock::time_point now = TClock::now();
    if (!Final && now - FShown < std::chrono::milliseconds(100))
      return;
    FShown = now;
    std::fprintf(stdout, "\r%d/%d sent, %d accepted, %d refused, %d timed out, %zu in flight ",
                 FSent, FCount, FAccepted, FRefused, FTimedOut, FSentAt.size());
    if (Final)
      std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  TSession& FS;
  const bool FProgress;
  int FCount = 0;
  int FSent = 0, FCompleted = 0, FAccepted = 0, FRefused = 0, FTimedOut = 0;
  int FParts = 0, FAcceptedParts = 0;
  int FFailure = 0;
  std::map<int, int> FRefusals;                                  // result -> messages
  std::unordered_map<TSubmitTicket, TClock::time_point> FSentAt; // outstanding
  std::vector<double> FLatencies;
  TClock::time_point FStart, FEnd, FShown;
  TxcSubmitCompletion FFirst;
  bool FHaveFirst = false;
};

/// The send command's path through the window (the session is open): Count
/// copies of Request, with a progress line and a summary when Bulk, each
/// part's outcome when Count is 1, then the wait for status reports (one
/// per accepted part). Closes the session; returns the exit code.
int SendWindowed(const std::string& Cmd, TSession& S, demo::TEventLog& Log,
                 const TSubmitRequest& Request, int Count, bool Bulk, int WaitSeconds,
                 const int& Reports, bool Fits) {
  TWindowedSend run(S, Bulk && isatty(fileno(stdout)) != 0);
  run.Run(Request, Count, [] { return gInterrupted != 0; });
  if (Count == 1) {
    if (const TxcSubmitCompletion* c = run.First()) {
      const size_t n = c->Parts.size();
      for (size_t i = 0; i < n; ++i) {
        const TxcPartResult& p = c->Parts[i];
        if (n > 1)
          PrintLine("Part " + std::to_string(i + 1) + " of " + std::to_string(n) + ":");
        if (p.Result == rcOk)
          Log.LogSubmitted(p.MessageID, p.TimeStamp);
        else
          Log.LogSubmitFailed(p.Result);
      }
    } else if (run.Failure() != 0) {
      Log.LogSubmitFailed(run.Failure());
    }
  }
  if (Bulk)
    run.PrintSummary(*S.Client);
  if (gInterrupted) {
    if (!S.Disconnected)
      CloseSession(S);
    return Fail(Cmd, "interrupted");
  }
  if (!run.AllAccepted()) {
    std::string why;
    if (run.Failure() == rcCannotCarry && !Fits && !S.Client->Component().SplitLongMessages())
      why = "the text does not fit one message, and --no-split forbids splitting it";
    else if (run.Failure() != 0)
      why = FailureText(S, run.Failure());
    else if (Count == 1 && run.First())
      why = FailureText(S, run.First()->Result);
    std::string text = Count == 1
                           ? "the message was not accepted: " + why
                           : std::to_string(Count - run.Accepted()) + " of " +
                                 std::to_string(Count) + " messages were not accepted" +
                                 (run.Failure() != 0 ? " (sending stopped: " + why + ")" : "");
    if (!S.Disconnected)
      CloseSession(S);
    return Fail(Cmd, text);
  }
  int exitCode = kExitOk;
  const int expected = run.AcceptedParts();
  if (WaitSeconds > 0 &&
      !Application()->ProcessUntil([&] { return Reports >= expected || S.Disconnected; },
                                   WaitSeconds * 1000)) {
    exitCode = Fail(Cmd, "no status report within " + std::to_string(WaitSeconds) + " s (" +
                             std::to_string(Reports) + " of " + std::to_string(expected) + ")");
  } else if (WaitSeconds > 0 && Reports < expected) {
    exitCode = Fail(Cmd, "the connection ended before the status reports came (" +
                             DisconnectReasonText(S.DisconnectReason) + ")");
  }
  if (!S.Disconnected)
    CloseSession(S);
  return exitCode;
}

// Where the translation file of the standard GSM alphabet is installed,
// seen from this program (PREFIX/bin/garvel), when it is there.
std::string InstalledGsmTable() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec)
    return {};
  std::filesystem::path p =
      exe.parent_path().parent_path() / GARVEL_INSTALL_DATADIR / "garvel" / kGsmTableName;
  return std::filesystem::is_regular_file(p, ec) ? p.lexically_normal().string() : std::string();
}

} // namespace

std::string ToolUsage() {
  std::string table = InstalledGsmTable();
  if (table.empty())
    table = std::string("PREFIX/") + GARVEL_INSTALL_DATADIR + "/garvel/" + kGsmTableName;
  return "Usage: garvel COMMAND [options]\n"
         "\n"
         "Commands:\n"
         "  send      connect to an SMSC, submit a message (or many), print the result\n"
         "  listen    print the messages and status reports an SMSC delivers\n"
         "  sim       run the SMSC simulator\n"
         "  demo      run a whole session against the built-in simulator\n"
         "\n"
         "'garvel COMMAND --help' describes a command's options.\n"
         "\n"
         "Files:\n"
         "  " +
         table +
         "\n"
         "      The standard GSM 03.38 alphabet and extension table, for applications\n"
         "      whose SMSC needs the standard codes: load it with\n"
         "      LoadCharacterTranslationTable. The library's default table departs\n"
         "      from the standard at ten codes and lacks the form feed and '|'.\n";
}

int CmdSend(const std::vector<std::string>& Args) {
  const std::string cmd = "send";
  TCommandLine cl;
  if (int r = ParseSessionCommand(
          cmd, Args, {"Message", kMessageOptions},
          "garvel send --port PORT --to ADDRESS --text TEXT [options]",
          "Connects to an SMSC, opens the session, submits one message and prints\n"
          "the result; with --wait it also waits for the message's status report.\n"
          "A text too long for one message goes as concatenated parts. With\n"
          "--count or --window it keeps up to W submits in flight, shows progress\n"
          "on a terminal and ends with a summary: messages sent, accepted, refused\n"
          "and timed out, msg/s, and latency percentiles (submit to answer).",
          cl);
      r != kGoOn)
    return r;

  TSubmitRequest req;
  if (!cl.Has("to"))
    return UsageError(cmd, "--to is required");
  if (!cl.Has("text"))
    return UsageError(cmd, "--text is required");
  req.Destination = cl.Get("to");
  std::string enc = cl.Get("encoding", "7bit");
  std::string text = cl.Get("text");
  if (enc == "7bit") {
    req.Encoding = et7BitText;
    req.Text = Utf8ToWide(text);
  } else if (enc == "8bit") {
    if (!IsHexText(text))
      return UsageError(cmd, "with --encoding 8bit, --text takes pairs of hexadecimal digits");
    req.Encoding = et8BitHexadecimal;
    req.Text = AnsiToWide(text);
  } else if (enc == "ucs2") {
    req.Encoding = etUCS2Text;
    req.Text = Utf8ToWide(text);
  } else {
    return UsageError(cmd, "--encoding takes 7bit, 8bit or ucs2, not '" + enc + "'");
  }
  if (cl.Has("udh")) {
    if (!IsHexText(cl.Get("udh")) || cl.Get("udh").empty())
      return UsageError(cmd, "--udh takes pairs of hexadecimal digits");
    req.UserDataHeader = HexStrToStr(cl.Get("udh"));
  }
  int waitSeconds = 0;
  if (cl.Has("wait") && !ParseInt(cl.Get("wait"), 1, 86400, waitSeconds))
    return UsageError(cmd, "--wait takes seconds from 1 to 86400");
  if (cl.Has("report") || waitSeconds > 0)
    req.Options << soRequestStatusReport;
  if (cl.Has("flash"))
    req.Options << soDirectDisplay;
  int count = 1, window = 1;
  double rate = 0;
  if (cl.Has("count") && !ParseInt(cl.Get("count"), 1, 100000000, count))
    return UsageError(cmd, "--count takes a number from 1 to 100000000");
  if (cl.Has("window") && !ParseInt(cl.Get("window"), 1, 1000, window))
    return UsageError(cmd, "--window takes a number from 1 to 1000");
  if (cl.Has("rate")) {
    const std::string v = cl.Get("rate");
    char* end = nullptr;
    rate = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(rate > 0) || rate > 1e6)
      return UsageError(cmd, "--rate takes submits a second, more than 0 and at most 1000000");
  }
  const bool split = !cl.Has("no-split");

  TSession s;
  if (int r = MakeSession(cmd, cl, s); r != kExitOk)
    return r;
  if (std::string why = s.Client->WhyNothingArrives(); waitSeconds > 0 && !why.empty())
    return UsageError(cmd, "--wait cannot work: " + why);
  TxcGarvel& component = s.Client->Component();
  if (window > component.MaxWindowSize())
    return UsageError(cmd, "--window takes at most " + std::to_string(component.MaxWindowSize()) +
                               " with " + s.Client->Name());
  // The parts of a single long text go out together, in the component's
  // own window, unless --window says otherwise.
  if (cl.Has("window") || count > 1)
    component.SetWindowSize(window);
  component.SetMaxSubmitRate(rate);
  component.SetSplitLongMessages(split);
  // One message that fits one short message keeps the blocking submit;
  // several, a window, or a text that needs parts go through the window.
  const bool bulk = count > 1 || window > 1;
  const bool fits = FitsOneMessage(req.Text, req.Encoding, StrToHexStr(req.UserDataHeader));
  demo::TEventLog log(PrintLine);
  Wire(s, log, cmd);
  int reports = 0;
  auto onReport = s.Client->OnReport;
  s.Client->OnReport = [&](const TReceivedReport& R) {
    ++reports;
    onReport(R);
  };
  if (bulk || !fits) {
    if (bulk)
      CatchInterrupts();
    std::unique_ptr<TInterruptWatch> watch;
    if (bulk)
      watch = std::make_unique<TInterruptWatch>(*s.Client);
    if (int r = OpenSession(cmd, s, log); r != kExitOk)
      return gInterrupted ? Fail(cmd, "interrupted") : r;
    return SendWindowed(cmd, s, log, req, count, bulk, waitSeconds, reports, fits);
  }
  if (int r = OpenSession(cmd, s, log); r != kExitOk)
    return r;

  TSubmitResult result;
  int r = s.Client->Submit(req, result);
  if (r != 0) {
    log.LogSubmitFailed(r);
    std::string why = FailureText(s, r);
    CloseSession(s);
    return Fail(cmd, "the message was not accepted: " + why);
  }
  log.LogSubmitted(result.MessageId, result.TimeStamp);
  int exitCode = kExitOk;
  if (waitSeconds > 0 && !Application()->ProcessUntil([&] { return reports > 0 || s.Disconnected; },
                                                      waitSeconds * 1000)) {
    exitCode = Fail(cmd, "no status report within " + std::to_string(waitSeconds) + " s");
  } else if (waitSeconds > 0 && reports == 0) {
    exitCode = Fail(cmd, "the connection ended before the status report came (" +
                             DisconnectReasonText(s.DisconnectReason) + ")");
  }
  if (!s.Disconnected)
    CloseSession(s);
  return exitCode;
}

// --- listen ------------------------------------------------------------------

int CmdListen(const std::vector<std::string>& Args) {
  const std::string cmd = "listen";
  TCommandLine cl;
  if (int r = ParseSessionCommand(
          cmd, Args, {"Listening", {{"count", "N", "end after N received messages and reports"}}},
          "garvel listen --port PORT [options]",
          "Connects to an SMSC, opens the session and prints every message and\n"
          "status report that arrives, until interrupted (Ctrl-C) or the SMSC\n"
          "ends the connection.",
          cl);
      r != kGoOn)
    return r;
  int count = 0;
  if (cl.Has("count") && !ParseInt(cl.Get("count"), 1, 1000000, count))
    return UsageError(cmd, "--count takes a number from 1 to 1000000");

  TSession s;
  if (int r = MakeSession(cmd, cl, s); r != kExitOk)
    return r;
  if (std::string why = s.Client->WhyNothingArrives(); !why.empty())
    return UsageError(cmd, "nothing to listen for: " + why);
  demo::TEventLog log(PrintLine);
  Wire(s, log, cmd);
  int received = 0;
  auto onMessage = s.Client->OnMessage;
  auto onReport = s.Client->OnReport;
  s.Client->OnMessage = [&](const TReceivedMessage& M) {
    ++received;
    onMessage(M);
  };
  s.Client->OnReport = [&](const TReceivedReport& R) {
    ++received;
    onReport(R);
  };
  CatchInterrupts();
  TInterruptWatch watch(*s.Client);
  if (int r = OpenSession(cmd, s, log); r != kExitOk)
    return gInterrupted ? Fail(cmd, "interrupted") : r;
  while (!gInterrupted && !s.Disconnected && (count == 0 || received < count))
    Application()->HandleMessage(100);
  if (gInterrupted) {
    CloseSession(s);
    return kExitOk;
  }
  if (s.Disconnected)
    return Fail(cmd, "the connection ended (" + DisconnectReasonText(s.DisconnectReason) + ")");
  CloseSession(s);
  return kExitOk;
}

// --- sim ---------------------------------------------------------------------

namespace {

const std::vector<TOption> kSimOptions = {
    {"protocol", "NAME", "protocol to speak (default ucp)"},
    {"host", "HOST", "address to listen on (default 127.0.0.1)"},
    {"port", "PORT", "port to listen on; 0 picks a free one (default 0)"},
    {"login", "ACCOUNT", "the account allowed to log in (UCP: the OAdC); default: anyone"},
    {"password", "PASSWORD", "its password"},
    {"login-ec", "EC",
     "error code of a refused login (default: the protocol's usual one, UCP 7, SMPP"
     " 0x0E, CIMD2 100, SEMA 1); SMPP: a command_status, or -1 to answer with"
     " generic_nack; CIMD2: -99 to answer with a nack (99), -N with a general error"
     " (98) carrying N"},
    {"require-login", "", "refuse submits before a successful login"},
    {"submit-ec", "EC",
     "refuse every submit with this error code (SMPP, CIMD2: as --login-ec; SEMA: a"
     " result octet)"},
    {"raw-text", "", "CIMD2: text (033) as raw octets, not in special combinations"},
    {"report-delay", "MS",
     "send a status report this long after a submit that asked for one;"
     " -1 for none (default 500)"},
    {"report-status", "N", "status of those reports: 0 delivered, 1 buffered, 2 failed"},
    {"report-reason", "N", "reason code of those reports"},
    {"delay", "MS", "answer every request this late"},
    {"throttle", "N",
     "refuse submits beyond N a second on a connection (SMPP ESME_RTHROTTLED, UCP 4,"
     " CIMD2 10, SEMA 1)"},
    {"throttle-ec", "EC", "error code of those refusals instead (as --submit-ec)"},
    {"silent", "OPS", "never answer these operations (comma-separated, e.g. O/51; * for all)"},
    {"close-after", "N", "close the connection after receiving N frames"},
    {"reset-after", "N", "reset the connection after receiving N frames"},
    {"split", "BYTES", "write frames in pieces of this size"},
    {"split-delay", "MS", "pause between the pieces"},
    {"garbage", "", "put bytes that form no frame before every frame sent"},
    {"record", "N", "keep the last N received frames and submits in memory (default 10000)"},
    {"quiet", "", "print only the listening address"},
};

int IntOption(const TCommandLine& Cl, const std::string& Name, int Min, int Max, int& Value,
              std::string& Error) {
  if (Cl.Has(Name) && !ParseInt(Cl.Get(Name), Min, Max, Value)) {
    Error =
        "--" + Name + " takes a number from " + std::to_string(Min) + " to " + std::to_string(Max);
    return 1;
  }
  return 0;
}

} // namespace

int CmdSim(const std::vector<std::string>& Args) {
  const std::string cmd = "sim";
  TCommandLine cl;
  std::string error;
  if (!cl.Parse(Args, kSimOptions, error))
    return UsageError(cmd, error);
  if (cl.Has("help")) {
    std::fputs(Usage("garvel sim [options]",
                     "Runs the SMSC simulator until interrupted (Ctrl-C). It prints the\n"
                     "address it listens on, then every connection and frame; under a\n"
                     "flood it prints a burst, then a few lines a second and counts the rest.\n"
                     "Protocols: " +
                         JoinProtocols(sim::PersonalityNames()) + ".",
                     {{"Options", kSimOptions}})
                   .c_str(),
               stdout);
    return kExitOk;
  }
  std::string protocol = cl.Get("protocol", "ucp");
  std::unique_ptr<sim::TPersonality> personality = sim::CreatePersonality(protocol);
  if (!personality)
    return UsageError(cmd, "unknown protocol '" + protocol +
                               "' (known: " + JoinProtocols(sim::PersonalityNames()) + ")");
  if (cl.Has("raw-text")) {
    if (protocol != "cimd2")
      return UsageError(cmd, "--raw-text is for --protocol cimd2");
    auto settings = std::make_shared<sim::TCimd2Settings>();
    settings->SpecialCombinations = false;
    personality = std::make_unique<sim::TCimd2Personality>(settings);
  }
  sim::TSimConfig c;
  // The range of error codes: SMPP's are 32-bit command_status values, a
  // SEMA result is one octet; negative ones answer with a negative
  // acknowledgement.
  int minCode = 0, maxCode = 99;
  if (protocol == "smpp") {
    minCode = -1;
    maxCode = 0x7FFFFFFF;
  } else if (protocol == "cimd2") {
    minCode = -99;
    maxCode = 999;
  } else if (protocol == "sema") {
    maxCode = 255;
  }
  int port = 0;
  c.Login = cl.Get("login");
  c.Password = cl.Get("password");
  c.RequireLogin = cl.Has("require-login");
  c.GarbageBeforeFrames = cl.Has("garbage");
  if (IntOption(cl, "port", 0, 65535, port, error) ||
      IntOption(cl, "login-ec", minCode, maxCode, c.LoginErrorCode, error) ||
      IntOption(cl, "submit-ec", minCode, maxCode, c.SubmitErrorCode, error) ||
      IntOption(cl, "report-delay", -1, 3600000, c.StatusReportDelayMs, error) ||
      IntOption(cl, "report-status", 0, 9, c.ReportStatus, error) ||
      IntOption(cl, "report-reason", 0, 999, c.ReportReason, error) ||
      IntOption(cl, "delay", 0, 3600000, c.ResponseDelayMs, error) ||
      IntOption(cl, "throttle", 0, 1000000, c.ThrottleAbovePerSecond, error) ||
      IntOption(cl, "throttle-ec", minCode, maxCode, c.ThrottleErrorCode, error) ||
      IntOption(cl, "close-after", 0, 1000000, c.CloseAfterFrames, error) ||
      IntOption(cl, "reset-after", 0, 1000000, c.ResetAfterFrames, error) ||
      IntOption(cl, "split", 0, 100000, c.SplitPieceSize, error) ||
      IntOption(cl, "split-delay", 0, 60000, c.SplitDelayMs, error) ||
      IntOption(cl, "record", 0, 10000000, c.RecordLimit, error))
    return UsageError(cmd, error);
  std::stringstream ops(cl.Get("silent"));
  for (std::string op; std::getline(ops, op, ',');)
    if (!op.empty())
      c.SilentOperations.insert(op);

  sim::TSmscServer server(std::move(personality), c);
  if (!cl.Has("quiet"))
    server.OnLog = PrintLine;
  std::string host = cl.Get("host", "127.0.0.1");
  CatchInterrupts();
  if (!server.Start(host, port))
    return Fail(cmd, "cannot listen on " + host + ":" + std::to_string(port) + ": " +
                         std::strerror(server.LastError()));
  PrintLine("garvel sim: listening on " + host + ":" + std::to_string(server.Port()) + " (" +
            protocol + ")");
  TEvent idle;
  while (!gInterrupted)
    idle.WaitFor(100);
  server.Stop();
  PrintLine("garvel sim: stopped");
  return kExitOk;
}

// --- demo --------------------------------------------------------------------

int CmdDemo(const std::vector<std::string>& Args) {
  const std::string cmd = "demo";
  const std::vector<TOption> options = {
      {"protocol", "NAME", "protocol to show (default ucp)"},
      {"verbose", "", "also print the simulator's own log (to stderr)"},
  };
  TCommandLine cl;
  std::string error;
  if (!cl.Parse(Args, options, error))
    return UsageError(cmd, error);
  if (cl.Has("help")) {
    std::fputs(Usage("garvel demo [options]",
                     "Starts the SMSC simulator on a free loopback port and runs a whole\n"
                     "session against it: connect, log in, submit a message asking for a\n"
                     "status report, receive the report and a message from a handset,\n"
                     "disconnect. Every step is printed as it happens.",
                     {{"Options", options}})
                   .c_str(),
               stdout);
    return kExitOk;
  }
  std::string protocol = cl.Get("protocol", "ucp");
  TSession s;
  s.Client = CreateClient(protocol);
  std::unique_ptr<sim::TPersonality> personality = sim::CreatePersonality(protocol);
  if (!s.Client || !personality)
    return UsageError(cmd, "unknown protocol '" + protocol +
                               "' (known: " + JoinProtocols(ClientProtocols()) + ")");

  const std::string account = "5500", password = "demo", handset = "0612345678";
  demo::TEventLog log(PrintLine);
  sim::TSimConfig c;
  c.Login = account;
  c.Password = password;
  c.StatusReportDelayMs = 300;
  sim::TSmscServer server(std::move(personality), c);
  if (cl.Has("verbose"))
    server.OnLog = [](const std::string& Line) { std::fprintf(stderr, "sim %s\n", Line.c_str()); };
  if (!server.Start("127.0.0.1", 0))
    return Fail(cmd,
                std::string("cannot start the simulator: ") + std::strerror(server.LastError()));
  log.AddText("SMSC simulator (" + protocol +
              ") listening on 127.0.0.1:" + std::to_string(server.Port()));

  s.Host = "127.0.0.1";
  s.Port = server.Port();
  s.Client->SetAccount(account, password);
  s.Client->SetTimes(5000, 10000);
  Wire(s, log, cmd);
  int reports = 0, messages = 0;
  auto onMessage = s.Client->OnMessage;
  auto onReport = s.Client->OnReport;
  s.Client->OnMessage = [&](const TReceivedMessage& M) {
    ++messages;
    onMessage(M);
  };
  s.Client->OnReport = [&](const TReceivedReport& R) {
    ++reports;
    onReport(R);
  };
  if (int r = OpenSession(cmd, s, log); r != kExitOk)
    return r;

  TSubmitRequest req;
  req.Destination = handset;
  req.Text = u"Hello from Garvel";
  req.Options << soRequestStatusReport;
  TSubmitResult result;
  int r = s.Client->Submit(req, result);
  if (r != 0) {
    log.LogSubmitFailed(r);
    std::string why = FailureText(s, r);
    CloseSession(s);
    return Fail(cmd, "the message was not accepted: " + why);
  }
  log.LogSubmitted(result.MessageId, result.TimeStamp);

  if (!Application()->ProcessUntil([&] { return reports > 0 || s.Disconnected; }, 10000) ||
      reports == 0) {
    CloseSession(s);
    return Fail(cmd, "no status report arrived");
  }

  sim::TSimMessage mo;
  mo.Destination = account;
  mo.Originator = handset;
  mo.Encoding = etUCS2Text;
  mo.Text = u"Got it, thanks! \u2713";
  if (sim::TPushResult p = server.Deliver(mo); p != sim::prSent) {
    CloseSession(s);
    return Fail(cmd,
                std::string("the simulator could not send a message: ") + sim::PushResultName(p));
  }
  if (!Application()->ProcessUntil([&] { return messages > 0 || s.Disconnected; }, 10000) ||
      messages == 0) {
    CloseSession(s);
    return Fail(cmd, "no message from the handset arrived");
  }

  CloseSession(s);
  if (!s.Disconnected)
    return Fail(cmd, "the disconnect was not reported");
  server.Stop();
  return kExitOk;
}

} // namespace garvel::cli
