// Long messages: splitting outgoing text into concatenated short messages and
// joining received parts again, with the concatenation information elements
// of the user data header (3GPP TS 23.040: IE 00, 8-bit reference, and IE 08,
// 16-bit reference).
#pragma once

#include "GarvelExport.h"
#include "xuSMSCExtractSM.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace garvel {

// Headers are hexadecimal text of their octets, the length octet (UDHL)
// included: "050003A70201" is IE 00 (reference 0xA7, 2 parts, part 1). The
// empty string means no header. Every function here is thread-safe (the
// 7-bit paths read the shared GSM translation table, see xuSMSCEncGSM.h).

/// The octets of user data one short message carries.
inline constexpr int MaxUserDataOctets = 140;
/// The most parts a concatenated message can have (the count is one octet).
inline constexpr int MaxConcatParts = 255;

/// One short message of a split text.
struct TxcTextPart {
  std::u16string Text;        ///< in the encoding that was split
  std::string UserDataHeader; ///< hexadecimal, length octet included; "" for none
};

/// The text that one message carries beside a header of HeaderOctets octets
/// (length octet included; 0 for no header), in the unit of Encoding: GSM
/// septets for et7BitText, octets for et8BitHexadecimal, UTF-16 code units
/// for etUCS2Text. 0 when the header leaves no room (or HeaderOctets is
/// negative).
GARVEL_API int UserDataCapacity(TxcEncodingType Encoding, int HeaderOctets);

/// The length of Text in the unit of UserDataCapacity. 7-bit: an extension
/// character of the GSM alphabet (escape + code) counts 2, every other
/// character 1 (also one the GSM alphabet lacks, which is sent as one
/// replacement septet). 8-bit: the hexadecimal digits / 2, an odd last digit
/// counting as a whole octet. UCS-2: the code units.
GARVEL_API int TextUnits(const std::u16string& Text, TxcEncodingType Encoding);

/// True when Text goes into one message together with UserDataHeader. False
/// when it does not, and also when the header is not valid (see
/// SplitLongText), since such a header cannot be sent at all.
GARVEL_API bool FitsOneMessage(const std::u16string& Text, TxcEncodingType Encoding,
                               const std::string& UserDataHeader);

/// Splits Text into the parts of a concatenated message.
///
/// Every part's header holds the information elements of UserDataHeader
/// (copied into each part, in their order) followed by IE 00 with Reference,
/// the part count and the part's number (from 1), under a length octet that
/// counts them. Each part is filled to the capacity its header leaves; a GSM
/// extension character (escape + code), a UTF-16 surrogate pair and the two
/// hexadecimal digits of an octet are never divided between parts.
///
/// Text that fits one message gives one part: Text and UserDataHeader
/// unchanged, no IE added. Empty text gives one empty part.
///
/// Returns false, with Parts empty and *Error (when given) saying why, when
/// the header is not an even number of hexadecimal digits, its length octet
/// disagrees with its size, an information element runs past its end, it
/// already holds a concatenation IE (00 or 08), the text needs more than 255
/// parts, or the header leaves no room for the next character. On success
/// *Error is left untouched.
GARVEL_API bool SplitLongText(const std::u16string& Text, TxcEncodingType Encoding,
                              const std::string& UserDataHeader, uint8_t Reference,
                              std::vector<TxcTextPart>& Parts, std::string* Error = nullptr);

/// The concatenation information of one received part.
struct TxcConcatInfo {
  int Reference = 0;       ///< 0..255, or 0..65535 with SixteenBit
  int Total = 0;           ///< the part count, 2..255
  int Sequence = 0;        ///< this part's number, 1..Total
  bool SixteenBit = false; ///< IE 08 (16-bit reference) rather than IE 00
};

