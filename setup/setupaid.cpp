// setupaid: counts the top-level X11 windows of one class and lists their
// titles. XCB rather than Xlib: a window that vanishes during the walk turns
// into an error reply to handle, where Xlib's default handler ends the process.
#include "setupaid.h"
#include "VersionNote.h"

#include <xcb/xcb.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

GARVEL_VERSION_NOTE("FileDescription=Inno Setup Utility functions library\0"
                    "FileVersion=1.0 Build 1\0"
                    "ProductVersion=1.0 Build 1\0"
                    "ProductName=setupaid\0"
                    "InternalName=setupaid\0"
                    "CompanyName=The Garvel developers\0"
                    "LegalCopyright=Copyright (C) The Garvel developers\0"
                    "FixedFileVersion=1.0.0.1\0"
                    "FixedProductVersion=1.0.0.1\0"
                    "Translation=0415 04B0");

namespace {

struct TFree {
  void operator()(void* p) const { std::free(p); }
};
template <class T> using TReply = std::unique_ptr<T, TFree>;

// Frames of reparenting window managers hold their client a level or two
// down; the bound only stops a pathological tree from costing unbounded
// round trips.
constexpr int kMaxClientDepth = 6;
// Upper bound, in bytes, on the part of WM_CLASS read beyond the class name
// looked for (the instance name comes first).
constexpr uint32_t kClassSlack = 64 * 1024;
// Read this much of a title beyond what the buffer can take, so that a cut
// in the middle of a character or of an escape sequence stays invisible.
constexpr uint32_t kTitleSlack = 64 * 1024;

struct TConnection {
  xcb_connection_t* C;
  explicit TConnection(xcb_connection_t* c) : C(c) {}
  ~TConnection() { xcb_disconnect(C); }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;
};

struct TAtoms {
  xcb_atom_t WmState = XCB_ATOM_NONE;
  xcb_atom_t NetWmName = XCB_ATOM_NONE;
  xcb_atom_t Utf8String = XCB_ATOM_NONE;
  xcb_atom_t CompoundText = XCB_ATOM_NONE;
};

TAtoms InternAtoms(xcb_connection_t* c) {
  static const char* const names[] = {"WM_STATE", "_NET_WM_NAME", "UTF8_STRING", "COMPOUND_TEXT"};
  xcb_intern_atom_cookie_t cookies[4];
  for (int i = 0; i < 4; ++i)
    cookies[i] = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
  xcb_atom_t atoms[4];
  for (int i = 0; i < 4; ++i) {
    TReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(c, cookies[i], nullptr));
    atoms[i] = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  return {atoms[0], atoms[1], atoms[2], atoms[3]};
}

// Replies of a window that has gone away come back as errors; both are freed
// and read as "no such property".
TReply<xcb_get_property_reply_t> PropertyReply(xcb_connection_t* c, xcb_get_property_cookie_t k) {
  xcb_generic_error_t* error = nullptr;
  TReply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, k, &error));
  std::free(error);
  if (r && r->type == XCB_ATOM_NONE)
    r.reset();
  return r;
}

std::vector<xcb_window_t> Children(xcb_connection_t* c, xcb_query_tree_cookie_t k) {
  xcb_generic_error_t* error = nullptr;
  TReply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c, k, &error));
  std::free(error);
  if (!r)
    return {};
  const xcb_window_t* w = xcb_query_tree_children(r.get());
  return std::vector<xcb_window_t>(w, w + xcb_query_tree_children_length(r.get()));
}

