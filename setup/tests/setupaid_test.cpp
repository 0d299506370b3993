// GetTitlesByClassName against real windows on the test's X server.
#include "setupaid.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr unsigned char kGuard = 0xA5;

// A client of its own that creates windows; they go when it disconnects.
class TWindows {
public:
  TWindows() : C(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(C))
      ADD_FAILURE() << "cannot connect to the X server at DISPLAY=" << getenv("DISPLAY");
    Screen = xcb_setup_roots_iterator(xcb_get_setup(C)).data;
    Utf8 = Atom("UTF8_STRING");
    NetWmName = Atom("_NET_WM_NAME");
    WmState = Atom("WM_STATE");
  }
  ~TWindows() { xcb_disconnect(C); }

  xcb_atom_t Atom(const char* name) {
    auto* r = xcb_intern_atom_reply(
        C, xcb_intern_atom(C, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
    xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(r);
    return a;
  }

  struct TTitle {
    std::string NetWmName; // _NET_WM_NAME, set when not empty
    std::string WmName;    // WM_NAME, set when not empty
    xcb_atom_t WmNameType = XCB_ATOM_STRING;
  };

  // A mapped top-level window of class cls; later windows stack above.
  xcb_window_t Create(const std::string& cls, const TTitle& title, bool map = true) {
    xcb_window_t w = xcb_generate_id(C);
    xcb_create_window(C, XCB_COPY_FROM_PARENT, w, Screen->root, 10, 10, 120, 80, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, Screen->root_visual, 0, nullptr);
    std::string wmClass = "instance";
    wmClass += '\0';
    wmClass += cls;
    wmClass += '\0';
    Set(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass);
    if (!title.NetWmName.empty())
      Set(w, NetWmName, Utf8, title.NetWmName);
    if (!title.WmName.empty())
      Set(w, XCB_ATOM_WM_NAME, title.WmNameType, title.WmName);
    if (map)
      xcb_map_window(C, w);
    Sync();
    return w;
  }
  xcb_window_t Create(const std::string& cls, const std::string& title, bool map = true) {
    return Create(cls, TTitle{title, title}, map);
  }

  void Set(xcb_window_t w, xcb_atom_t property, xcb_atom_t type, const std::string& value) {
    xcb_change_property(C, XCB_PROP_MODE_REPLACE, w, property, type, 8,
                        static_cast<uint32_t>(value.size()), value.data());
  }
  void Destroy(xcb_window_t w) {
    xcb_destroy_window(C, w);
    Sync();
  }
  // Returns once the server has handled every request sent so far.
  void Sync() { free(xcb_get_input_focus_reply(C, xcb_get_input_focus(C), nullptr)); }

  xcb_window_t Parent(xcb_window_t w) {
    auto* r = xcb_query_tree_reply(C, xcb_query_tree(C, w), nullptr);
    xcb_window_t p = r ? r->parent : xcb_window_t{XCB_WINDOW_NONE};
    free(r);
    return p;
  }
  bool HasWmState(xcb_window_t w) {
    auto* r =
        xcb_get_property_reply(C, xcb_get_property(C, 0, w, WmState, XCB_ATOM_ANY, 0, 0), nullptr);
    bool has = r && r->type != XCB_ATOM_NONE;
    free(r);
    return has;
  }

  xcb_connection_t* C;
  xcb_screen_t* Screen;
  xcb_atom_t Utf8, NetWmName, WmState;
};

// A buffer of Size bytes with guard bytes on both sides, all set to kGuard.
struct TGuardedBuffer {
  explicit TGuardedBuffer(int32_t size)
      : Size(size), Bytes(static_cast<size_t>(size) + 64, kGuard) {}
  char* Data() { return reinterpret_cast<char*>(Bytes.data()) + 32; }
  // The stored list; "<no zero byte>" when the buffer holds no terminator.
  std::string Str() const {
    const char* p = reinterpret_cast<const char*>(Bytes.data()) + 32;
    size_t n = strnlen(p, static_cast<size_t>(std::max(Size, 0)));
    return n < static_cast<size_t>(std::max(Size, 0)) ? std::string(p, n) : "<no zero byte>";
  }
  unsigned char At(size_t i) const { return Bytes[32 + i]; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < 32; ++i)
      if (Bytes[i] != kGuard || Bytes[Bytes.size() - 1 - i] != kGuard)
        return false;
    return true;
  }
  bool Untouched() const {
    for (unsigned char b : Bytes)
      if (b != kGuard)
        return false;
    return true;
  }
  int32_t Size;
  std::vector<unsigned char> Bytes;
};

