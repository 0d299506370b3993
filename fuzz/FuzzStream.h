// Feeds fuzz input to a message class's framing as the relay's receive
// thread does: through a real stream socket, read with the platform client.
#pragma once

#include "xcGarvel.h"

#include <cstddef>
#include <cstdint>
#include <functional>

#include <sys/socket.h>
#include <unistd.h>

namespace garvel::fuzz {

/// Writes Data into one end of a stream socket pair, closes that end, and
/// frames the other end with Message's ReadMessage until the stream ends,
/// cannot be framed, or a pass makes no progress. Each framed message goes
/// to Handle. Returns false when framing stalled: a false from ReadMessage
/// that neither consumed bytes nor waited for new ones (the receive thread
/// would spin on it).
inline bool FrameAll(const uint8_t* Data, size_t Size, TxcSMSCMessage& Message,
                     const std::function<void(TxcSMSCMessage&)>& Handle) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    return true;
  int big = 1 << 20;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  size_t off = 0;
  while (off < Size) {
    ssize_t n = write(fds[0], Data + off, Size - off);
    if (n <= 0)
      break;
    off += static_cast<size_t>(n);
  }
  close(fds[0]);
  TxcTcpClient client;
  client.Adopt(fds[1]);
  bool progress = true;
  for (int pass = 0; pass < 1 << 20; ++pass) {
    if (client.WaitForData(0) != wdReadable)
      break;
    size_t before = client.Buffered();
    bool framed;
    try {
      framed = Message.ReadMessage(client);
    } catch (const EFramingError&) {
      break; // the relay ends the session here
    }
    if (framed) {
      Handle(Message);
      continue;
    }
    // Not framed: it must have consumed something, or be waiting for bytes
    // that are not there (then the next wait reports the end).
    if (client.Buffered() == before && client.WaitForData(0) == wdReadable &&
        client.Buffered() == before) {
      progress = false;
      break;
    }
  }
  client.Close();
  return progress;
}

} // namespace garvel::fuzz