// The top-level windows of every screen, top of the stacking order first,
// each replaced by its client window when it is a window manager's frame:
// itself if it carries WM_STATE, else the first descendant that does
// (breadth first), else itself. Requests are pipelined one tree level at a
// time across all windows.
std::vector<xcb_window_t> TopLevelClients(xcb_connection_t* c, const TAtoms& atoms) {
  std::vector<xcb_window_t> tops;
  std::vector<xcb_query_tree_cookie_t> rootCookies;
  for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it))
    rootCookies.push_back(xcb_query_tree(c, it.data->root));
  for (auto k : rootCookies) {
    std::vector<xcb_window_t> children = Children(c, k); // bottom first
    tops.insert(tops.end(), children.rbegin(), children.rend());
  }

  std::vector<xcb_window_t> clients(tops);
  if (atoms.WmState == XCB_ATOM_NONE)
    return clients;
  struct TCandidate {
    size_t Top;
    xcb_window_t Window;
  };
  std::vector<TCandidate> level;
  for (size_t i = 0; i < tops.size(); ++i)
    level.push_back({i, tops[i]});
  std::vector<bool> resolved(tops.size(), false);
  for (int depth = 0; depth <= kMaxClientDepth && !level.empty(); ++depth) {
    std::vector<xcb_get_property_cookie_t> states;
    for (const TCandidate& w : level)
      states.push_back(xcb_get_property(c, 0, w.Window, atoms.WmState, XCB_ATOM_ANY, 0, 0));
    for (size_t i = 0; i < level.size(); ++i) {
      if (PropertyReply(c, states[i]) && !resolved[level[i].Top]) {
        resolved[level[i].Top] = true;
        clients[level[i].Top] = level[i].Window;
      }
    }
    if (depth == kMaxClientDepth)
      break;
    std::vector<TCandidate> parents;
    std::vector<xcb_query_tree_cookie_t> trees;
    for (const TCandidate& w : level) {
      if (!resolved[w.Top]) {
        parents.push_back(w);
        trees.push_back(xcb_query_tree(c, w.Window));
      }
    }
    level.clear();
    for (size_t i = 0; i < parents.size(); ++i) {
      std::vector<xcb_window_t> children = Children(c, trees[i]);
      for (auto w = children.rbegin(); w != children.rend(); ++w)
        level.push_back({parents[i].Top, *w});
    }
  }
  return clients;
}

bool SameClass(const char* a, size_t aSize, const char* b, size_t bSize) {
  if (aSize != bSize)
    return false;
  for (size_t i = 0; i < aSize; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z')
      x = static_cast<unsigned char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z')
      y = static_cast<unsigned char>(y - 'a' + 'A');
    if (x != y)
      return false;
  }
  return true;
}

// WM_CLASS holds "instance\0class\0"; the class is the second string.
bool HasClass(const xcb_get_property_reply_t* r, const char* name, size_t nameSize) {
  if (r->format != 8)
    return false;
  const char* data = static_cast<const char*>(xcb_get_property_value(r));
  size_t size = static_cast<size_t>(xcb_get_property_value_length(r));
  const char* instanceEnd = static_cast<const char*>(std::memchr(data, 0, size));
  if (!instanceEnd)
    return false;
  const char* cls = instanceEnd + 1;
  size_t rest = size - static_cast<size_t>(cls - data);
  const char* clsEnd = static_cast<const char*>(std::memchr(cls, 0, rest));
  if (!clsEnd) {
    // The terminator may be missing at the end of the property; a class
    // cut by the read limit is longer than the name and cannot match.
    if (r->bytes_after != 0)
      return false;
    clsEnd = cls + rest;
  }
  return SameClass(cls, static_cast<size_t>(clsEnd - cls), name, nameSize);
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the well-formed UTF-8 sequence at s[0..n), 0 if there is none.
size_t Utf8SequenceLength(const unsigned char* s, size_t n) {
  unsigned char b = s[0];
  size_t len;
  uint32_t cp;
  if (b < 0x80)
    return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (n < len)
    return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80)
      return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return len;
}

// Copies UTF-8 text, each byte that is not part of a well-formed sequence
// replaced by '?', so that later cuts at character boundaries are sound.
void AppendValidUtf8(std::string& out, const unsigned char* s, size_t n) {
  for (size_t i = 0; i < n;) {
    size_t len = Utf8SequenceLength(s + i, n - i);
    if (len == 0) {
      out += '?';
      ++i;
    } else {
      out.append(reinterpret_cast<const char*>(s + i), len);
      i += len;
    }
  }
}