/// Reads the concatenation IE of a received header.
///
/// True when UserDataHeader is valid hexadecimal, its length octet matches
/// its size, every information element lies within it, and its first
/// concatenation IE is a well-formed IE 00 (3 octets) or IE 08 (4 octets)
/// with Total >= 2 and 1 <= Sequence <= Total. Info then receives it and
/// OtherHeader the header without that IE (length octet recomputed, upper-case
/// digits; "" when no other IE is left). On false Info and OtherHeader are
/// left untouched. Safe on any input.
GARVEL_API bool FindConcatInfo(const std::string& UserDataHeader, TxcConcatInfo& Info,
                               std::string& OtherHeader);

/// What TxcReassembler::Add did with a message.
enum TxcReassemblyOutcome : uint8_t {
  roNotPart = 0,  ///< no (well-formed) concatenation IE: the caller raises the message as it is
  roHeld = 1,     ///< kept; it comes back in a later Complete, TakeExpired or TakeAll
  roComplete = 2, ///< the message completed its group: Complete holds the joined message
  roDuplicate = 3 ///< a copy of a part already held or already handed out: dropped
};

/// Joins the parts of received concatenated messages.
///
/// TMsg is a protocol's received-message type with at least the members
/// `std::u16string SMText`, `TxcEncodingType Encoding` and
/// `std::string UserDataHeader` (hexadecimal, length octet included), and
/// must be movable.
///
/// Parts belong to one group when they share the caller's Source key (who
/// sent them to whom), the reference, the part count and the reference size.
/// A part count that differs therefore makes a group of its own; it is not
/// taken for a duplicate.
///
/// Every message given to Add comes back exactly once: joined into a
/// Complete, to the caller at once (roNotPart), or as received (its own
/// header intact) from TakeExpired or TakeAll. Only roDuplicate messages are
/// dropped, and only when their text equals the part already held or handed
/// out under that number. A part that repeats a held number with a different
/// text means the sender reused the reference: the held group is given up
/// (its parts go to TakeExpired) and the new part starts a new group. A part
/// that arrives after its group was handed out by TakeExpired, with a number
/// not handed out, goes to TakeExpired at once. A group whose parts have
/// different encodings cannot be joined: on its last part Add returns roHeld
/// and all its parts go to TakeExpired.
///
/// Memory is bounded: when a new part would exceed the limits (SetLimits),
/// the oldest groups are given up into TakeExpired, which then returns them
/// before their time (NextExpiry reports the moment that happened). The
/// memory of handed-out groups kept for duplicate detection holds at most
/// MaxGroups entries for at most TimeOut each.
///
/// Threading: none. One thread (the application's, which receives the
/// protocol's message events) makes every call; the object has no lock.
/// Time is whatever the caller passes as Now, so tests need no clock.
template <class TMsg> class TxcReassembler {
public:
  using TClock = std::chrono::steady_clock;

  /// Takes Message. See TxcReassemblyOutcome; Complete is assigned only on
  /// roComplete. Now is the time of arrival.
  TxcReassemblyOutcome Add(const std::string& Source, TMsg Message, TMsg& Complete,
                           TClock::time_point Now);

  /// The parts of every group whose first part arrived TimeOut or more
  /// before Now, plus the parts given up earlier (limits, reused references,
  /// mixed encodings, late parts); each as received. Groups in the order of
  /// their first arrival (given-up ones first), parts in number order. Their
  /// numbers are remembered for duplicate detection.
  std::vector<TMsg> TakeExpired(TClock::time_point Now);

  /// Everything held, in the form and order of TakeExpired, for a flush or
  /// shutdown. The reassembler is empty afterwards.
  std::vector<TMsg> TakeAll();

  /// When TakeExpired will next return something; nullopt when nothing is
  /// held. A time in the past when given-up parts are waiting.
  std::optional<TClock::time_point> NextExpiry() const;

  /// The number of messages TakeAll would return.
  size_t HeldParts() const { return FPartCount + FGivenUp.size(); }

  /// How long a group waits for its missing parts; default 60 s. Negative
  /// values count as 0. Applies to groups already held too.
  void SetTimeOut(std::chrono::milliseconds Value) {
    FTimeOut = std::max(Value, std::chrono::milliseconds(0));
  }
  std::chrono::milliseconds TimeOut() const { return FTimeOut; }

  /// The most groups and the most parts held at a time (each at least 1);
  /// defaults 1024 and 16384. Lowering them gives up groups at the next Add.
  void SetLimits(size_t MaxGroups, size_t MaxParts) {
    FMaxGroups = std::max<size_t>(MaxGroups, 1);
    FMaxParts = std::max<size_t>(MaxParts, 1);
  }

private:
  struct TKey {
    std::string Source;
    int Reference;
    int Total;
    bool SixteenBit;
    bool operator<(const TKey& O) const {
      return std::tie(Source, Reference, Total, SixteenBit) <
             std::tie(O.Source, O.Reference, O.Total, O.SixteenBit);
    }
  };
  struct TGroup {
    TKey Key;
    TClock::time_point First;
    std::map<int, TMsg> Parts; // by number
  };
  // A group handed out (joined, expired or given up): the text hash of each
  // number handed out, so that a copy is known again.
  struct TDone {
    TKey Key;
    TClock::time_point When;
    std::map<int, size_t> Hashes;
  };
  using TGroupList = std::list<TGroup>;
  using TDoneList = std::list<TDone>;

  static size_t HashOf(const TMsg& M) {
    return std::hash<std::u16string>{}(M.SMText) ^ static_cast<size_t>(M.Encoding);
  }
  void GiveUp(typename TGroupList::iterator G, TClock::time_point Now);
  void Remember(const TGroup& G, TClock::time_point Now);
  void Forget(TClock::time_point Now);
  void PushGivenUp(TMsg&& M, TClock::time_point Now);

  TGroupList FGroups; // in order of first arrival
  std::map<TKey, typename TGroupList::iterator> FGroupIndex;
  TDoneList FDone; // in order of hand-out
  std::map<TKey, typename TDoneList::iterator> FDoneIndex;
  std::vector<TMsg> FGivenUp;
  TClock::time_point FGivenUpSince{};
  size_t FPartCount = 0; // parts in FGroups
  std::chrono::milliseconds FTimeOut{60000};
  size_t FMaxGroups = 1024;
  size_t FMaxParts = 16384;
};

