// Conversions between 8-bit text (Windows-1252) and UCS-2.
#include "CodePage.h"

#include <cstdint>

namespace garvel {
namespace {

// Windows-1252 0x80..0x9F; the undefined five keep their own code point.
constexpr char16_t k1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char WideCharToAnsi(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
    return static_cast<char>(c);
  for (int i = 0; i < 32; ++i)
    if (k1252High[i] == c)
      return static_cast<char>(0x80 + i);
  return '?';
}

} // namespace

std::u16string AnsiToWide(std::string_view S) {
  std::u16string r;
  r.reserve(S.size());
  for (unsigned char b : S)
    r.push_back(b >= 0x80 && b < 0xA0 ? k1252High[b - 0x80] : static_cast<char16_t>(b));
  return r;
}

std::string WideToAnsi(std::u16string_view S) {
  std::string r;
  r.reserve(S.size());
  for (char16_t c : S)
    r.push_back(WideCharToAnsi(c));
  return r;
}

std::u16string Utf8ToWide(std::string_view S) {
  std::u16string r;
  size_t i = 0;
  while (i < S.size()) {
    auto b = static_cast<unsigned char>(S[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      if (i + len > S.size()) {
        cp = 0xFFFD;
        len = 1;
      } else {
        cp = b & (0x7F >> len);
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
          auto c = static_cast<unsigned char>(S[i + k]);
          if ((c & 0xC0) != 0x80) {
            ok = false;
            break;
          }
          cp = (cp << 6) | (c & 0x3F);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
          cp = 0xFFFD;
          len = 1;
        }
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      r.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      r.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      r.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return r;
}

std::string WideToUtf8(std::u16string_view S) {
  std::string r;
  for (size_t i = 0; i < S.size(); ++i) {
    uint32_t cp = S[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < S.size() && S[i + 1] >= 0xDC00 &&
        S[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (S[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      r.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      r.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      r.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      r.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      r.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      r.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      r.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      r.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      r.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      r.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return r;
}

std::string AnsiToUtf8(std::string_view S) {
  return WideToUtf8(AnsiToWide(S));
}
std::string Utf8ToAnsi(std::string_view S) {
  return WideToAnsi(Utf8ToWide(S));
}

} // namespace garvel
