// relaydemo: drives the SEMA component by hand from a window.
#include "About.h"
#include "Main.h"

#include <FL/Fl.H>

#include <cstdio>
#include <stdexcept>

int main(int argc, char** argv) {
  using namespace garvel::demo;
  TDemoArgs args;
  try {
    args = ParseDemoArgs(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  TfmAbout fmAbout;
  TfmMain fmMain(fmAbout);
  if (!args.Host.empty() || !args.Port.empty()) {
    fmMain.ebHost->value(args.Host.c_str());
    fmMain.ebPort->value(args.Port.c_str());
  }
  fmMain.show();
  // Returns once the main window is closed (the About box is closed then).
  return Fl::run();
}
