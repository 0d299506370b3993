// Builds CIMD2 packets for the tests, independently of the codec.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace garvel::cimd2::test {

using TParams = std::vector<std::pair<int, std::string>>;

/// STX "OO:NNN" TAB, "PPP:value" TAB for each parameter, the checksum of
/// everything from STX on (unless WithChecksum is false), ETX.
inline std::string Packet(int Op, int Number, const TParams& Params = {},
                          bool WithChecksum = true) {
  char head[16];
  std::snprintf(head, sizeof head, "\x02%02d:%03d\t", Op, Number);
  std::string p = head;
  for (const auto& [code, value] : Params) {
    char c[8];
    std::snprintf(c, sizeof c, "%03d:", code);
    p += c + value + "\t";
  }
  if (WithChecksum) {
    unsigned sum = 0;
    for (unsigned char ch : p)
      sum += ch;
    char cs[4];
    std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
    p += cs;
  }
  return p + "\x03";
}

/// The operation code and packet number of a packet; -1 when unreadable.
inline int OpOf(const std::string& P) {
  return P.size() >= 3 ? std::atoi(P.substr(1, 2).c_str()) : -1;
}
inline int NumberOf(const std::string& P) {
  return P.size() >= 7 ? std::atoi(P.substr(4, 3).c_str()) : -1;
}

/// True when Bytes holds a whole packet (an ETX).
inline bool HasPacket(const std::string& Bytes) {
  return Bytes.find('\x03') != std::string::npos;
}

} // namespace garvel::cimd2::test
