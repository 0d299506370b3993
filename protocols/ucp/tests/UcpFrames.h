// Builds and takes apart UCP frames for the tests, independently of the codec.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace garvel::ucp::test {

/// STX + Body + its checksum + ETX.
inline std::string Close(const std::string& Body) {
  unsigned sum = 0;
  for (unsigned char c : Body)
    sum += c;
  char cs[4];
  std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
  return "\x02" + Body + cs + "\x03";
}

/// STX + "TRN/LEN/OR/OT/" + each field and "/" + checksum + ETX, with LEN and
/// the checksum worked out here.
inline std::string Frame(int TRN, char OR, int OT, const std::vector<std::string>& Fields) {
  char head[32];
  std::snprintf(head, sizeof head, "%02d/00000/%c/%02d/", TRN, OR, OT);
  std::string body = head;
  for (const std::string& f : Fields)
    body += f + "/";
  char len[8];
  std::snprintf(len, sizeof len, "%05zu", body.size() + 2);
  body.replace(3, 5, len);
  return Close(body);
}

/// Frame with its TRN replaced by the one Request carries (an SMSC answers
/// under the TRN of the operation) and its checksum worked out again.
inline std::string WithTRNOf(const std::string& Frame, const std::string& Request) {
  if (Frame.size() < 6 || Request.size() < 3 || Frame[0] != '\x02' || Request[0] != '\x02')
    return Frame;
  std::string body = Frame.substr(1, Frame.size() - 4);
  body.replace(0, 2, Request.substr(1, 2));
  return Close(body);
}

/// The TRN of a frame, -1 when it has none.
inline int TRNOf(const std::string& Frame) {
  if (Frame.size() < 3 || Frame[0] != '\x02')
    return -1;
  return std::atoi(Frame.substr(1, 2).c_str());
}

/// The 33 fields of OT 51/52/53 with the given ones (numbered from 1) set.
inline std::vector<std::string> Fields33(const std::map<int, std::string>& Set) {
  std::vector<std::string> f(33);
  for (const auto& [n, v] : Set)
    f.at(static_cast<size_t>(n - 1)) = v;
  return f;
}

/// The fields of a frame (between the header and the checksum).
inline std::vector<std::string> FieldsOf(const std::string& Frame) {
  std::vector<std::string> out;
  if (Frame.size() < 18)
    return out;
  std::string body = Frame.substr(15, Frame.size() - 15 - 3);
  size_t start = 0;
  for (size_t i = 0; i < body.size(); ++i)
    if (body[i] == '/') {
      out.push_back(body.substr(start, i - start));
      start = i + 1;
    }
  return out;
}

/// True when Bytes starts with at least one whole frame (by its LEN).
inline bool HasFrame(const std::string& Bytes) {
  if (Bytes.size() < 10)
    return false;
  return Bytes.size() >= std::stoul(Bytes.substr(4, 5)) + 2;
}

/// Number of whole frames at the front of Bytes.
inline int CountFrames(std::string Bytes) {
  int n = 0;
  while (HasFrame(Bytes)) {
    Bytes.erase(0, std::stoul(Bytes.substr(4, 5)) + 2);
    ++n;
  }
  return n;
}

} // namespace garvel::ucp::test
