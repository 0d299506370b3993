// Real X input for the GUI tests: pointer clicks and key strokes sent
// through the XTest extension to the X server the widgets live on.
#pragma once

#include <FL/Fl_Input_.H>
#include <FL/Fl_Widget.H>
#include <FL/Fl_Window.H>

#include <functional>
#include <string>

struct _XDisplay;

namespace garvel::testing {

/// Key symbols for Key, without the X headers' macros.
constexpr unsigned long kTabKey = 0xff09;
constexpr unsigned long kEscapeKey = 0xff1b;

/// Sends input as if a user clicked and typed, over its own connection to
/// the display named by DISPLAY (the one FLTK uses). Events reach the
/// widgets only when FLTK's loop runs: follow each action with WaitFor.
///
/// Any character can be typed: a spare key code is mapped to the
/// character's key symbol for the stroke and unmapped again afterwards.
/// Main thread only.
class TXTestDriver {
public:
  /// Throws std::runtime_error when there is no display or no XTest.
  TXTestDriver();
  ~TXTestDriver();
  TXTestDriver(const TXTestDriver&) = delete;
  TXTestDriver& operator=(const TXTestDriver&) = delete;

  /// Moves the pointer to the middle of Widget (or DX, DY inside it) and
  /// clicks the left button.
  void Click(const Fl_Widget& Widget);
  void ClickAt(const Fl_Widget& Widget, int DX, int DY);
  /// Waits until Window is shown on the screen (mapped and exposed).
  bool WaitViewable(Fl_Window& Window, int TimeoutMs = 10000);
  /// Gives Window the keyboard focus.
  void Focus(const Fl_Window& Window);
  /// Presses and releases the key of Sym, with Shift held when asked.
  void Key(unsigned long Sym, bool Shift = false);
  /// The X11 class (WM_CLASS) the server holds for Window.
  std::string WindowClass(const Fl_Window& Window);
  /// Strokes the character CodePoint (LF strokes Return). The caller waits
  /// for its effect before the next one, since the spare key is remapped.
  void TypeChar(char32_t CodePoint);

private:
  void Stroke(unsigned Code, bool Shift);

  _XDisplay* FDisplay = nullptr;
  unsigned FSpareCode = 0;
  unsigned FShiftCode = 0;
};

/// Runs FLTK's loop until Pred holds or TimeoutMs have passed; Pred().
bool WaitFor(const std::function<bool()>& Pred, int TimeoutMs = 10000);
/// Runs FLTK's loop for about Ms milliseconds.
void Pump(int Ms);

/// Strokes every character of Text (UTF-8) into Input, waiting after each
/// until Input has grown. False when a character did not arrive in time.

bool TypeText(TXTestDriver& Driver, Fl_Input_& Input, const std::u32string& Text);

} // namespace garvel::testing
