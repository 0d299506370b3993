// Real X input for the GUI tests.
#include "XTestDriver.h"

#include "SysUtils.h"

#include <FL/Fl.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <stdexcept>

namespace garvel::testing {

TXTestDriver::TXTestDriver() {
  FDisplay = XOpenDisplay(nullptr);
  if (!FDisplay)
    throw std::runtime_error("no X display (is DISPLAY set? run the GUI tests under Xvfb)");
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(FDisplay, &event, &error, &major, &minor)) {
    XCloseDisplay(FDisplay);
    throw std::runtime_error("the X server has no XTest extension");
  }
  // A key code without any symbol serves to type characters no key has.
  int minCode = 0, maxCode = 0, perCode = 0;
  XDisplayKeycodes(FDisplay, &minCode, &maxCode);
  KeySym* map =
      XGetKeyboardMapping(FDisplay, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode);
  for (int code = maxCode; code >= minCode && !FSpareCode; --code) {
    bool empty = true;
    for (int i = 0; i < perCode; ++i)
      if (map[(code - minCode) * perCode + i] != NoSymbol)
        empty = false;
    if (empty)
      FSpareCode = static_cast<unsigned>(code);
  }
  XFree(map);
  FShiftCode = XKeysymToKeycode(FDisplay, XK_Shift_L);
  if (!FSpareCode || !FShiftCode) {
    XCloseDisplay(FDisplay);
    throw std::runtime_error("the X server's keyboard has no spare key code");
  }
}

TXTestDriver::~TXTestDriver() {
  KeySym none = NoSymbol;
  XChangeKeyboardMapping(FDisplay, static_cast<int>(FSpareCode), 1, &none, 1);
  XCloseDisplay(FDisplay);
}

void TXTestDriver::Click(const Fl_Widget& Widget) {
  ClickAt(Widget, Widget.w() / 2, Widget.h() / 2);
}

void TXTestDriver::ClickAt(const Fl_Widget& Widget, int DX, int DY) {
  const Fl_Window* top = Widget.top_window();
  int x = Widget.x() + DX, y = Widget.y() + DY;
  if (top != &Widget) {
    x += top->x_root();
    y += top->y_root();
  } else {
    x = top->x_root() + DX;
    y = top->y_root() + DY;
  }
  XTestFakeMotionEvent(FDisplay, -1, x, y, CurrentTime);
  XTestFakeButtonEvent(FDisplay, 1, True, CurrentTime);
  XTestFakeButtonEvent(FDisplay, 1, False, CurrentTime);
  XSync(FDisplay, False);
}

bool TXTestDriver::WaitViewable(Fl_Window& Window, int TimeoutMs) {
  Window.wait_for_expose();
  return WaitFor(
      [&] {
        XWindowAttributes attributes;
        return Window.shown() && XGetWindowAttributes(FDisplay, fl_xid(&Window), &attributes) &&
               attributes.map_state == IsViewable;
      },
      TimeoutMs);
}

void TXTestDriver::Focus(const Fl_Window& Window) {
  XSetInputFocus(FDisplay, fl_xid(&Window), RevertToPointerRoot, CurrentTime);
  XSync(FDisplay, False);
}

std::string TXTestDriver::WindowClass(const Fl_Window& Window) {
  XClassHint hint;
  if (!XGetClassHint(FDisplay, fl_xid(&Window), &hint))
    return {};
  std::string result = hint.res_class ? hint.res_class : "";
  XFree(hint.res_name);
  XFree(hint.res_class);
  return result;
}

void TXTestDriver::Stroke(unsigned Code, bool Shift) {
  if (Shift)
    XTestFakeKeyEvent(FDisplay, FShiftCode, True, CurrentTime);
  XTestFakeKeyEvent(FDisplay, Code, True, CurrentTime);
  XTestFakeKeyEvent(FDisplay, Code, False, CurrentTime);
  if (Shift)
    XTestFakeKeyEvent(FDisplay, FShiftCode, False, CurrentTime);
  XSync(FDisplay, False);
}

void TXTestDriver::Key(unsigned long Sym, bool Shift) {
  const KeyCode code = XKeysymToKeycode(FDisplay, Sym);
  if (!code)
    throw std::runtime_error("no key for key symbol " + std::to_string(Sym));
  Stroke(code, Shift);
}

void TXTestDriver::TypeChar(char32_t CodePoint) {
  // Latin-1 characters have their own key symbols, the rest 0x01000000 + code.
  KeySym sym = CodePoint == U'\n'  ? XK_Return
               : CodePoint < 0x100 ? static_cast<KeySym>(CodePoint)
                                   : 0x01000000UL | CodePoint;
  KeySym syms[2] = {sym, sym};
  XChangeKeyboardMapping(FDisplay, static_cast<int>(FSpareCode), 2, syms, 1);
  XSync(FDisplay, False);
  Stroke(FSpareCode, false);
}

bool WaitFor(const std::function<bool()>& Pred, int TimeoutMs) {
  const int64_t deadline = GetTickCount64() + TimeoutMs;
  while (!Pred()) {
    if (GetTickCount64() >= deadline)
      return Pred();
    Fl::wait(0.02);
  }
  return true;
}

void Pump(int Ms) {
  WaitFor([] { return false; }, Ms);
}

bool TypeText(TXTestDriver& Driver, Fl_Input_& Input, const std::u32string& Text) {
  for (char32_t c : Text) {
    const int before = Input.size();
    Driver.TypeChar(c);
    if (!WaitFor([&] { return Input.size() > before; }))
      return false;
  }
  return true;
}

} // namespace garvel::testing
