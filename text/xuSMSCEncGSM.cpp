// The GSM 7-bit default alphabet: translation table, translation, packing.
#include "xuSMSCEncGSM.h"

#include "GSMSeptets.h"
#include "IniFiles.h"
#include "xuSMSCExtractSM.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace garvel {
namespace {

constexpr int kRows = 3;
constexpr int kCodes = 128;
constexpr uint8_t kNoCode = 0xFF; // reverse index: the row does not hold the character

// Row 0 of the default table, GSM code -> Windows-1252 character.
constexpr uint8_t kDefaultRow0[kCodes] = {
    0x40, 0xA3, 0x24, 0xA5, 0xE9, 0xF9, 0xEC, 0xF2, 0xF2, 0xC7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,
    0xC1, 0x5F, 0xD4, 0xC3, 0x5E, 0xD9, 0xD0, 0xFF, 0xCA, 0xD3, 0xCE, 0x20, 0xC6, 0xE6, 0xF1, 0xC9,
    0x20, 0x21, 0x22, 0x23, 0xA4, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0xA1, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xC4, 0xD6, 0xDC, 0xA7, 0xD1,
    0xBF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xE4, 0xF6, 0xFC, 0xDF, 0xE0,
};

// Row 1 (after one escape) is a space except for these codes.
struct TOverride {
  uint8_t Code;
  uint8_t Char;
};
constexpr TOverride kDefaultRow1[] = {
    {0x14, 0x5E}, {0x28, 0x7B}, {0x29, 0x7D}, {0x2F, 0x5C},
    {0x3C, 0x5B}, {0x3D, 0x7E}, {0x3E, 0x5D}, {0x65, 0x80}, // 0x80: the euro sign
};

// The table and its reverse index. Rev[r][ch] is the highest code whose
// entry in row r is ch (the search order of ASCIIToGSMAlphabet), or kNoCode.
// Every byte is only touched through std::atomic_ref, so that a load running
// beside a conversion is no data race; it can only give a wrong character.
struct TTable {
  uint8_t Fwd[kRows][kCodes];
  uint8_t Rev[kRows][256];
};

constexpr void BuildReverse(const uint8_t (&Fwd)[kRows][kCodes], uint8_t (&Rev)[kRows][256]) {
  for (int r = 0; r < kRows; ++r) {
    for (int ch = 0; ch < 256; ++ch)
      Rev[r][ch] = kNoCode;
    for (int c = 0; c < kCodes; ++c) // ascending, so the highest code is kept
      Rev[r][Fwd[r][c]] = static_cast<uint8_t>(c);
  }
}

constexpr TTable MakeDefaultTable() {
  TTable t{};
  for (int c = 0; c < kCodes; ++c) {
    t.Fwd[0][c] = kDefaultRow0[c];
    t.Fwd[1][c] = 0x20;
    t.Fwd[2][c] = 0x20;
  }
  for (const TOverride& o : kDefaultRow1)
    t.Fwd[1][o.Code] = o.Char;
  BuildReverse(t.Fwd, t.Rev);
  return t;
}

constexpr TTable kDefaultTable = MakeDefaultTable();

// Constant-initialised: valid before any static constructor runs.
constinit TTable gTable = kDefaultTable;

// Serialises the loads against each other (conversions never take it).
std::mutex& LoadMutex() {
  static std::mutex m;
  return m;
}

inline uint8_t Get(uint8_t& b) {
  return std::atomic_ref<uint8_t>(b).load(std::memory_order_relaxed);
}
inline void Put(uint8_t& b, uint8_t v) {
  std::atomic_ref<uint8_t>(b).store(v, std::memory_order_relaxed);
}

int EscapeDepth(TxcGSMAlphabet Alphabet) {
  switch (Alphabet) {
  case gsmaDefault:
    return 0;
  case gsmaThreeEscape:
    return 2;
  case gsmaExtended:
    return 1;
  }
  return 1; // an ordinal outside the enumeration behaves as gsmaExtended
}

// Writer side; the caller holds LoadMutex().
void StoreDefaults() {
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < kCodes; ++c)
      Put(gTable.Fwd[r][c], kDefaultTable.Fwd[r][c]);
}

