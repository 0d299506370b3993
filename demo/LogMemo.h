// The view of the demo's event log.
#pragma once

#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>

#include <memory>
#include <string>
#include <vector>

namespace garvel::demo {

/// The event log's view: read-only, both scroll bars, and a stop of the Tab
/// cycle like the other controls.
class TLogMemo : public Fl_Text_Display {
public:
  TLogMemo(int X, int Y, int W, int H);
  ~TLogMemo() override;
  int handle(int Event) override;
  /// Appends Line (UTF-8) and scrolls to it.
  void AddLine(const std::string& Line);
  /// The lines shown, in order.
  std::vector<std::string> Lines() const;
  void Clear();

private:
  std::unique_ptr<Fl_Text_Buffer> FBuffer;
};

} // namespace garvel::demo
