// xfAbout: the About box of the Garvel components.
#include "xfAbout.h"

#include "DesignIntf.h"
#include "garv_reg.h"
#include "xcVerInfo.h"
#include "xuStrings.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <spawn.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace garvel::design {

namespace {

// Asks the desktop to open Address (xdg-open, without a shell). The child
// starts xdg-open in a grandchild and ends at once, so nothing is left to
// reap; failures are ignored.
void OpenWebPage(const char* Address) {
  char program[] = "xdg-open";
  char* argv[] = {program, const_cast<char*>(Address), nullptr};
  const pid_t child = fork();
  if (child == 0) {
    pid_t grandchild = 0;
    _exit(posix_spawnp(&grandchild, program, nullptr, nullptr, argv, environ) == 0 ? 0 : 127);
  }
  if (child > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

Fl_Box* Text(int X, int Y, int W, int H, const char* Label, Fl_Font Font = FL_HELVETICA) {
  auto* box = new Fl_Box(X, Y, W, H, Label);
  box->align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  box->labelsize(11);
  box->labelfont(Font);
  return box;
}

Fl_Box* Band(int X, int Y, int W, int H, Fl_Color Color) {
  auto* box = new Fl_Box(X, Y, W, H);
  box->box(FL_FLAT_BOX);
  box->color(Color);
  return box;
}

// A bevel that shows only its top line: a sunken line of two pixels.
Fl_Box* TopLine(int X, int Y, int W) {
  auto* line = new Fl_Box(X, Y, W, 2);
  line->box(FL_THIN_DOWN_FRAME);
  return line;
}

} // namespace

TUrlLabel::TUrlLabel(int X, int Y, int W, int H, const char* Label) : Fl_Box(X, Y, W, H, Label) {}

int TUrlLabel::handle(int Event) {
  switch (Event) {
  case FL_ENTER:
    window()->cursor(FL_CURSOR_HAND);
    return 1;
  case FL_LEAVE:
    window()->cursor(FL_CURSOR_DEFAULT);
    return 1;
  case FL_PUSH:
    return 1;
  case FL_RELEASE:
    if (OnClick && Fl::event_inside(this))
      OnClick();
    return 1;
  default:
    return Fl_Box::handle(Event);
  }
}

void TUrlLabel::draw() {
  Fl_Box::draw();
  if (label()) {
    fl_font(labelfont(), labelsize());
    fl_color(labelcolor());
    const int width = static_cast<int>(fl_width(label()));
    const int base = y() + (h() + fl_height()) / 2 - fl_descent() + 1;
    fl_line(x() + 3, base, x() + 3 + width, base);
  }
}

TfmAbout::TfmAbout() : Fl_Double_Window(347, 367, "About") {
  xclass("TfmAbout");
  set_modal();
  callback(CloseCallback, this);

  Shape1 = Band(0, 0, 349, 65, FL_WHITE);
  imgIcon = new Fl_Box(16, 16, 33, 33);
  lblProductName = Text(64, 8, 270, 14, nullptr, FL_HELVETICA_BOLD);
  lblVersionName = Text(64, 24, 270, 14, nullptr, FL_HELVETICA_BOLD);
  lblLegalCopyright = Text(64, 40, 270, 14, nullptr);
  Shape2 = Band(0, 64, 349, 5, FL_DARK3);
  Label8 = Text(64, 80, 96, 14, "Product version:");
  lblProductVersion = Text(160, 80, 173, 14, nullptr);
  Bevel1 = TopLine(64, 160, 269);
  Label9 = Text(64, 168, 269, 81, sLegalWarning);
  Label9->align(Label9->align() | FL_ALIGN_WRAP);
  Bevel2 = TopLine(64, 256, 269);
  Label5 = Text(64, 264, 96, 13, "System version:");
  lblWinVersion = Text(160, 264, 173, 13, nullptr);
  Label6 = Text(64, 280, 96, 13, "Free memory:");
  lblFreeVirtualMemory = Text(160, 280, 173, 13, nullptr);
  urlProduct = new TUrlLabel(64, 300, 121, 14, sWebAddress);
  urlProduct->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  urlProduct->labelsize(11);
  urlProduct->labelcolor(FL_BLUE);
  urlProduct->OnClick = [this] { urlProductClick(); };
  btnOK = new Fl_Return_Button(260, 328, 73, 23, "OK");
  btnOK->labelsize(11);
  btnOK->callback(OkCallback, this);
  end();
}

TfmAbout::~TfmAbout() {
  // The box refers to the icon: it goes first.
  imgIcon->image(nullptr);
}

void TfmAbout::CloseCallback(Fl_Widget*, void* Data) {
  auto* self = static_cast<TfmAbout*>(Data);
  // Escape reaches the window as a shortcut; OK is also the cancel button.
  self->FModalResult = Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape ? 1 : 2;
  self->hide();
}

void TfmAbout::OkCallback(Fl_Widget*, void* Data) {
  auto* self = static_cast<TfmAbout*>(Data);
  self->FModalResult = 1;
  self->hide();
}

void TfmAbout::urlProductClick() {
  OpenWebPage(sWebAddress);
}

std::string ClassSuffix(const TComponent* Component) {
  const std::string name = ComponentClassName(Component);
  const std::string prefix = sClassPrefix;
  return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : std::string();
}

std::string SystemVersionText(const std::string& Release) {
  // Digits, a point, digits; whatever follows is left out.
  std::size_t i = 0;
  while (i < Release.size() && std::isdigit(static_cast<unsigned char>(Release[i])))
    ++i;
  if (i == 0 || i >= Release.size() || Release[i] != '.')
    return {};
  std::size_t j = i + 1;
  while (j < Release.size() && std::isdigit(static_cast<unsigned char>(Release[j])))
    ++j;
  if (j == i + 1)
    return {};
  return Release.substr(0, j);
}

std::uint64_t FreeMemoryKB() {
  // The kernel's estimate of memory available without swapping, plus free
  // swap: both in KiB already.
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t value = 0, available = 0, swap = 0;
  bool have_available = false;
  std::string unit;
  while (meminfo >> key >> value) {
    std::getline(meminfo, unit);
    if (key == "MemAvailable:") {
      available = value;
      have_available = true;
    } else if (key == "SwapFree:") {
      swap = value;
    }
  }
  if (have_available)
    return available + swap;
  struct sysinfo si {};
  if (sysinfo(&si) != 0)
    return 0;
  const std::uint64_t unit_size = si.mem_unit ? si.mem_unit : 1;
  return (std::uint64_t{si.freeram} + si.bufferram + si.freeswap) * unit_size / 1024;
}

void TfmAbout::FormShow() {
  // The package's own file: the module that holds this code.
  const std::string path = ModuleFileName(reinterpret_cast<const void*>(&ShowGarvelAbout));

  for (std::size_t n = 0; n < PackageImageCount; ++n)
    if (std::strcmp(PackageImages[n].Name, "MAIN") == 0 && PackageImages[n].Width == 32) {
      FIcon = std::make_unique<Fl_Pixmap>(PackageImages[n].Xpm);
      imgIcon->image(FIcon.get());
    }

  const std::string suffix = ClassSuffix(FComponent);
  TxcFileVerInfo info;
  std::string caption, product, version, number, copyright;
  int major = 0, minor = 0, release = 0, build = 0;
  if (!path.empty() && info.GetFileInfo(path)) {
    product = info.GetStringValue("ProductName") + suffix;
    caption = "About " + product;
    version = "Version " + info.GetStringValue("ProductVersion");
    if (info.GetProductVersion(major, minor, release, build))
      number = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release) +
               "." + std::to_string(build);
    else
      number = sNoData;
    copyright = info.GetStringValue("LegalCopyright");
  } else {
    caption = std::string("About ") + sNoData;
    product = sNoData;
    version = std::string("Version ") + sNoData;
    number = sNoData;
    copyright = sNoData;
  }
  copy_label(caption.c_str());
  lblProductName->copy_label(product.c_str());
  lblVersionName->copy_label(version.c_str());
  lblProductVersion->copy_label(number.c_str());
  lblLegalCopyright->copy_label(copyright.c_str());

  struct utsname uts {};
  const std::string system = uname(&uts) == 0 ? SystemVersionText(uts.release) : std::string();
  lblWinVersion->copy_label(system.empty() ? sNoData : system.c_str());
  lblFreeVirtualMemory->copy_label((std::to_string(FreeMemoryKB()) + " KB").c_str());
}

int TfmAbout::ShowModal() {
  FModalResult = 0;
  FormShow();
  position((Fl::w() - w()) / 2, (Fl::h() - h()) / 2);
  show();
  while (shown())
    Fl::wait();
  return FModalResult;
}

void ShowGarvelAbout(TComponent* Component) {
  auto form = std::make_unique<TfmAbout>();
  form->FComponent = Component;
  form->ShowModal();
}

} // namespace garvel::design