int32_t Call(TGuardedBuffer& b, const std::string& cls) {
  return GetTitlesByClassName(b.Data(), b.Size, cls.c_str());
}

std::string Big(int32_t n, const std::string& cls) {
  TGuardedBuffer b(4096);
  int32_t count = Call(b, cls);
  EXPECT_EQ(count, n);
  if (count == 0) {
    EXPECT_TRUE(b.Untouched());
    return "";
  }
  EXPECT_TRUE(b.GuardsIntact());
  return b.Str();
}

TEST(SetupAid, CountsAndListsTheClassTopFirst) {
  TWindows x;
  x.Create("TfmMain", "first");
  x.Create("TfmMainOther", "other class");
  x.Create("TfmMain", TWindows::TTitle{}); // counted, not stored
  x.Create("TFMMAIN", "upper case");
  x.Create("TfmMain", "last");
  x.Create("TfmMain", "unmapped", false);
  EXPECT_EQ(Big(5, "TfmMain"), "unmapped\rlast\rupper case\rfirst\r");
  EXPECT_EQ(Big(5, "tfmmain"), "unmapped\rlast\rupper case\rfirst\r");
  EXPECT_EQ(Big(1, "TfmMainOther"), "other class\r");
  EXPECT_EQ(Big(0, "TfmMai"), "");
  EXPECT_EQ(Big(0, "instance"), ""); // the instance part is not the class
}

TEST(SetupAid, TitlesAreUtf8) {
  TWindows x;
  x.Create("Utf8Titles", TWindows::TTitle{"Grüße €", "fallback"});
  x.Create("Utf8Titles", TWindows::TTitle{"", "Gr\xFC\xDF"
                                              "e"}); // WM_NAME in Latin-1
  x.Create("Utf8Titles", TWindows::TTitle{"", "caf\xC3\xA9", x.Utf8});
  x.Create("Utf8Titles",
           TWindows::TTitle{"", "\x1B-A\xE9t\xE9\x1B-F\xE1", x.Atom("COMPOUND_TEXT")});
  x.Create("Utf8Titles", TWindows::TTitle{"line\rbreak\nhere", ""});
  x.Create("Utf8Titles", TWindows::TTitle{"bad \xFF\xC3", ""});
  EXPECT_EQ(Big(6, "Utf8Titles"),
            "bad ??\rline break here\r\xC3\xA9t\xC3\xA9?\rcaf\xC3\xA9\rGr\xC3\xBC\xC3\x9F"
            "e\rGr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC\r");
}

TEST(SetupAid, ClassNameIsComparedInFull) {
  TWindows x;
  std::string cls;
  for (int i = 0; i < 200; ++i)
    cls += static_cast<char>('a' + i % 26);
  x.Create(cls, "long");
  EXPECT_EQ(Big(1, cls), "long\r");
  std::string upper = cls;
  for (char& ch : upper)
    ch = static_cast<char>(ch - 'a' + 'A');
  EXPECT_EQ(Big(1, upper), "long\r");
  EXPECT_EQ(Big(0, cls.substr(0, 127)), "");
  EXPECT_EQ(Big(0, cls.substr(0, 199)), "");
  EXPECT_EQ(Big(0, cls + "a"), "");
}

