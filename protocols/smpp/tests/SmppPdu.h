// Builds SMPP PDUs byte by byte for the tests, independently of the codec.
#pragma once

#include "SysUtils.h"

#include <cstdint>
#include <string>

namespace garvel::smpp::test {

/// Octets from hexadecimal text; blanks are skipped ("00 00 00 10").
inline std::string Hex(const std::string& Text) {
  std::string out;
  int nibble = -1;
  for (char c : Text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else
      continue;
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<char>(nibble << 4 | v));
      nibble = -1;
    }
  }
  return out;
}

inline std::string U32(uint32_t V) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i)
    s[static_cast<size_t>(i)] = static_cast<char>(V >> (24 - 8 * i));
  return s;
}

inline std::string U16(uint16_t V) {
  return std::string{static_cast<char>(V >> 8), static_cast<char>(V & 0xFF)};
}

inline std::string Octet(int V) {
  return std::string(1, static_cast<char>(V));
}

/// A C-octet string.
inline std::string CStr(const std::string& S) {
  return S + std::string(1, '\0');
}

/// A whole PDU: header with the right command_length, then Body.
inline std::string Pdu(uint32_t Command, uint32_t Status, uint32_t Sequence,
                       const std::string& Body = std::string()) {
  return U32(static_cast<uint32_t>(16 + Body.size())) + U32(Command) + U32(Status) + U32(Sequence) +
         Body;
}

/// A TLV.
inline std::string Tlv(uint16_t Tag, const std::string& Value) {
  return U16(Tag) + U16(static_cast<uint16_t>(Value.size())) + Value;
}

/// The body of a deliver_sm.
struct TDeliver {
  int SourceTON = 1, SourceNPI = 1;
  std::string Source = "4477001";
  int DestTON = 0, DestNPI = 1;
  std::string Dest = "1234";
  int EsmClass = 0;
  int DataCoding = 0;
  std::string ShortMessage;
  std::string Tlvs;

  std::string Body() const {
    return CStr("") + Octet(SourceTON) + Octet(SourceNPI) + CStr(Source) + Octet(DestTON) +
           Octet(DestNPI) + CStr(Dest) + Octet(EsmClass) + Octet(0) + Octet(0) + CStr("") +
           CStr("") + Octet(0) + Octet(0) + Octet(DataCoding) + Octet(0) +
           Octet(static_cast<int>(ShortMessage.size())) + ShortMessage + Tlvs;
  }
};

/// The fields of a PDU's header.
inline uint32_t Field(const std::string& Pdu, int Offset) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v = v << 8 | static_cast<uint8_t>(Pdu[static_cast<size_t>(Offset + i)]);
  return v;
}
inline uint32_t LengthOf(const std::string& P) {
  return Field(P, 0);
}
inline uint32_t CommandOf(const std::string& P) {
  return Field(P, 4);
}
inline uint32_t StatusOf(const std::string& P) {
  return Field(P, 8);
}
inline uint32_t SequenceOf(const std::string& P) {
  return Field(P, 12);
}

/// True when Bytes begins with at least one whole PDU.
inline bool HasPdu(const std::string& Bytes) {
  return Bytes.size() >= 16 && Bytes.size() >= LengthOf(Bytes);
}

} // namespace garvel::smpp::test
