// garvel-palette: shows the components of design packages on a palette.
//
//   garvel-palette [PACKAGE...]          the palette window
//   garvel-palette --list [PACKAGE...]   the registration table, no display
//
// Without PACKAGE, every *.so of the plug-in folders is loaded.
#include "PaletteWindow.h"

#include <FL/Fl.H>

#include <cstring>
#include <iostream>
#include <sstream>

using namespace garvel::design;

int main(int argc, char** argv) {
  bool list = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--list") == 0) {
      list = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << "usage: garvel-palette [--list] [PACKAGE...]\n"
                   "Without PACKAGE, the *.so files of $GARVEL_PLUGIN_PATH (folders separated\n"
                   "by ':') or of the installed plug-in folder are loaded.\n";
      return 0;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::cerr << "garvel-palette: unknown option " << argv[i] << " (try --help)\n";
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    for (const auto& folder : PluginFolders()) {
      const auto found = PackagesIn(folder);
      files.insert(files.end(), found.begin(), found.end());
    }
    if (files.empty())
      std::cerr << "garvel-palette: no packages found in the plug-in folders\n";
  }

  TPackageHost host;
  std::ostringstream errors;
  const int loaded = LoadPackages(host, files, errors);
  std::cerr << errors.str();
  const int status = loaded == static_cast<int>(files.size()) && !files.empty() ? 0 : 1;
  if (list) {
    try {
      WriteRegistrationTable(host, std::cout);
    } catch (const std::exception& e) {
      std::cerr << "garvel-palette: " << e.what() << '\n';
      return 1;
    }
    return status;
  }

  Fl::scheme("gtk+");
  TfmPalette palette(host);
  std::string status_text = std::to_string(loaded) + " package(s) loaded";
  if (!errors.str().empty())
    status_text += "; " + errors.str().substr(0, errors.str().find('\n'));
  palette.SetStatus(status_text);
  palette.show(1, argv);
  Fl::run();
  return status;
}
