// xcVerInfo: reads the version block a built file carries in its ELF note.
#include "xcVerInfo.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace garvel::design {

namespace {

constexpr char kNoteOwner[] = "Garvel";
constexpr std::uint32_t kNoteType = 1;
/// Note sections and segments larger than this are not searched.
constexpr std::uint64_t kMaxNoteArea = 16 * 1024 * 1024;
/// At most this many section or program headers are examined.
constexpr unsigned kMaxHeaders = 4096;

/// Reads Size bytes at Offset; false when they are not all there.
using TReadAt = std::function<bool(std::uint64_t Offset, void* Buffer, std::size_t Size)>;

/// The ELF fields the search needs, in host order, for either class and
/// either byte order.
class TElfReader {
public:
  TElfReader(TReadAt Read, std::uint64_t FileSize) : FRead(std::move(Read)), FFileSize(FileSize) {}

  bool Find(std::vector<char>& Block) {
    unsigned char ident[EI_NIDENT];
    if (!FRead(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
      return false;
    if (ident[EI_CLASS] != ELFCLASS32 && ident[EI_CLASS] != ELFCLASS64)
      return false;
    if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB)
      return false;
    F64 = ident[EI_CLASS] == ELFCLASS64;
    FBig = ident[EI_DATA] == ELFDATA2MSB;

    std::uint64_t phoff = 0, shoff = 0;
    std::uint32_t phentsize = 0, phnum = 0, shentsize = 0, shnum = 0;
    if (F64) {
      if (!Word(32, 8, phoff) || !Word(40, 8, shoff))
        return false;
      if (!Half(54, phentsize) || !Half(56, phnum) || !Half(58, shentsize) || !Half(60, shnum))
        return false;
    } else {
      if (!Word(28, 4, phoff) || !Word(32, 4, shoff))
        return false;
      if (!Half(42, phentsize) || !Half(44, phnum) || !Half(46, shentsize) || !Half(48, shnum))
        return false;
    }
    // Sections name the notes precisely; a file stripped of its section
    // table still has them in its PT_NOTE segments.
    if (shoff != 0 && shnum != 0 && SearchSections(shoff, shentsize, shnum, Block))
      return true;
    return phoff != 0 && phnum != 0 && SearchSegments(phoff, phentsize, phnum, Block);
  }

private:
  bool Word(std::uint64_t Offset, unsigned Width, std::uint64_t& Value) {
    unsigned char b[8];
    if (!FRead(Offset, b, Width))
      return false;
    Value = 0;
    for (unsigned i = 0; i < Width; ++i) {
      const unsigned byte = FBig ? i : Width - 1 - i;
      Value = (Value << 8) | b[byte];
    }
    return true;
  }
  bool Half(std::uint64_t Offset, std::uint32_t& Value) {
    std::uint64_t v = 0;
    if (!Word(Offset, 2, v))
      return false;
    Value = static_cast<std::uint32_t>(v);
    return true;
  }
  // Offset + Size lies within the file, without overflow.
  bool Inside(std::uint64_t Offset, std::uint64_t Size) const {
    return Offset <= FFileSize && Size <= FFileSize - Offset;
  }

  bool SearchSections(std::uint64_t Off, std::uint32_t EntSize, std::uint32_t Num,
                      std::vector<char>& Block) {
    const std::uint32_t need = F64 ? 64 : 40;
    if (EntSize < need || Num > kMaxHeaders || !Inside(Off, std::uint64_t{EntSize} * Num))
      return false;
    for (std::uint32_t i = 0; i < Num; ++i) {
      const std::uint64_t at = Off + std::uint64_t{EntSize} * i;
      std::uint64_t type = 0, offset = 0, size = 0, align = 0;
      if (!Word(at + 4, 4, type))
        return false;
      if (type != SHT_NOTE)
        continue;
      const bool ok =
          F64 ? Word(at + 24, 8, offset) && Word(at + 32, 8, size) && Word(at + 48, 8, align)
              : Word(at + 16, 4, offset) && Word(at + 20, 4, size) && Word(at + 32, 4, align);
      if (ok && SearchNotes(offset, size, align, Block))
        return true;
    }
    return false;
  }

  bool SearchSegments(std::uint64_t Off, std::uint32_t EntSize, std::uint32_t Num,
                      std::vector<char>& Block) {
    const std::uint32_t need = F64 ? 56 : 32;
    if (EntSize < need || Num > kMaxHeaders || !Inside(Off, std::uint64_t{EntSize} * Num))
      return false;
    for (std::uint32_t i = 0; i < Num; ++i) {
      const std::uint64_t at = Off + std::uint64_t{EntSize} * i;
      std::uint64_t type = 0, offset = 0, size = 0, align = 0;
      if (!Word(at, 4, type))
        return false;
      if (type != PT_NOTE)
        continue;
      const bool ok =
          F64 ? Word(at + 8, 8, offset) && Word(at + 32, 8, size) && Word(at + 48, 8, align)
              : Word(at + 4, 4, offset) && Word(at + 16, 4, size) && Word(at + 28, 4, align);
      if (ok && SearchNotes(offset, size, align, Block))
        return true;
    }
    return false;
  }

  // Walks the notes of one area: each is namesz, descsz, type, then the
  // name and the description, each padded to the area's alignment (8 for
  // areas aligned so, 4 otherwise).
  bool SearchNotes(std::uint64_t Offset, std::uint64_t Size, std::uint64_t Align,
                   std::vector<char>& Block) {
    if (Size > kMaxNoteArea || !Inside(Offset, Size))
      return false;
    const std::uint64_t pad = Align == 8 ? 8 : 4;
    const auto round = [pad](std::uint64_t n) { return (n + pad - 1) / pad * pad; };
    std::uint64_t pos = 0;
    while (Size - pos >= 12) {
      std::uint64_t namesz = 0, descsz = 0, type = 0;
      if (!Word(Offset + pos, 4, namesz) || !Word(Offset + pos + 4, 4, descsz) ||
          !Word(Offset + pos + 8, 4, type))
        return false;
      pos += 12;
      // Both sizes are 32-bit, so the sums below cannot overflow.
      const std::uint64_t name_at = pos;
      if (round(namesz) > Size - pos)
        return false;
      pos += round(namesz);
      const std::uint64_t desc_at = pos;
      if (descsz > Size - pos)
        return false;
      pos += std::min(round(descsz), Size - pos);
      if (type != kNoteType || namesz != sizeof kNoteOwner)
        continue;
      char name[sizeof kNoteOwner];
      if (!FRead(Offset + name_at, name, sizeof name) || std::memcmp(name, kNoteOwner, sizeof name))
        continue;
      if (descsz > TxcFileVerInfo::kMaxBlockSize)
        return false;
      Block.assign(descsz, '\0');
      if (descsz != 0 && !FRead(Offset + desc_at, Block.data(), descsz)) {
        Block.clear();
        return false;
      }
      return true;
    }
    return false;
  }

  TReadAt FRead;
  std::uint64_t FFileSize;
  bool F64 = false;
  bool FBig = false;
};

bool IsHex(char C) {
  return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F');
}

} // namespace

bool ExtractVersionNote(const std::uint8_t* Data, std::size_t Size, std::vector<char>& Block) {
  Block.clear();
  TElfReader reader(
      [Data, Size](std::uint64_t Offset, void* Buffer, std::size_t Count) {
        if (Offset > Size || Count > Size - Offset)
          return false;
        if (Count != 0)
          std::memcpy(Buffer, Data + Offset, Count);
        return true;
      },
      Size);
  return reader.Find(Block);
}

std::string ModuleFileName(const void* Address) {
  Dl_info info{};
  if (dladdr(Address, &info) != 0 && info.dli_fname && info.dli_fname[0] == '/')
    return info.dli_fname;
  // dladdr reports the name the module was loaded by, which may be relative
  // (or the bare program name); the map of the process names the file.
  const auto where = reinterpret_cast<std::uintptr_t>(Address);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode;
    if (!(fields >> range >> perms >> offset >> device >> inode))
      continue;
    const auto dash = range.find('-');
    if (dash == std::string::npos)
      continue;
    const auto low = std::strtoull(range.c_str(), nullptr, 16);
    const auto high = std::strtoull(range.c_str() + dash + 1, nullptr, 16);
    if (where < low || where >= high)
      continue;
    std::string path;
    std::getline(fields >> std::ws, path);
    return !path.empty() && path[0] == '/' ? path : std::string();
  }
  return {};
}

