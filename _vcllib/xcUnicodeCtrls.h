// A multi-line text entry that keeps any script the user types and hands it
// to the application as UTF-16 text.
#pragma once

#include <FL/Fl_Multiline_Input.H>

#include <string>
#include <string_view>

namespace garvel::vcl {

/// A multi-line edit whose content is Unicode text.
///
/// The widget holds its text as UTF-8, so every character the user types,
/// in any script and outside the Basic Multilingual Plane too, is kept as
/// typed. GetUnicodeText reads it as UTF-16: line breaks come back as LF
/// alone, characters above U+FFFF as surrogate pairs. Text and SetText are
/// the 8-bit view through the Windows-1252 code page, for callers that work
/// with 8-bit strings; characters the code page lacks read as '?'.
///
/// Tab moves the focus on (it is not inserted), as in the other fields of a
/// form. Main (FLTK) thread only, like every widget.
class TxcUnicodeCustomMemo : public Fl_Multiline_Input {
public:
  TxcUnicodeCustomMemo(int X, int Y, int W, int H, const char* Label = nullptr);
  ~TxcUnicodeCustomMemo() override;

  /// The current text as UTF-16; empty for an empty memo.
  void GetUnicodeText(std::u16string& Text) const;
  /// Replaces the text; an unpaired surrogate is stored as U+FFFD.
  void SetUnicodeText(std::u16string_view Text);
  /// The current text in the 8-bit code page.
  std::string Text() const;
  /// Replaces the text with 8-bit text in the code page.
  void SetText(std::string_view Text);
};

/// The memo as forms place it; it adds nothing to TxcUnicodeCustomMemo.
class TxcUnicodeMemo : public TxcUnicodeCustomMemo {
public:
  using TxcUnicodeCustomMemo::TxcUnicodeCustomMemo;
  ~TxcUnicodeMemo() override;
};

} // namespace garvel::vcl
