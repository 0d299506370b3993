// The palette browser: design packages as palette pages, and the
// components created from them.
#pragma once

#include "PackageHost.h"

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Tabs.H>

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace garvel::design {

/// The plug-in folders to search when no package is named: the folders of
/// GARVEL_PLUGIN_PATH (separated by ':') when it is set, else the installed
/// plug-in folder (lib/garvel/plugins beside the program's bin/).
std::vector<std::string> PluginFolders();
/// The package files (*.so) of Folder, sorted by name; none when the folder
/// cannot be read.
std::vector<std::string> PackagesIn(const std::string& Folder);

/// Loads Files into Host; each failure is written to Errors, one line each.
/// The number of packages loaded.
int LoadPackages(TPackageHost& Host, const std::vector<std::string>& Files, std::ostream& Errors);

/// Writes the registration table: one line per package ("Package",
/// description, file), then a heading and one line per class: page, class,
/// palette image size (or "-") and its editor's verbs joined by "|", all
/// separated by tabs. Creates (and destroys) one instance per class to ask
/// its editor.
void WriteRegistrationTable(TPackageHost& Host, std::ostream& Out);

/// The list of created components: a right click offers the verbs of the
/// component under the pointer, a double click runs its editor's Edit.
class TComponentList : public Fl_Hold_Browser {
public:
  TComponentList(int X, int Y, int W, int H, TPackageHost& Host);
  int handle(int Event) override;
  /// Lists the host's components again.
  void Refresh();
  /// The component of line Line (from 1), or nullptr.
  TComponent* ComponentAt(int Line) const;
  /// Pops up the verb menu of the component of Line at the pointer and runs
  /// the verb chosen.
  void ShowVerbs(int Line);

private:
  TPackageHost& FHost;
};

/// The main window (X11 class "TfmPalette"): one tab per palette page and
/// one button per class, which creates a component; below, the components
/// and a status line with load failures. Main (FLTK) thread only.
class TfmPalette : public Fl_Double_Window {
public:
  explicit TfmPalette(TPackageHost& Host);
  ~TfmPalette() override;

  /// Builds the tabs again from the host's registrations.
  void RefreshPalette();
  /// Shows Text in the status line.
  void SetStatus(const std::string& Text);

  Fl_Tabs* Tabs;
  TComponentList* lbComponents;
  Fl_Box* lblStatus;
  /// The class buttons, in page and registration order.
  std::vector<Fl_Button*> ClassButtons;

private:
  static void ClassButtonClick(Fl_Widget* Button, void* Data);

  TPackageHost& FHost;
  std::vector<std::unique_ptr<Fl_Pixmap>> FImages;
};

} // namespace garvel::design
