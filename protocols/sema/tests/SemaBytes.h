// Builds SEMA messages for the tests, independently of the codec.
#pragma once

#include <cstdint>
#include <string>

namespace garvel::sema::test {

/// Octets from hexadecimal pairs separated by blanks ("01 00 0B").
inline std::string Hex(const std::string& Text) {
  std::string out;
  for (size_t i = 0; i + 1 < Text.size();) {
    if (Text[i] == ' ') {
      ++i;
      continue;
    }
    out += static_cast<char>(std::stoi(Text.substr(i, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

inline std::string U32(uint32_t V) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i)
    s[static_cast<size_t>(i)] = static_cast<char>(V >> (8 * i));
  return s;
}

/// Header (reference, class, operation, zero, body length) and Body.
inline std::string Message(uint32_t Reference, int Class, int Operation, const std::string& Body) {
  std::string m = U32(Reference);
  m += static_cast<char>(Class);
  m += static_cast<char>(Operation);
  m += std::string(2, '\0');
  m += static_cast<char>(Body.size() & 0xFF);
  m += static_cast<char>((Body.size() >> 8) & 0xFF);
  return m + Body;
}

/// An address with numbering information.
inline std::string Address(const std::string& A, int TON, int NPI) {
  const char* digits = "0123456789ABCDEF";
  return std::string(1, static_cast<char>(A.size() + 2)) + digits[TON + 8] + digits[NPI] + A;
}

/// A delivered message's body.
inline std::string DeliverBody(int DataCoding, int Indicator, int Udl, const std::string& UserData,
                               const std::string& Tail = "") {
  return Address("1234", 1, 1) + std::string(4, '\0') + Address("0612345678", 1, 1) +
         static_cast<char>(DataCoding) + '\0' + static_cast<char>(Indicator) +
         static_cast<char>(Udl) + static_cast<char>(UserData.size()) + UserData + Tail;
}

/// A status report's body.
inline std::string ReportBody(uint32_t Reference, int Status, const std::string& Reason = "") {
  return std::string(1, '\x0A') + "0612345678" + std::string(5, '\0') + U32(Reference) +
         "12030212345600" + static_cast<char>(Status) + "12030212350000" + Reason +
         Address("1234", 1, 1);
}

} // namespace garvel::sema::test
