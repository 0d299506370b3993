// The demo program's About box.
#include "About.h"

#include "Icons.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace garvel::demo {

void OpenWebPage(const char* Address) {
  // The child starts xdg-open in a grandchild and ends at once, so the
  // browser's lifetime is not ours and nothing is left to reap later.
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

TClickableBox::TClickableBox(int X, int Y, int W, int H, const char* Label)
    : Fl_Box(X, Y, W, H, Label) {}

int TClickableBox::handle(int Event) {
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

void TClickableBox::draw() {
  Fl_Box::draw();
  if (Underline && label()) {
    fl_font(labelfont(), labelsize());
    fl_color(labelcolor());
    const int width = static_cast<int>(fl_width(label()));
    const int base = y() + (h() + fl_height()) / 2 - fl_descent() + 1;
    fl_line(x() + 3, base, x() + 3 + width, base);
  }
}

namespace {

Fl_Box* Text(int X, int Y, int W, int H, const char* Label, Fl_Font Font = FL_HELVETICA) {
  auto* box = new Fl_Box(X, Y, W, H, Label);
  box->align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  box->labelsize(11);
  box->labelfont(Font);
  return box;
}

} // namespace

TfmAbout::TfmAbout() : Fl_Double_Window(339, 314, "About GarvelSEMA sample") {
  xclass("TfmAbout");
  set_modal();
  callback(CloseCallback, this);

  auto* header = new Fl_Box(0, 0, 340, 64);
  header->box(FL_FLAT_BOX);
  header->color(FL_WHITE);
  auto* icon = new Fl_Box(16, 12, 32, 32);
  icon->image(const_cast<Fl_RGB_Image*>(ProgramIcon())); // FLTK only reads it
  Text(72, 8, 260, 14, "Garvel SDK Sample", FL_HELVETICA_BOLD);
  Text(72, 24, 260, 14, "Version 2.1", FL_HELVETICA_BOLD);
  Text(72, 40, 260, 14, "Copyright (c) The Garvel developers.");
  auto* line = new Fl_Box(0, 64, 340, 1);
  line->box(FL_FLAT_BOX);
  line->color(FL_DARK3);
  Text(72, 76, 252, 40, "This example application demonstrates usage of the GarvelSEMA Component.");
  Text(72, 136, 252, 78,
       "Warning: this program is protected by copyright law. Unauthorised reproduction or "
       "distribution of this program, or of any part of it, may result in civil and "
       "criminal penalties.");
  lblURL = new TClickableBox(72, 240, 121, 14, kWebAddress);
  lblURL->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  lblURL->labelsize(11);
  lblURL->labelcolor(FL_BLUE);
  lblURL->Underline = true;
  lblURL->OnClick = [this] { lblURLClick(); };
  btnOK = new Fl_Return_Button(256, 276, 69, 23, "OK");
  btnOK->labelsize(11);
  btnOK->callback(OkCallback, this);
  end();
  position((Fl::w() - w()) / 2, (Fl::h() - h()) / 2);
}

TfmAbout::~TfmAbout() = default;

void TfmAbout::CloseCallback(Fl_Widget*, void* Data) {
  auto* self = static_cast<TfmAbout*>(Data);
  // Escape reaches the window as a shortcut: the OK button is also the
  // cancel button, so it closes the box as OK does.
  self->FModalResult = Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape ? mrOk : mrCancel;
  self->hide();
}

void TfmAbout::OkCallback(Fl_Widget*, void* Data) {
  auto* self = static_cast<TfmAbout*>(Data);
  self->FModalResult = mrOk;
  self->hide();
}

void TfmAbout::lblURLClick() {
  OpenWebPage(kWebAddress);
}

int TfmAbout::ShowModal() {
  FModalResult = mrNone;
  position((Fl::w() - w()) / 2, (Fl::h() - h()) / 2);
  show();
  while (shown())
    Fl::wait();
  return FModalResult;
}

} // namespace garvel::demo