template <class TMsg>
TxcReassemblyOutcome TxcReassembler<TMsg>::Add(const std::string& Source, TMsg Message,
                                               TMsg& Complete, TClock::time_point Now) {
  TxcConcatInfo info;
  std::string other;
  if (!FindConcatInfo(Message.UserDataHeader, info, other))
    return roNotPart;
  Forget(Now);
  TKey key{Source, info.Reference, info.Total, info.SixteenBit};

  auto gi = FGroupIndex.find(key);
  if (gi != FGroupIndex.end()) {
    auto held = gi->second->Parts.find(info.Sequence);
    if (held != gi->second->Parts.end()) {
      if (held->second.SMText == Message.SMText && held->second.Encoding == Message.Encoding)
        return roDuplicate;
      GiveUp(gi->second, Now); // reused reference: the old group cannot complete
      gi = FGroupIndex.end();
    }
  }
  if (gi == FGroupIndex.end()) {
    if (auto d = FDoneIndex.find(key); d != FDoneIndex.end()) {
      TDone& done = *d->second;
      auto h = done.Hashes.find(info.Sequence);
      if (h == done.Hashes.end()) {
        // A late part of a group already handed out as parts: out with it too.
        done.Hashes.emplace(info.Sequence, HashOf(Message));
        PushGivenUp(std::move(Message), Now);
        return roHeld;
      }
      if (h->second == HashOf(Message))
        return roDuplicate;
      // Same number, other text: the sender reused the reference.
      FDone.erase(d->second);
      FDoneIndex.erase(d);
    }
  }

  // Make room for one more part (and one more group when it starts one),
  // giving up the oldest groups but the one this part joins.
  const bool newGroup = gi == FGroupIndex.end();
  while (FPartCount + 1 > FMaxParts || (newGroup && FGroups.size() + 1 > FMaxGroups)) {
    auto oldest = FGroups.begin();
    if (!newGroup && oldest == gi->second)
      ++oldest;
    if (oldest == FGroups.end())
      break;
    GiveUp(oldest, Now);
  }
  if (!newGroup && FPartCount + 1 > FMaxParts) {
    // Only this part's own group is left and it is still too big.
    GiveUp(gi->second, Now);
    FDoneIndex.at(key)->Hashes.emplace(info.Sequence, HashOf(Message));
    PushGivenUp(std::move(Message), Now);
    return roHeld;
  }

  TGroup* group;
  if (newGroup) {
    FGroups.push_back(TGroup{key, Now, {}});
    FGroupIndex.emplace(key, std::prev(FGroups.end()));
    group = &FGroups.back();
  } else {
    group = &*gi->second;
  }
  group->Parts.emplace(info.Sequence, std::move(Message));
  ++FPartCount;
  if (static_cast<int>(group->Parts.size()) < info.Total)
    return roHeld;

  auto it = FGroupIndex.at(key);
  const TMsg& first = it->Parts.begin()->second;
  const bool sameEncoding = std::all_of(it->Parts.begin(), it->Parts.end(), [&](const auto& P) {
    return P.second.Encoding == first.Encoding;
  });
  TxcConcatInfo firstInfo;
  std::string firstOther;
  if (!sameEncoding || !FindConcatInfo(first.UserDataHeader, firstInfo, firstOther)) {
    GiveUp(it, Now);
    return roHeld;
  }
  Remember(*it, Now);
  std::u16string text;
  for (const auto& p : it->Parts)
    text += p.second.SMText;
  Complete = std::move(it->Parts.begin()->second);
  Complete.SMText = std::move(text);
  Complete.UserDataHeader = std::move(firstOther);
  FPartCount -= it->Parts.size();
  FGroupIndex.erase(key);
  FGroups.erase(it);
  return roComplete;
}

