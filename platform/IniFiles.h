// Read-only INI file access.
#pragma once

#include "GarvelExport.h"
#include "Classes.h"

#include <map>
#include <string>

namespace garvel {

/// An INI file read once at construction: "[Section]" lines and "Key=Value"
/// lines; section and key names match without regard to case. A missing or
/// unreadable file reads as empty.
class GARVEL_API TIniFile : public TObject {
public:
  explicit TIniFile(const std::string& FileName);
  ~TIniFile() override;

  /// The value of Ident in Section, or Default when there is none.
  std::string ReadString(const std::string& Section, const std::string& Ident,
                         const std::string& Default) const;
  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
  std::map<std::string, std::string> FValues; // "section\nkey" in lower case -> value
};

} // namespace garvel
