// A multi-line text entry that keeps any script the user types.
#include "xcUnicodeCtrls.h"

#include "CodePage.h"

#include <string>

namespace garvel::vcl {

TxcUnicodeCustomMemo::TxcUnicodeCustomMemo(int X, int Y, int W, int H, const char* Label)
    : Fl_Multiline_Input(X, Y, W, H, Label) {
  tab_nav(1);
}

TxcUnicodeCustomMemo::~TxcUnicodeCustomMemo() = default;

void TxcUnicodeCustomMemo::GetUnicodeText(std::u16string& Text) const {
  // FLTK keeps the text as UTF-8 and inserts a typed line break as LF.
  Text = Utf8ToWide(std::string_view(value(), static_cast<size_t>(size())));
}

void TxcUnicodeCustomMemo::SetUnicodeText(std::u16string_view Text) {
  const std::string utf8 = WideToUtf8(Text);
  value(utf8.data(), static_cast<int>(utf8.size()));
}

std::string TxcUnicodeCustomMemo::Text() const {
  return Utf8ToAnsi(std::string_view(value(), static_cast<size_t>(size())));
}

void TxcUnicodeCustomMemo::SetText(std::string_view Text) {
  const std::string utf8 = AnsiToUtf8(Text);
  value(utf8.data(), static_cast<int>(utf8.size()));
}

TxcUnicodeMemo::~TxcUnicodeMemo() = default;

} // namespace garvel::vcl