void RebuildReverse() {
  uint8_t fwd[kRows][kCodes];
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < kCodes; ++c)
      fwd[r][c] = Get(gTable.Fwd[r][c]);
  uint8_t rev[kRows][256];
  BuildReverse(fwd, rev);
  for (int r = 0; r < kRows; ++r)
    for (int ch = 0; ch < 256; ++ch)
      Put(gTable.Rev[r][ch], rev[r][ch]);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

// The character code a translation-file value stands for, or -1 when the
// value leaves the entry unchanged. Throws for a malformed "0x" value.
int ParseEntry(const std::string& Value, int Row, const std::string& Key) {
  if (Value.size() == 4 && Value[0] == '0' && Value[1] == 'x') {
    int hi = HexDigit(Value[2]);
    int lo = HexDigit(Value[3]);
    if (hi < 0 || lo < 0)
      throw EConvertError("Error while reading section \"Table" + std::to_string(Row) +
                          "\" variable \"" + Key + "\".");
    return hi * 16 + lo;
  }
  if (Value.size() == 3) {
    int v = StrToIntDef(Value, -1);
    return v >= 0 && v <= 255 ? v : -1;
  }
  if (Value.size() == 1)
    return static_cast<unsigned char>(Value[0]);
  return -1;
}

// Packs the low 7 bits of each code, starting FillBits into byte 0.
TByteDynArray PackSeptets(const std::string& Codes, int FillBits) {
  const size_t bits = static_cast<size_t>(FillBits) + 7 * Codes.size();
  TByteDynArray out((bits + 7) / 8, 0);
  uint32_t acc = 0;
  int have = FillBits; // bits in acc not yet written; the fill bits are 0
  size_t o = 0;
  for (char ch : Codes) {
    acc |= static_cast<uint32_t>(static_cast<unsigned char>(ch) & 0x7F) << have;
    have += 7;
    if (have >= 8) {
      out[o++] = static_cast<uint8_t>(acc);
      acc >>= 8;
      have -= 8;
    }
  }
  if (have > 0)
    out[o] = static_cast<uint8_t>(acc);
  return out;
}

// Every complete septet of Data from bit 0 on, one code (0..127) per byte.
std::string UnpackSeptets(const TByteDynArray& Data) {
  const size_t n = Data.size() * 8 / 7;
  std::string codes(n, '\0');
  uint32_t acc = 0;
  int have = 0;
  size_t i = 0;
  for (size_t k = 0; k < n; ++k) {
    if (have < 7) {
      acc |= static_cast<uint32_t>(Data[i++]) << have;
      have += 8;
    }
    codes[k] = static_cast<char>(acc & 0x7F);
    acc >>= 7;
    have -= 7;
  }
  return codes;
}

std::string Translate(const char* Codes, size_t N, TxcGSMAlphabet Alphabet) {
  const int depth = EscapeDepth(Alphabet);
  std::string out;
  out.reserve(N);
  int d = 0;
  for (size_t i = 0; i < N; ++i) {
    const uint8_t c = static_cast<unsigned char>(Codes[i]) & 0x7F;
    // Without escape rows (gsmaDefault) 0x1B is an ordinary code of row 0.
    if (c == GSMEscape && depth > 0) {
      // An escape past the deepest allowed row selects no table: it is
      // dropped and the next code is read from row 0.
      d = d < depth ? d + 1 : 0;
      continue;
    }
    out.push_back(static_cast<char>(Get(gTable.Fwd[d][c])));
    d = 0;
  }
  return out;
}

} // namespace