// COMPOUND_TEXT starts in ISO 8859-1 and switches character sets with escape
// sequences. Latin-1 stretches are converted; text in any other set is
// shown as one '?' per byte, since converting every ISO 2022 set would need
// a conversion library for a case modern clients avoid by setting
// _NET_WM_NAME.
void AppendCompoundText(std::string& out, const unsigned char* s, size_t n) {
  bool glLatin = true; // left half (0x20-0x7F): ASCII
  bool grLatin = true; // right half (0xA0-0xFF): Latin-1 upper half
  for (size_t i = 0; i < n;) {
    unsigned char b = s[i];
    if (b == 0x1B) { // ESC, intermediates 0x20-0x2F, final 0x30-0x7E
      size_t j = i + 1;
      while (j < n && s[j] >= 0x20 && s[j] <= 0x2F)
        ++j;
      if (j < n) {
        std::string seq(reinterpret_cast<const char*>(s + i + 1), j - i - 1);
        seq += static_cast<char>(s[j]);
        if (seq == "(B")
          glLatin = true;
        else if (seq == "-A")
          grLatin = true;
        else if (!seq.empty() && (seq[0] == '(' || seq[0] == '$'))
          glLatin = seq == "(B";
        else if (!seq.empty() && (seq[0] == '-' || seq[0] == ')'))
          grLatin = false;
      }
      i = j + 1;
      continue;
    }
    if (b == 0x9B) { // CSI: direction or other control sequence
      size_t j = i + 1;
      while (j < n && s[j] >= 0x20 && s[j] <= 0x3F)
        ++j;
      i = j + 1;
      continue;
    }
    bool latin = b < 0x80 ? glLatin : grLatin;
    if (b < 0x20 || (b >= 0x80 && b < 0xA0) || latin)
      AppendUtf8(out, b);
    else
      out += '?';
    ++i;
  }
}

struct TTitle {
  std::string Text; // UTF-8
  bool Cut = false; // the property is longer than what was read
};

TTitle DecodeTitle(const xcb_get_property_reply_t* r, const TAtoms& atoms) {
  TTitle t;
  if (r->format != 8)
    return t;
  const auto* data = static_cast<const unsigned char*>(xcb_get_property_value(r));
  size_t size = static_cast<size_t>(xcb_get_property_value_length(r));
  // Text properties may hold several zero-separated strings; the title is
  // the first.
  if (const void* nul = std::memchr(data, 0, size))
    size = static_cast<size_t>(static_cast<const unsigned char*>(nul) - data);
  else
    t.Cut = r->bytes_after != 0;
  if (r->type == atoms.Utf8String)
    AppendValidUtf8(t.Text, data, size);
  else if (r->type == atoms.CompoundText)
    AppendCompoundText(t.Text, data, size);
  else
    for (size_t i = 0; i < size; ++i) // STRING: ISO 8859-1
      AppendUtf8(t.Text, data[i]);
  // The caller splits the list at carriage returns.
  for (char& ch : t.Text)
    if (ch == '\r' || ch == '\n')
      ch = ' ';
  return t;
}

// Longest prefix of s no longer than limit that ends on a character
// boundary (s is well-formed UTF-8).
size_t Utf8Prefix(const std::string& s, size_t limit) {
  if (limit >= s.size())
    return s.size();
  size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
    --n;
  return n;
}

// Lays the titles out in the caller's buffer. Len bytes are used; the byte at
// Len is always zero once a window has matched.
void StoreTitles(char* buffer, size_t size, const std::vector<TTitle>& titles) {
  size_t len = 0;
  for (const TTitle& t : titles) {
    buffer[len] = '\0';
    if (t.Text.empty() && !t.Cut)
      continue;
    size_t room = size - len - 1; // bytes for text, before the zero byte
    size_t n = Utf8Prefix(t.Text, room);
    std::memcpy(buffer + len, t.Text.data(), n);
    buffer[len + n] = '\0';
    if (t.Cut || n < t.Text.size())
      return; // a cut title ends the list: what follows would join it
    len += n;
    if (len + 2 >= size)
      return; // no room for the carriage return and a byte after it
    buffer[len] = '\r';
    buffer[len + 1] = '\0';
    ++len;
  }
}

