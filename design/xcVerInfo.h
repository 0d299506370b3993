// xcVerInfo: reads the version block a built file carries in its ELF note.
#pragma once

#include "Classes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace garvel::design {

/// Reads the version block that GARVEL_VERSION_NOTE (platform/VersionNote.h)
/// places in an ELF file: the note of owner "Garvel", type 1, whose
/// description holds zero-terminated "Key=Value" strings. The file is read,
/// never loaded, so any file may be examined: a missing, unreadable or
/// malformed one, or one without the note, is simply reported as having no
/// version data.
///
/// Not thread-safe: one thread per object. Reading is bounded: a note larger
/// than kMaxBlockSize is refused.
class TxcFileVerInfo : public TObject {
public:
  /// The largest version block read, in bytes.
  static constexpr std::uint32_t kMaxBlockSize = 64 * 1024;

  TxcFileVerInfo();
  ~TxcFileVerInfo() override;

  /// Reads the version block of FileName; an empty name stands for the file
  /// of the module (shared object or program) that holds this code. Any
  /// block read before is dropped first, so a failed call leaves no data.
  /// True when the block was found and names its translation; a block
  /// without a valid translation is kept (the fixed versions may still be
  /// read) but gives false.
  bool GetFileInfo(const std::string& FileName);
  /// The four numbers of FixedFileVersion. False, leaving the arguments
  /// untouched, when there is no block or the entry is missing or malformed.
  bool GetFileVersion(int& Major, int& Minor, int& Release, int& Build) const;
  /// The same for FixedProductVersion.
  bool GetProductVersion(int& Major, int& Minor, int& Release, int& Build) const;
  /// The string entry Name of the block's translation, as stored (trailing
  /// blanks kept); empty when missing or when the block has no translation.
  std::string GetStringValue(const std::string& Name) const;
  /// The first translation: language and code page as eight upper-case hex
  /// digits ("040904B0"), or empty.
  const std::string& Translation() const { return FTranslation; }
  /// Size of the block held, in bytes; 0 without one.
  std::uint32_t InfoSize() const { return FInfoSize; }

private:
  const char* FindValue(const std::string& Key) const;
  bool GetFixed(const char* Key, int& Major, int& Minor, int& Release, int& Build) const;

  std::vector<char> FInfoBlock;
  std::uint32_t FInfoSize = 0;
  std::string FTranslation;
};

/// Extracts the description of the first "Garvel" note of type 1 from the
/// ELF image Data (a whole file's bytes). False for anything else: not ELF,
/// truncated headers, ranges past the end, a note larger than
/// TxcFileVerInfo::kMaxBlockSize. Never reads outside Data.
bool ExtractVersionNote(const std::uint8_t* Data, std::size_t Size, std::vector<char>& Block);

/// Absolute path of the file of the loaded module that holds Address (a
/// function or object of that module), or empty when none does. Not limited
/// in length.
std::string ModuleFileName(const void* Address);

/// The version data of the module that holds this code, read on first use
/// (never during static initialisation) and kept for the module's life.
/// Thread-safe first use; the object itself is read-only afterwards.
const TxcFileVerInfo& gVerInfo();

} // namespace garvel::design