TxcFileVerInfo::TxcFileVerInfo() = default;
TxcFileVerInfo::~TxcFileVerInfo() = default;

bool TxcFileVerInfo::GetFileInfo(const std::string& FileName) {
  FInfoBlock.clear();
  FInfoSize = 0;
  FTranslation.clear();

  const std::string path =
      FileName.empty() ? ModuleFileName(reinterpret_cast<const void*>(&ModuleFileName)) : FileName;
  if (path.empty())
    return false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st {};
  std::vector<char> block;
  bool found = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    TElfReader reader(
        [fd](std::uint64_t Offset, void* Buffer, std::size_t Count) {
          auto* out = static_cast<char*>(Buffer);
          while (Count > 0) {
            const ssize_t n = pread(fd, out, Count, static_cast<off_t>(Offset));
            if (n < 0 && errno == EINTR)
              continue;
            if (n <= 0)
              return false;
            out += n;
            Offset += static_cast<std::uint64_t>(n);
            Count -= static_cast<std::size_t>(n);
          }
          return true;
        },
        static_cast<std::uint64_t>(st.st_size));
    found = reader.Find(block);
  }
  close(fd);
  if (!found)
    return false;

  // A zero keeps the last string terminated whatever the file holds.
  block.push_back('\0');
  FInfoBlock = std::move(block);
  FInfoSize = static_cast<std::uint32_t>(FInfoBlock.size());

  // "LLLL CCCC" or "LLLLCCCC": language, then code page.
  std::string key;
  if (const char* t = FindValue("Translation"))
    for (; *t; ++t)
      if (*t != ' ')
        key += *t;
  if (key.size() != 8 || !std::all_of(key.begin(), key.end(), IsHex))
    return false;
  for (char& c : key)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  FTranslation = key;
  return true;
}

