// The version reader: any bytes as an ELF file that may carry the version
// note, and the block found read as the About box reads it.
#include "xcVerInfo.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace garvel::design;

namespace {

// The same bytes once more through the file path, which reads with pread.
std::string ScratchFile() {
  static const std::string Path = [] {
    char name[] = "/tmp/fuzz_verinfo.XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0)
      close(fd);
    return std::string(fd >= 0 ? name : "");
  }();
  return Path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::vector<char> block;
  (void)ExtractVersionNote(Data, Size, block);

  const std::string path = ScratchFile();
  if (path.empty())
    return 0;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(Data, 1, Size, f);
    std::fclose(f);
  }
  TxcFileVerInfo info;
  (void)info.GetFileInfo(path);
  for (const char* key : {"ProductName", "ProductVersion", "LegalCopyright", "Translation", ""})
    (void)info.GetStringValue(key);
  int a = 0, b = 0, c = 0, d = 0;
  (void)info.GetFileVersion(a, b, c, d);
  (void)info.GetProductVersion(a, b, c, d);
  return 0;
}
