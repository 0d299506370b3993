// Long messages: splitting text into concatenated parts, reading the
// concatenation IE of received headers.
#include "xuSMSCConcat.h"

#include <cstdio>
#include <limits>

namespace garvel {
namespace {

constexpr uint8_t kIEConcat8 = 0x00;  // reference, count, number
constexpr uint8_t kIEConcat16 = 0x08; // reference (2 octets), count, number
constexpr int kConcatIEOctets = 5;    // IE 00 with its identifier and length octets

// One information element of a parsed header: Pos indexes its identifier
// octet in the header octets (the length octet is octet 0).
struct TElement {
  size_t Pos;
  uint8_t Id;
  size_t Len;
};

// Reads a hexadecimal header into its octets and elements. The empty header
// is valid and has none. False, with Why, when the header is malformed.
bool ParseHeader(const std::string& Hex, std::string& Octets, std::vector<TElement>& Elements,
                 std::string& Why) {
  Octets.clear();
  Elements.clear();
  if (Hex.empty())
    return true;
  if (!IsHexStr(Hex)) {
    Why = "user data header \"" + Hex.substr(0, 32) + "\" is not an even number of hex digits";
    return false;
  }
  Octets = HexStrToStr(Hex);
  const size_t udhl = static_cast<uint8_t>(Octets[0]);
  if (udhl != Octets.size() - 1) {
    Why = "user data header length octet " + std::to_string(udhl) + " disagrees with its " +
          std::to_string(Octets.size() - 1) + " following octets";
    return false;
  }
  for (size_t pos = 1; pos < Octets.size();) {
    if (Octets.size() - pos < 2) {
      Why = "information element at octet " + std::to_string(pos) + " has no length octet";
      return false;
    }
    const size_t len = static_cast<uint8_t>(Octets[pos + 1]);
    if (len > Octets.size() - pos - 2) {
      Why = "information element at octet " + std::to_string(pos) + " has length " +
            std::to_string(len) + ", " + std::to_string(Octets.size() - pos - 2) + " octets left";
      return false;
    }
    Elements.push_back({pos, static_cast<uint8_t>(Octets[pos]), len});
    pos += 2 + len;
  }
  return true;
}

// The septets of one UTF-16 code unit in the GSM alphabet: 2 for an
// extension character, 1 otherwise (a character without GSM form is sent as
// one replacement septet; each half of a surrogate pair counts as such).
int SeptetsOf(char16_t C) {
  std::string codes;
  if (!WideToOctetText(std::u16string(1, C), true, codes) || codes.empty())
    return 1;
  return static_cast<int>(codes.size());
}

bool IsHighSurrogate(char16_t C) {
  return C >= 0xD800 && C <= 0xDBFF;
}
bool IsLowSurrogate(char16_t C) {
  return C >= 0xDC00 && C <= 0xDFFF;
}

// Walks Text in the pieces that must not be divided between parts: one
// character (a surrogate pair whole) for text, two digits for hexadecimal.
// Calls F(start, code units, cost); stops early when F returns false.
template <class TF> void ForEachPiece(const std::u16string& Text, TxcEncodingType Encoding, TF F) {
  const size_t n = Text.size();
  for (size_t i = 0; i < n;) {
    size_t len = 1;
    int cost = 1;
    switch (Encoding) {
    case et8BitHexadecimal:
      len = std::min<size_t>(2, n - i);
      break;
    case et7BitText:
    case etUCS2Text:
      if (IsHighSurrogate(Text[i]) && i + 1 < n && IsLowSurrogate(Text[i + 1]))
        len = 2;
      if (Encoding == et7BitText) {
        cost = 0;
        for (size_t k = 0; k < len; ++k)
          cost += SeptetsOf(Text[i + k]);
      } else {
        cost = static_cast<int>(len);
      }
      break;
    }
    if (!F(i, len, cost))
      return;
    i += len;
  }
}

std::string OctetsToHex(const std::string& Octets) {
  return StrToHexStr(Octets);
}

} // namespace

int UserDataCapacity(TxcEncodingType Encoding, int HeaderOctets) {
  if (HeaderOctets < 0 || HeaderOctets >= MaxUserDataOctets)
    return 0;
  const int octets = MaxUserDataOctets - HeaderOctets;
  switch (Encoding) {
  case et7BitText:
    return (8 * MaxUserDataOctets - 8 * HeaderOctets) / 7;
  case et8BitHexadecimal:
    return octets;
  case etUCS2Text:
    return octets / 2;
  }
  return 0;
}

int TextUnits(const std::u16string& Text, TxcEncodingType Encoding) {
  long long units = 0;
  ForEachPiece(Text, Encoding, [&](size_t, size_t, int Cost) {
    units += Cost;
    return true;
  });
  return static_cast<int>(std::min<long long>(units, std::numeric_limits<int>::max()));
}

bool FitsOneMessage(const std::u16string& Text, TxcEncodingType Encoding,
                    const std::string& UserDataHeader) {
  std::string octets, why;
  std::vector<TElement> elements;
  if (!ParseHeader(UserDataHeader, octets, elements, why))
    return false;
  const int capacity = UserDataCapacity(Encoding, static_cast<int>(octets.size()));
  return TextUnits(Text, Encoding) <= capacity;
}

bool SplitLongText(const std::u16string& Text, TxcEncodingType Encoding,
                   const std::string& UserDataHeader, uint8_t Reference,
                   std::vector<TxcTextPart>& Parts, std::string* Error) {
  Parts.clear();
  std::string why;
  auto fail = [&](std::string Why) {
    Parts.clear();
    if (Error)
      *Error = std::move(Why);
    return false;
  };

  std::string octets;
  std::vector<TElement> elements;
  if (!ParseHeader(UserDataHeader, octets, elements, why))
    return fail(why);
  for (const TElement& e : elements)
    if (e.Id == kIEConcat8 || e.Id == kIEConcat16) {
      char id[8];
      std::snprintf(id, sizeof id, "%02X", e.Id);
      return fail(std::string("user data header already holds a concatenation element (IE ") + id +
                  ")");
    }

  if (TextUnits(Text, Encoding) <= UserDataCapacity(Encoding, static_cast<int>(octets.size()))) {
    Parts.push_back({Text, UserDataHeader});
    return true;
  }

  // Every part carries the caller's elements and IE 00 behind a new length
  // octet, so all parts have the same capacity.
  const std::string others = octets.empty() ? std::string() : octets.substr(1);
  const int headerOctets = 1 + static_cast<int>(others.size()) + kConcatIEOctets;
  const int capacity = UserDataCapacity(Encoding, headerOctets);

  // Piece boundaries of each part: [start, end) in code units.
  std::vector<std::pair<size_t, size_t>> ranges;
  size_t start = 0;
  int used = 0;
  bool ok = true;
  ForEachPiece(Text, Encoding, [&](size_t Pos, size_t, int Cost) {
    if (Cost > capacity) {
      why = "a user data header of " + std::to_string(headerOctets) + " octets leaves room for " +
            std::to_string(capacity) + " units, the character at " + std::to_string(Pos) +
            " needs " + std::to_string(Cost);
      ok = false;
      return false;
    }
    if (used + Cost > capacity) {
      ranges.emplace_back(start, Pos);
      start = Pos;
      used = 0;
      if (ranges.size() >= MaxConcatParts) {
        why = "the text needs more than " + std::to_string(MaxConcatParts) + " parts";
        ok = false;
        return false;
      }
    }
    used += Cost;
    return true;
  });
  if (!ok)
    return fail(why);
  ranges.emplace_back(start, Text.size());

  const std::string lengthOctet(1, static_cast<char>(headerOctets - 1));
  const std::string common = OctetsToHex(lengthOctet + others);
  char ie[16];
  Parts.reserve(ranges.size());
  for (size_t k = 0; k < ranges.size(); ++k) {
    std::snprintf(ie, sizeof ie, "0003%02X%02X%02X", static_cast<unsigned>(Reference),
                  static_cast<unsigned>(ranges.size()), static_cast<unsigned>(k + 1));
    Parts.push_back(
        {Text.substr(ranges[k].first, ranges[k].second - ranges[k].first), common + ie});
  }
  return true;
}

bool FindConcatInfo(const std::string& UserDataHeader, TxcConcatInfo& Info,
                    std::string& OtherHeader) {
  std::string octets, why;
  std::vector<TElement> elements;
  if (UserDataHeader.empty() || !ParseHeader(UserDataHeader, octets, elements, why))
    return false;
  for (const TElement& e : elements) {
    if (e.Id != kIEConcat8 && e.Id != kIEConcat16)
      continue;
    const auto at = [&](size_t K) { return static_cast<int>(static_cast<uint8_t>(octets[K])); };
    const size_t data = e.Pos + 2;
    TxcConcatInfo info;
    if (e.Id == kIEConcat8 && e.Len == 3) {
      info.Reference = at(data);
      info.Total = at(data + 1);
      info.Sequence = at(data + 2);
    } else if (e.Id == kIEConcat16 && e.Len == 4) {
      info.Reference = at(data) << 8 | at(data + 1);
      info.Total = at(data + 2);
      info.Sequence = at(data + 3);
      info.SixteenBit = true;
    } else {
      return false; // the first concatenation element decides
    }
    if (info.Total < 2 || info.Sequence < 1 || info.Sequence > info.Total)
      return false;
    std::string rest = octets.substr(1, e.Pos - 1) + octets.substr(data + e.Len);
    Info = info;
    if (rest.empty())
      OtherHeader.clear();
    else
      OtherHeader = OctetsToHex(std::string(1, static_cast<char>(rest.size())) + rest);
    return true;
  }
  return false;
}

} // namespace garvel