namespace detail {

std::string DecodeSeptets(const TByteDynArray& Data, int Len, size_t Skip,
                          TxcGSMAlphabet Alphabet) {
  const std::string codes = UnpackSeptets(Data);
  const size_t n = codes.size();
  const size_t from = std::min(Skip, n);
  std::string text = Translate(codes.data() + from, n - from, Alphabet);

  // A carriage return at the end is the padding of a spare septet.
  if (!text.empty() && text.back() == '\r') {
    text.pop_back();
    return text;
  }
  const size_t announced = Len > 0 ? static_cast<size_t>(Len) : 0;
  if (announced < n) {
    // Only the announced septets are text: the rest is the spare septet
    // (or more, when Len is short). Translating the announced septets alone
    // keeps an escape among them from letting a spare septet in.
    if (announced <= from)
      return {};
    const size_t count = announced - from;
    if (EscapeDepth(Alphabet) == 0 || std::memchr(codes.data() + from, GSMEscape, count) == nullptr)
      text.resize(count); // one character per septet: the prefix is the same
    else
      text = Translate(codes.data() + from, count, Alphabet);
  } else if (announced > std::max(n, Skip)) {
    // Septets announced but not in the data read as spaces.
    text.append(announced - std::max(n, Skip), ' ');
  }
  return text;
}

} // namespace detail

std::string ASCIIToGSMAlphabet(const std::string& S, TxcGSMAlphabet Alphabet) {
  const int depth = EscapeDepth(Alphabet);
  std::string out;
  out.reserve(S.size());
  for (char ch : S) {
    const uint8_t u = static_cast<unsigned char>(ch);
    if (u == 0x20) {
      out.push_back(0x20);
      continue;
    }
    bool found = false;
    for (int r = 0; r <= depth && !found; ++r) {
      const uint8_t code = Get(gTable.Rev[r][u]);
      if (code != kNoCode) {
        out.append(static_cast<size_t>(r), static_cast<char>(GSMEscape));
        out.push_back(static_cast<char>(code));
        found = true;
      }
    }
    if (!found)
      out.push_back(0x20);
  }
  return out;
}

std::string GSMAlphabetToASCII(const std::string& S, TxcGSMAlphabet Alphabet) {
  return Translate(S.data(), S.size(), Alphabet);
}

TByteDynArray StrToGSM(const std::string& S, int& Len, int FillBits, TxcGSMAlphabet Alphabet) {
  const std::string codes = ASCIIToGSMAlphabet(S, Alphabet);
  Len = static_cast<int>(codes.size());
  if (codes.empty())
    return {};
  return PackSeptets(codes, std::clamp(FillBits, 0, 6));
}

std::string GSMToStr(const TByteDynArray& Data, int Len, TxcGSMAlphabet Alphabet) {
  if (Data.empty())
    return {};
  return detail::DecodeSeptets(Data, Len, 0, Alphabet);
}

TByteDynArray HexStrToGSM(const std::string& S, int& Len, TxcGSMAlphabet Alphabet) {
  return StrToGSM(HexStrToStr(S), Len, 0, Alphabet);
}

std::string GSMToHexStr(const TByteDynArray& Data, int Len, TxcGSMAlphabet Alphabet) {
  return StrToHexStr(GSMToStr(Data, Len, Alphabet));
}

bool LoadDefaultTranslationTable() {
  std::lock_guard<std::mutex> lock(LoadMutex());
  StoreDefaults();
  RebuildReverse();
  return true;
}

bool LoadCharacterTranslationTable(const std::string& FileName) {
  std::lock_guard<std::mutex> lock(LoadMutex());
  StoreDefaults();

  // TIniFile reads a missing file as empty; tell that case apart, so that a
  // wrong name is not reported as success.
  bool readable = false;
  {
    std::error_code ec;
    if (!FileName.empty() && !std::filesystem::is_directory(FileName, ec)) {
      if (std::FILE* f = std::fopen(FileName.c_str(), "rb")) {
        readable = true;
        std::fclose(f);
      }
    }
  }
  if (!readable) {
    RebuildReverse();
    return false;
  }

  TIniFile ini(FileName);
  try {
    for (int r = 0; r < kRows; ++r) {
      const std::string section = "Table" + std::to_string(r);
      for (int c = 0; c < kCodes; ++c) {
        const std::string key = ZeroPad(c, 3);
        const std::string value = ini.ReadString(section, key, "");
        const int code = value.empty() ? -1 : ParseEntry(value, r, key);
        if (code >= 0)
          Put(gTable.Fwd[r][c], static_cast<uint8_t>(code));
      }
    }
  } catch (...) {
    RebuildReverse(); // the entries stored so far stay in force
    throw;
  }
  RebuildReverse();
  return true;
}

} // namespace garvel