const char* TxcFileVerInfo::FindValue(const std::string& Key) const {
  // The block ends in a zero (GetFileInfo adds one), so every entry does.
  const char* p = FInfoBlock.data();
  const char* end = p + FInfoBlock.size();
  while (p < end) {
    const std::size_t len = std::strlen(p);
    if (len > Key.size() && p[Key.size()] == '=' && std::memcmp(p, Key.data(), Key.size()) == 0)
      return p + Key.size() + 1;
    p += len + 1;
  }
  return nullptr;
}

std::string TxcFileVerInfo::GetStringValue(const std::string& Name) const {
  if (FTranslation.empty() || Name.empty() || Name.find('=') != std::string::npos)
    return {};
  const char* v = FindValue(Name);
  return v ? std::string(v) : std::string();
}

bool TxcFileVerInfo::GetFixed(const char* Key, int& Major, int& Minor, int& Release,
                              int& Build) const {
  const char* v = FindValue(Key);
  if (!v)
    return false;
  int parts[4] = {};
  int count = 0;
  const char* p = v;
  while (count < 4) {
    if (*p < '0' || *p > '9')
      return false;
    long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      n = n * 10 + (*p - '0');
      if (n > 0xFFFF)
        return false;
    }
    parts[count++] = static_cast<int>(n);
    if (count < 4 && *p++ != '.')
      return false;
  }
  if (*p != '\0')
    return false;
  Major = parts[0];
  Minor = parts[1];
  Release = parts[2];
  Build = parts[3];
  return true;
}

bool TxcFileVerInfo::GetFileVersion(int& Major, int& Minor, int& Release, int& Build) const {
  return GetFixed("FixedFileVersion", Major, Minor, Release, Build);
}

bool TxcFileVerInfo::GetProductVersion(int& Major, int& Minor, int& Release, int& Build) const {
  return GetFixed("FixedProductVersion", Major, Minor, Release, Build);
}

const TxcFileVerInfo& gVerInfo() {
  // A local static: built on first call, destroyed when the module is
  // unloaded or the process ends.
  struct TLoaded {
    TLoaded() { Info.GetFileInfo(""); }
    TxcFileVerInfo Info;
  };
  static const TLoaded Loaded;
  return Loaded.Info;
}

} // namespace garvel::design