template <class TMsg> std::vector<TMsg> TxcReassembler<TMsg>::TakeExpired(TClock::time_point Now) {
  std::vector<TMsg> out = std::move(FGivenUp);
  FGivenUp.clear();
  for (auto it = FGroups.begin(); it != FGroups.end();) {
    auto next = std::next(it);
    if (Now - it->First >= FTimeOut) {
      Remember(*it, Now);
      for (auto& p : it->Parts)
        out.push_back(std::move(p.second));
      FPartCount -= it->Parts.size();
      FGroupIndex.erase(it->Key);
      FGroups.erase(it);
    }
    it = next;
  }
  Forget(Now);
  return out;
}

template <class TMsg> std::vector<TMsg> TxcReassembler<TMsg>::TakeAll() {
  std::vector<TMsg> out = std::move(FGivenUp);
  FGivenUp.clear();
  for (auto& g : FGroups)
    for (auto& p : g.Parts)
      out.push_back(std::move(p.second));
  FGroups.clear();
  FGroupIndex.clear();
  FPartCount = 0;
  return out;
}

template <class TMsg>
std::optional<typename TxcReassembler<TMsg>::TClock::time_point>
TxcReassembler<TMsg>::NextExpiry() const {
  if (!FGivenUp.empty())
    return FGivenUpSince;
  std::optional<TClock::time_point> next;
  for (const auto& g : FGroups)
    if (!next || g.First + FTimeOut < *next)
      next = g.First + FTimeOut;
  return next;
}

template <class TMsg>
void TxcReassembler<TMsg>::GiveUp(typename TGroupList::iterator G, TClock::time_point Now) {
  Remember(*G, Now);
  for (auto& p : G->Parts)
    PushGivenUp(std::move(p.second), Now);
  FPartCount -= G->Parts.size();
  FGroupIndex.erase(G->Key);
  FGroups.erase(G);
}

