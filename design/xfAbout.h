// xfAbout: the About box of the Garvel components.
#pragma once

#include "Classes.h"

#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Return_Button.H>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace garvel::design {

/// A text that shows the hand-point cursor under the pointer, is drawn
/// underlined and runs OnClick when clicked.
class TUrlLabel : public Fl_Box {
public:
  TUrlLabel(int X, int Y, int W, int H, const char* Label);
  int handle(int Event) override;
  void draw() override;
  std::function<void()> OnClick;
};

/// The About box: a dialog of X11 class "TfmAbout" that shows the version
/// data of the package file, the system version and the free memory.
/// Main (FLTK) thread only.
class TfmAbout : public Fl_Double_Window {
public:
  TfmAbout();
  ~TfmAbout() override;

  /// Fills the texts (FormShow), shows the box and runs FLTK's loop until
  /// it is closed. 1 when closed with OK, Return or Escape, 2 when closed
  /// through the window manager.
  int ShowModal();
  /// Fills every text from the package's version data and the system.
  void FormShow();

  /// The component whose About box this is; not owned, may be nullptr.
  TComponent* FComponent = nullptr;

  Fl_Box* Shape1;
  Fl_Box* imgIcon;
  Fl_Box* lblProductName;
  Fl_Box* lblVersionName;
  Fl_Box* lblLegalCopyright;
  Fl_Box* Shape2;
  Fl_Box* Label8;
  Fl_Box* lblProductVersion;
  Fl_Box* Bevel1;
  Fl_Box* Label9;
  Fl_Box* Bevel2;
  Fl_Box* Label5;
  Fl_Box* lblWinVersion;
  Fl_Box* Label6;
  Fl_Box* lblFreeVirtualMemory;
  TUrlLabel* urlProduct;
  Fl_Return_Button* btnOK;

private:
  static void CloseCallback(Fl_Widget* Widget, void* Data);
  static void OkCallback(Fl_Widget* Widget, void* Data);
  void urlProductClick();

  std::unique_ptr<Fl_Pixmap> FIcon;
  int FModalResult = 0;
};

/// The About box under the name the palette knows it by.
using TfmGarvelAbout = TfmAbout;

/// Shows the About box of Component modally and destroys it when closed
/// (also when showing fails).
void ShowGarvelAbout(TComponent* Component);

/// The class name of Component after the prefix "TxcGarvel" ("UCP"); empty
/// when the name does not start with the prefix or there is no component.
std::string ClassSuffix(const TComponent* Component);
/// "major.minor" of a kernel release text ("6.1.0-18-amd64" gives "6.1");
/// empty when it does not start so.
std::string SystemVersionText(const std::string& Release);
/// Available memory plus free swap, in KiB, in 64-bit arithmetic; 0 when
/// unknown.
std::uint64_t FreeMemoryKB();

} // namespace garvel::design
