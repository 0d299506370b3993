// The view of the demo's event log.
#include "LogMemo.h"

#include <cstdlib>

namespace garvel::demo {

// --- TLogMemo ---------------------------------------------------------------

TLogMemo::TLogMemo(int X, int Y, int W, int H)
    : Fl_Text_Display(X, Y, W, H), FBuffer(std::make_unique<Fl_Text_Buffer>()) {
  buffer(FBuffer.get());
  textsize(11);
  box(FL_DOWN_BOX);
}

TLogMemo::~TLogMemo() {
  buffer(nullptr);
}

int TLogMemo::handle(int Event) {
  // The log takes the focus, so that Tab stops on it and its text can be
  // selected from the keyboard; it never changes.
  if (Event == FL_FOCUS || Event == FL_UNFOCUS) {
    Fl_Text_Display::handle(Event);
    redraw();
    return 1;
  }
  return Fl_Text_Display::handle(Event);
}

void TLogMemo::AddLine(const std::string& Line) {
  FBuffer->append(Line.c_str());
  FBuffer->append("\n");
  insert_position(FBuffer->length());
  show_insert_position();
}

std::vector<std::string> TLogMemo::Lines() const {
  char* text = FBuffer->text();
  const std::string all(text);
  free(text);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(all.substr(start, end - start));
  if (start < all.size())
    lines.push_back(all.substr(start));
  return lines;
}

void TLogMemo::Clear() {
  FBuffer->text("");
}

} // namespace garvel::demo