template <class TMsg> void TxcReassembler<TMsg>::Remember(const TGroup& G, TClock::time_point Now) {
  if (auto d = FDoneIndex.find(G.Key); d != FDoneIndex.end()) {
    FDone.erase(d->second);
    FDoneIndex.erase(d);
  }
  TDone done{G.Key, Now, {}};
  for (const auto& p : G.Parts)
    done.Hashes.emplace(p.first, HashOf(p.second));
  FDone.push_back(std::move(done));
  FDoneIndex.emplace(G.Key, std::prev(FDone.end()));
  while (FDone.size() > FMaxGroups) {
    FDoneIndex.erase(FDone.front().Key);
    FDone.pop_front();
  }
}

template <class TMsg> void TxcReassembler<TMsg>::Forget(TClock::time_point Now) {
  // Entries are in hand-out order, so the oldest are at the front (as long
  // as the caller's clock does not run backwards; if it does, they are only
  // kept a little longer, and never more than MaxGroups of them).
  while (!FDone.empty() && Now - FDone.front().When >= FTimeOut) {
    FDoneIndex.erase(FDone.front().Key);
    FDone.pop_front();
  }
}

template <class TMsg> void TxcReassembler<TMsg>::PushGivenUp(TMsg&& M, TClock::time_point Now) {
  if (FGivenUp.empty())
    FGivenUpSince = Now;
  FGivenUp.push_back(std::move(M));
}

/// The parts a submit of Text goes out in: Text itself when it fits one
/// message; otherwise, with Split, its concatenated parts under the
/// reference Reference() gives. False (nothing to send) when it must be
/// refused.
template <class FReference>
bool PartsToSubmit(const std::u16string& Text, TxcEncodingType Encoding,
                   const std::string& UserDataHeader, bool Split, FReference&& Reference,
                   std::vector<TxcTextPart>& Parts) {
  Parts.clear();
  if (FitsOneMessage(Text, Encoding, UserDataHeader)) {
    Parts.push_back({Text, UserDataHeader});
    return true;
  }
  return Split && SplitLongText(Text, Encoding, UserDataHeader, Reference(), Parts);
}

/// A component's use of a reassembler for one received message M, on the
/// thread that raises its events: Raise(M, false) at once when M is no part,
/// Raise(Joined, true) when M completes its message, nothing while it is
/// held. True while parts are held (the caller then arranges for
/// RaiseHeldParts to run).
template <class TMsg, class FRaise>
bool ReassembleOrRaise(TxcReassembler<TMsg>& Reassembler, const std::string& Source, const TMsg& M,
                       std::chrono::steady_clock::time_point Now, FRaise&& Raise) {
  TMsg joined;
  switch (Reassembler.Add(Source, M, joined, Now)) {
  case roNotPart:
    Raise(M, false);
    break;
  case roComplete:
    Raise(joined, true);
    break;
  case roHeld:
  case roDuplicate:
    break;
  }
  return Reassembler.HeldParts() > 0;
}

/// Raises, one at a time and as they came, the parts Reassembler gives up
/// (All: everything it holds). A handler that throws is reported through
/// Report(what) and the other parts still go; once Alive() is false (a
/// handler destroyed the component) nothing more is touched. True while
/// parts are still held.
template <class TMsg, class FRaise, class FAlive, class FReport>
bool RaiseHeldParts(TxcReassembler<TMsg>& Reassembler, bool All,
                    std::chrono::steady_clock::time_point Now, FRaise&& Raise, FAlive&& Alive,
                    FReport&& Report) {
  std::vector<TMsg> parts = All ? Reassembler.TakeAll() : Reassembler.TakeExpired(Now);
  for (const TMsg& m : parts) {
    try {
      Raise(m, false);
    } catch (const std::exception& e) {
      if (!Alive())
        return false;
      Report(e.what());
    }
    if (!Alive())
      return false;
  }
  return Reassembler.HeldParts() > 0;
}

} // namespace garvel