TEST(SetupAid, FillsSmallBuffersWithoutGluingTitles) {
  TWindows x;
  x.Create("SmallBuffers", "gh");
  x.Create("SmallBuffers", "abcdef"); // on top: listed first
  struct TCase {
    int32_t Size;
    std::string Stored;
    size_t Written; // bytes from the start that may change
  };
  const TCase cases[] = {
      {1, "", 1},
      {4, "abc", 4},            // cut, no carriage return, nothing after
      {7, "abcdef", 7},         // the title and its zero byte
      {8, "abcdef", 7},         // two bytes left: no CR, and "g" is not glued on
      {9, "abcdef\rg", 9},      // CR, then the next title cut
      {11, "abcdef\rgh", 10},   // the last title fits, its CR does not
      {12, "abcdef\rgh\r", 11}, // everything
      {100, "abcdef\rgh\r", 11},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE("BufferSize " + std::to_string(c.Size));
    TGuardedBuffer b(c.Size);
    EXPECT_EQ(Call(b, "SmallBuffers"), 2);
    EXPECT_EQ(b.Str(), c.Stored);
    EXPECT_TRUE(b.GuardsIntact());
    for (size_t i = c.Written; i < static_cast<size_t>(c.Size); ++i)
      EXPECT_EQ(b.At(i), kGuard) << "byte " << i << " written";
  }
}

TEST(SetupAid, CutsTitlesAtCharacterBoundaries) {
  TWindows x;
  x.Create("Utf8Cut", "a\xC3\xA9\xE2\x82\xAC"); // a, e acute, euro: 1 + 2 + 3 bytes
  const std::pair<int32_t, std::string> cases[] = {
      {2, "a"},
      {3, "a"},
      {4, "a\xC3\xA9"},
      {6, "a\xC3\xA9"},
      {7, "a\xC3\xA9\xE2\x82\xAC"},
      {9, "a\xC3\xA9\xE2\x82\xAC\r"},
  };
  for (const auto& [size, stored] : cases) {
    SCOPED_TRACE("BufferSize " + std::to_string(size));
    TGuardedBuffer b(size);
    EXPECT_EQ(Call(b, "Utf8Cut"), 1);
    EXPECT_EQ(b.Str(), stored);
    EXPECT_TRUE(b.GuardsIntact());
  }
}

TEST(SetupAid, WritesNothingWithoutAMatchOrABuffer) {
  TWindows x;
  x.Create("Present", "title");
  TGuardedBuffer none(64);
  EXPECT_EQ(Call(none, "Absent"), 0);
  EXPECT_TRUE(none.Untouched());

  for (int32_t size : {0, -1, INT32_MIN}) {
    TGuardedBuffer b(0);
    EXPECT_EQ(GetTitlesByClassName(b.Data(), size, "Present"), 1);
    EXPECT_TRUE(b.Untouched());
  }
  EXPECT_EQ(GetTitlesByClassName(nullptr, 64, "Present"), 1);
  TGuardedBuffer b(64);
  EXPECT_EQ(GetTitlesByClassName(b.Data(), b.Size, nullptr), 0);
  EXPECT_TRUE(b.Untouched());
}

// Open descriptors of this process.
size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d))
      ++n;
    closedir(d);
  }
  return n;
}

