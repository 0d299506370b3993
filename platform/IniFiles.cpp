// Read-only INI file access, parsed by libinih.
#include "IniFiles.h"

#include <cctype>

#include <ini.h>

namespace garvel {
namespace {

std::string Key(const std::string& Section, const std::string& Ident) {
  std::string k = Section + "\n" + Ident;
  for (char& c : k)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return k;
}

} // namespace

TIniFile::TIniFile(const std::string& FileName) : FFileName(FileName) {
  ini_parse(
      FileName.c_str(),
      [](void* user, const char* section, const char* name, const char* value) -> int {
        auto* values = static_cast<std::map<std::string, std::string>*>(user);
        // The first definition of a key wins, as with the platform's reader.
        values->emplace(Key(section, name), value);
        return 1;
      },
      &FValues);
}

TIniFile::~TIniFile() = default;

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) const {
  auto it = FValues.find(Key(Section, Ident));
  return it == FValues.end() ? Default : it->second;
}

} // namespace garvel