// libxcb writes with writev(): a server that goes away during the call would
// raise SIGPIPE, whose default action ends the installer. The signal stays
// blocked on the calling thread for the call, and one the call raised is
// consumed before the old mask comes back.
class TSigPipeBlock {
public:
  TSigPipeBlock() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &FPipe, &FOld);
    sigset_t pending;
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
  }
  ~TSigPipeBlock() {
    sigset_t pending;
    sigpending(&pending);
    if (!FWasPending && sigismember(&pending, SIGPIPE) == 1) {
      timespec zero{};
      sigtimedwait(&FPipe, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
  }
  TSigPipeBlock(const TSigPipeBlock&) = delete;
  TSigPipeBlock& operator=(const TSigPipeBlock&) = delete;

private:
  sigset_t FPipe, FOld;
  bool FWasPending;
};

int32_t Walk(char* buffer, int32_t bufferSize, const char* className) {
  TSigPipeBlock noSigPipe;
  int screen = 0;
  TConnection conn(xcb_connect(nullptr, &screen));
  xcb_connection_t* c = conn.C;
  if (xcb_connection_has_error(c))
    return -1;
  const TAtoms atoms = InternAtoms(c);
  const std::vector<xcb_window_t> windows = TopLevelClients(c, atoms);

  const size_t nameSize = std::strlen(className);
  const uint32_t classUnits =
      static_cast<uint32_t>(std::min<size_t>(nameSize, 1u << 20) + kClassSlack) / 4 + 1;
  std::vector<xcb_get_property_cookie_t> classes;
  for (xcb_window_t w : windows)
    classes.push_back(xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, classUnits));
  std::vector<xcb_window_t> matches;
  for (size_t i = 0; i < windows.size(); ++i) {
    TReply<xcb_get_property_reply_t> r = PropertyReply(c, classes[i]);
    if (r && HasClass(r.get(), className, nameSize))
      matches.push_back(windows[i]);
  }

  const bool store = buffer != nullptr && bufferSize > 0 && !matches.empty();
  std::vector<TTitle> titles;
  if (store) {
    const uint32_t titleUnits = (static_cast<uint32_t>(bufferSize) + kTitleSlack) / 4 + 1;
    std::vector<xcb_get_property_cookie_t> netNames, names;
    for (xcb_window_t w : matches) {
      netNames.push_back(
          xcb_get_property(c, 0, w, atoms.NetWmName, atoms.Utf8String, 0, titleUnits));
      names.push_back(xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, titleUnits));
    }
    for (size_t i = 0; i < matches.size(); ++i) {
      TReply<xcb_get_property_reply_t> net =
          atoms.NetWmName != XCB_ATOM_NONE ? PropertyReply(c, netNames[i]) : nullptr;
      TReply<xcb_get_property_reply_t> name = PropertyReply(c, names[i]);
      if (net && net->type == atoms.Utf8String)
        titles.push_back(DecodeTitle(net.get(), atoms));
      else if (name)
        titles.push_back(DecodeTitle(name.get(), atoms));
      else
        titles.emplace_back();
    }
  }

  // A connection broken half-way has not seen every window: "could not
  // check", not a count.
  if (xcb_connection_has_error(c))
    return -1;
  if (store)
    StoreTitles(buffer, static_cast<size_t>(bufferSize), titles);
  return matches.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(matches.size());
}

} // namespace

extern "C" int32_t GetTitlesByClassName(char* Buffer, int32_t BufferSize, const char* ClassName) {
  if (ClassName == nullptr)
    return 0;
  try {
    return Walk(Buffer, BufferSize, ClassName);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}