TEST(SetupAid, RepeatedCallsLeakNoDescriptor) {
  TWindows x;
  x.Create("Repeated", "one");
  const size_t before = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    TGuardedBuffer b(32);
    ASSERT_EQ(Call(b, "Repeated"), 1) << "call " << i;
    ASSERT_EQ(b.Str(), "one\r");
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SetupAid, WindowsComingAndGoingDuringTheWalk) {
  TWindows stable;
  stable.Create("Churn", "stable");
  std::atomic<bool> stop{false};
  std::atomic<int> cycles{0};
  // Another client creates and destroys windows of the class and others
  // (each with a child, so that the search for client windows descends)
  // for as long as the calls go on.
  std::thread churn([&] {
    TWindows other;
    while (!stop) {
      std::vector<xcb_window_t> made;
      for (int i = 0; i < 8; ++i) {
        xcb_window_t w = other.Create(i % 2 ? "Churn" : "Noise", "churn");
        xcb_window_t child = xcb_generate_id(other.C);
        xcb_create_window(other.C, XCB_COPY_FROM_PARENT, child, w, 0, 0, 5, 5, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, other.Screen->root_visual, 0, nullptr);
        made.push_back(w);
      }
      for (xcb_window_t w : made)
        xcb_destroy_window(other.C, w);
      other.Sync();
      ++cycles;
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int calls = 0;
  while ((calls < 300 || cycles < 20) && std::chrono::steady_clock::now() < deadline) {
    TGuardedBuffer b(4096);
    int32_t n = Call(b, "Churn");
    ASSERT_GE(n, 1);
    ASSERT_LE(n, 5);
    ASSERT_TRUE(b.GuardsIntact());
    // Every stored title is whole: "stable" once, then some "churn".
    std::string s = b.Str();
    ASSERT_EQ(s.back(), '\r');
    size_t stableAt = s.find("stable\r");
    ASSERT_NE(stableAt, std::string::npos) << s;
    s.erase(stableAt, 7);
    for (size_t at = 0; at < s.size(); at += 6)
      ASSERT_EQ(s.substr(at, 6), "churn\r") << b.Str();
    ++calls;
  }
  stop = true;
  churn.join();
  EXPECT_GE(calls, 300);
  EXPECT_GE(cycles.load(), 20);
}

TEST(SetupAid, WithoutADisplayReportsMinusOne) {
  TWindows x;
  x.Create("NoDisplay", "title");
  const std::string saved = getenv("DISPLAY");
  int free = 1000;
  while (access(("/tmp/.X11-unix/X" + std::to_string(free)).c_str(), F_OK) == 0)
    ++free;
  for (const char* display : std::initializer_list<const char*>{"", ":none", nullptr}) {
    std::string name = display ? display : "(unset)";
    if (display && *display == ':')
      name = ":" + std::to_string(free);
    SCOPED_TRACE("DISPLAY=" + name);
    if (display)
      setenv("DISPLAY", name.c_str(), 1);
    else
      unsetenv("DISPLAY");
    TGuardedBuffer b(64);
    EXPECT_EQ(Call(b, "NoDisplay"), -1);
    EXPECT_TRUE(b.Untouched());
  }
  setenv("DISPLAY", saved.c_str(), 1);
  TGuardedBuffer b(64);
  EXPECT_EQ(Call(b, "NoDisplay"), 1);
}

TEST(SetupAid, ListsClientsNotFramesUnderWindowManager) {
  TWindows x;
  std::vector<xcb_window_t> clients = {x.Create("Framed", "one"), x.Create("Framed", "two"),
                                       x.Create("Other", "other"), x.Create("Framed", "three")};
  // The window manager frames each mapped client and sets its WM_STATE.
  // A window mapped while the window manager was still starting may have
  // slipped past it: such a window is mapped again, which asks it afresh.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  for (xcb_window_t w : clients) {
    auto remapAt = std::chrono::steady_clock::now() + 1s;
    while (!(x.HasWmState(w) && x.Parent(w) != x.Screen->root) &&
           std::chrono::steady_clock::now() < deadline) {
      if (std::chrono::steady_clock::now() > remapAt) {
        xcb_unmap_window(x.C, w);
        xcb_map_window(x.C, w);
        x.Sync();
        remapAt = std::chrono::steady_clock::now() + 1s;
      }
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(x.Parent(w), x.Screen->root) << "no reparenting window manager runs";
    ASSERT_TRUE(x.HasWmState(w));
  }
  // A window left unmapped stays a child of the root, unframed.
  x.Create("Framed", "hidden", false);
  TGuardedBuffer b(4096);
  EXPECT_EQ(Call(b, "Framed"), 4);
  // Stacking order is the window manager's; each title appears once.
  std::multiset<std::string> titles;
  std::string s = b.Str();
  for (size_t at = 0, cr; (cr = s.find('\r', at)) != std::string::npos; at = cr + 1)
    titles.insert(s.substr(at, cr - at));
  EXPECT_EQ(titles, (std::multiset<std::string>{"hidden", "one", "three", "two"})) << s;
  EXPECT_EQ(Call(b, "Other"), 1);
}

} // namespace
