// The protocol side of the SMSC simulator: what a protocol "personality"
// supplies to the server framework.
#pragma once

#include "SimTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace garvel::sim {

/// What a personality found at the start of the bytes received so far.
struct TFrameCut {
  enum TKind : uint8_t {
    fcNeedMore, ///< no complete frame yet; wait for more bytes
    fcFrame,    ///< the first Length bytes are one frame
    fcSkip,     ///< the first Length bytes belong to no frame: drop them
    fcBroken    ///< the stream cannot be framed any more: close the connection
  };
  TKind Kind = fcNeedMore;
  size_t Length = 0;
};

/// The services of one connection that the protocol code may use while it
/// handles a frame. Valid only during TProtocolSession::Handle.
class TSessionLink {
public:
  virtual ~TSessionLink();
  /// Number of the connection, from 1.
  virtual int SessionId() const = 0;
  /// The configuration in force for this frame.
  virtual const TSimConfig& Config() const = 0;
  /// Sends a frame of the simulator's own accord DelayMs from now: Build
  /// runs then, under the session's lock, and its frame goes out (nothing
  /// when it returns an empty string). Dropped when the connection ends first.
  virtual void Schedule(int DelayMs, std::function<std::string()> Build) = 0;
  /// Records an accepted submit.
  virtual void SubmitAccepted(const TSubmitRecord& Submit) = 0;
  /// A line for the simulator's log.
  virtual void Log(const std::string& Text) = 0;
};

/// The protocol state of one connection. The framework serialises every
/// call on one object (Handle on the connection's thread, the Build...
/// operations on whatever thread asks for a push), so implementations need
/// no lock of their own.
class TProtocolSession {
public:
  virtual ~TProtocolSession();
  /// Handles one complete frame from the client and returns the frames to
  /// answer it with, in order (none for an acknowledgement).
  virtual std::vector<std::string> Handle(const std::string& Frame, TSessionLink& Link) = 0;
  /// A mobile-originated message as a frame. prCannotCarry (Frame empty)
  /// when a value does not fit.
  virtual TPushResult BuildDeliver(const TSimMessage& Message, std::string& Frame) = 0;
  /// A delivery status report as a frame.
  virtual TPushResult BuildStatusReport(const TSimStatusReport& Report, std::string& Frame) = 0;
  /// The protocol's "are you there" request from the SMSC side.
  virtual TPushResult BuildAlert(std::string& Frame) = 0;

protected:
  /// Records an accepted submit and, when it asked for one and the
  /// configuration sends them, schedules its automatic status report.
  void AcceptSubmit(const TSubmitRecord& Submit, TSessionLink& Link);
  /// Counts a submit against TSimConfig::ThrottleAbovePerSecond and tells
  /// whether it is one too many for the current second (then logged as
  /// throttled): the caller refuses it with ThrottleCode.
  bool Throttled(TSessionLink& Link);
  /// TSimConfig::ThrottleErrorCode, or the protocol's own Default for 0.
  static int ThrottleCode(const TSimConfig& Cfg, int Default) {
    return Cfg.ThrottleErrorCode != 0 ? Cfg.ThrottleErrorCode : Default;
  }

private:
  int64_t FSecondStart = 0; // when the current second of the throttle began
  int FSubmitsInSecond = 0;
};

/// A protocol as the simulator speaks it: framing of the client's byte
/// stream, naming of frames, and a factory of per-connection state.
/// Stateless and shared by every connection of a server: every operation
/// must be safe to call from several threads at once.
class TPersonality {
public:
  virtual ~TPersonality();
  /// The protocol's name ("ucp").
  virtual std::string Name() const = 0;
  /// Looks for the first frame in Bytes. Must never ask for an unbounded
  /// amount of bytes: past the protocol's largest frame it answers
  /// fcSkip or fcBroken.
  virtual TFrameCut Cut(std::string_view Bytes) const = 0;
  /// The name a frame is recorded under ("O/51"); "?" when it has none.
  /// Valid tells whether the frame keeps the protocol's rules (length,
  /// checksum, syntax).
  virtual std::string Describe(const std::string& Frame, bool& Valid) const = 0;
  /// The frame in a form fit for a log line (control bytes shown by name).
  virtual std::string Printable(const std::string& Frame) const = 0;
  /// Bytes that form no frame, for GarbageBeforeFrames and tests.
  virtual std::string Garbage() const = 0;
  virtual std::unique_ptr<TProtocolSession> NewSession() const = 0;
};

/// The personality of a protocol by name, or null when there is none.
std::unique_ptr<TPersonality> CreatePersonality(const std::string& Protocol);
/// The names CreatePersonality knows, in a fixed order.
std::vector<std::string> PersonalityNames();

} // namespace garvel::sim
