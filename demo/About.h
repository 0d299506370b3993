// The demo program's About box.
#pragma once

#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Return_Button.H>

#include <functional>

namespace garvel::demo {

/// The web address the logo and the About box's link open.
inline constexpr const char* kWebAddress = "https://garvel.example.org/";

/// Asks the desktop to open Address in the user's browser (xdg-open, run
/// directly without a shell; Address is one argument). Returns at once;
/// failures are ignored. No child is left behind as a zombie.
void OpenWebPage(const char* Address);

/// A box that shows the hand-point cursor under the pointer and runs
/// OnClick when clicked with any button.
class TClickableBox : public Fl_Box {
public:
  TClickableBox(int X, int Y, int W, int H, const char* Label = nullptr);
  int handle(int Event) override;
  void draw() override;
  std::function<void()> OnClick;
  /// Draws a line under the label, as links are shown.
  bool Underline = false;
};

/// Modal result of a form: none yet, OK (1), Cancel (2).
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

/// The About box: a dialog window of X11 class "TfmAbout", created once and
/// shown modally as often as asked. OK, Return and Escape close it with
/// mrOk; closing it through the window manager gives mrCancel.
///
/// Main (FLTK) thread only.
class TfmAbout : public Fl_Double_Window {
public:
  TfmAbout();
  ~TfmAbout() override;

  /// Shows the box over every other window of the program and runs FLTK's
  /// loop until it is closed; the result says how. Events of other sources
  /// (file descriptors, timers) go on being handled meanwhile.
  int ShowModal();
  int ModalResult() const { return FModalResult; }

  TClickableBox* lblURL;
  Fl_Return_Button* btnOK;

private:
  static void CloseCallback(Fl_Widget* Widget, void* Data);
  static void OkCallback(Fl_Widget* Widget, void* Data);
  void lblURLClick();

  int FModalResult = mrNone;
};

} // namespace garvel::demo
