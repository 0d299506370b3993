#include "xcVerInfo.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace garvel::design {
namespace {

namespace fs = std::filesystem;

const std::string kGarvVersion = "2.1 Build 120 (25 Feb 2004)           ";

std::vector<char> ReadAll(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A temporary folder, removed with its files.
class VerInfoFiles : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "garvel-verinfo.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
  }
  void TearDown() override { fs::remove_all(FDir); }
  std::string Write(const std::string& Name, const std::vector<char>& Bytes) {
    const auto path = (FDir / Name).string();
    std::ofstream(path, std::ios::binary).write(Bytes.data(), static_cast<long>(Bytes.size()));
    return path;
  }
  fs::path FDir;
};

// Appends Value in Width bytes, in the given byte order.
void Put(std::vector<char>& Out, std::uint64_t Value, unsigned Width, bool Big) {
  for (unsigned i = 0; i < Width; ++i) {
    const unsigned shift = 8 * (Big ? Width - 1 - i : i);
    Out.push_back(static_cast<char>((Value >> shift) & 0xFF));
  }
}

// A minimal ELF file: the header, one note area (Notes) and one section
// header of type SHT_NOTE for it, or with Segment a program header PT_NOTE
// and no section table.
std::vector<char> MakeElf(const std::vector<char>& Notes, bool Is64, bool Big,
                          bool Segment = false) {
  const unsigned ehsize = Is64 ? 64 : 52;
  const unsigned shentsize = Is64 ? 64 : 40;
  const unsigned phentsize = Is64 ? 56 : 32;
  const std::uint64_t notes_at = ehsize;
  const std::uint64_t table_at = notes_at + Notes.size();
  const unsigned word = Is64 ? 8 : 4;
  std::vector<char> f = {
      0x7f, 'E', 'L', 'F', static_cast<char>(Is64 ? 2 : 1), static_cast<char>(Big ? 2 : 1), 1, 0};
  f.resize(16, 0);
  Put(f, 3, 2, Big);  // e_type ET_DYN
  Put(f, 62, 2, Big); // e_machine
  Put(f, 1, 4, Big);  // e_version
  Put(f, 0, word, Big);
  Put(f, Segment ? table_at : 0, word, Big); // e_phoff
  Put(f, Segment ? 0 : table_at, word, Big); // e_shoff
  Put(f, 0, 4, Big);
  Put(f, ehsize, 2, Big);
  Put(f, phentsize, 2, Big);
  Put(f, Segment ? 1 : 0, 2, Big);
  Put(f, shentsize, 2, Big);
  Put(f, Segment ? 0 : 1, 2, Big);
  Put(f, 0, 2, Big);
  f.insert(f.end(), Notes.begin(), Notes.end());
  if (Segment) {
    Put(f, 4, 4, Big); // PT_NOTE
    if (Is64) {
      Put(f, 4, 4, Big); // flags
      Put(f, notes_at, 8, Big);
      Put(f, 0, 8, Big);
      Put(f, 0, 8, Big);
      Put(f, Notes.size(), 8, Big);
      Put(f, Notes.size(), 8, Big);
      Put(f, 4, 8, Big);
    } else {
      Put(f, notes_at, 4, Big);
      Put(f, 0, 4, Big);
      Put(f, 0, 4, Big);
      Put(f, Notes.size(), 4, Big);
      Put(f, Notes.size(), 4, Big);
      Put(f, 4, 4, Big); // flags
      Put(f, 4, 4, Big);
    }
  } else {
    Put(f, 0, 4, Big); // sh_name
    Put(f, 7, 4, Big); // SHT_NOTE
    Put(f, 2, word, Big);
    Put(f, 0, word, Big);
    Put(f, notes_at, word, Big);
    Put(f, Notes.size(), word, Big);
    Put(f, 0, 4, Big);
    Put(f, 0, 4, Big);
    Put(f, 4, word, Big);
    Put(f, 0, word, Big);
  }
  return f;
}

// One note; DescSize overrides the recorded description size.
std::vector<char> MakeNote(const std::string& Owner, std::uint32_t Type, const std::string& Desc,
                           bool Big, std::int64_t DescSize = -1) {
  std::vector<char> n;
  Put(n, Owner.size() + 1, 4, Big);
  Put(n, DescSize < 0 ? Desc.size() : static_cast<std::uint64_t>(DescSize), 4, Big);
  Put(n, Type, 4, Big);
  n.insert(n.end(), Owner.begin(), Owner.end());
  n.push_back('\0');
  n.resize((n.size() + 3) / 4 * 4, '\0');
  n.insert(n.end(), Desc.begin(), Desc.end());
  n.resize((n.size() + 3) / 4 * 4, '\0');
  return n;
}

using namespace std::string_literals;

const std::string kBlock =
    "ProductName=Crafted\0ProductVersion=1.2  \0FixedProductVersion=1.2.3.4\0"
    "FixedFileVersion=5.6.7.8\0Translation=0415 04b0\0"s;

void ExpectNoData(const TxcFileVerInfo& Info) {
  int a = -7, b = -7, c = -7, d = -7;
  EXPECT_FALSE(Info.GetFileVersion(a, b, c, d));
  EXPECT_FALSE(Info.GetProductVersion(a, b, c, d));
  EXPECT_EQ(a, -7); // untouched
  EXPECT_EQ(Info.GetStringValue("ProductName"), "");
  EXPECT_EQ(Info.Translation(), "");
  EXPECT_EQ(Info.InfoSize(), 0u);
}

TEST(VerInfo, ReadsTheBuiltFiles) {
  for (const char* file : {GARV_FILE, DCLGARV_FILE}) {
    SCOPED_TRACE(file);
    TxcFileVerInfo info;
    ASSERT_TRUE(info.GetFileInfo(file));
    EXPECT_EQ(info.Translation(), "040904B0");
    EXPECT_EQ(info.GetStringValue("ProductName"), "Garvel");
    EXPECT_EQ(info.GetStringValue("InternalName"), "Garvel");
    EXPECT_EQ(info.GetStringValue("FileDescription"), "Garvel VCL SDK Control Library");
    EXPECT_EQ(info.GetStringValue("ProductVersion"), kGarvVersion);
    EXPECT_EQ(info.GetStringValue("FileVersion"), kGarvVersion);
    EXPECT_EQ(info.GetStringValue("NoSuchKey"), "");
    EXPECT_EQ(info.GetStringValue("Product"), ""); // a prefix of a key is no key
    int major = 0, minor = 0, release = 0, build = 0;
    ASSERT_TRUE(info.GetProductVersion(major, minor, release, build));
    EXPECT_EQ(std::vector<int>({major, minor, release, build}), std::vector<int>({2, 1, 0, 120}));
    ASSERT_TRUE(info.GetFileVersion(major, minor, release, build));
    EXPECT_EQ(std::vector<int>({major, minor, release, build}), std::vector<int>({2, 1, 0, 120}));
  }
  TxcFileVerInfo setup;
  ASSERT_TRUE(setup.GetFileInfo(SETUPAID_FILE));
  EXPECT_EQ(setup.Translation(), "041504B0");
  EXPECT_EQ(setup.GetStringValue("FileVersion"), "1.0 Build 1");
}

TEST(VerInfo, EmptyNameReadsTheModuleOfTheCaller) {
  // The reader is linked into this test program, which has no note.
  TxcFileVerInfo info;
  EXPECT_FALSE(info.GetFileInfo(""));
  ExpectNoData(info);
  const std::string self = ModuleFileName(reinterpret_cast<const void*>(&ModuleFileName));
  EXPECT_EQ(fs::canonical(self), fs::canonical("/proc/self/exe"));
  EXPECT_EQ(ModuleFileName(nullptr), "");
  // The module's own data: read once, on first use.
  EXPECT_EQ(&gVerInfo(), &gVerInfo());
  EXPECT_EQ(gVerInfo().Translation(), "");
}

TEST(VerInfo, ASecondReadReplacesTheFirst) {
  TxcFileVerInfo info;
  ASSERT_TRUE(info.GetFileInfo(SETUPAID_FILE));
  ASSERT_TRUE(info.GetFileInfo(GARV_FILE));
  EXPECT_EQ(info.Translation(), "040904B0");
  EXPECT_EQ(info.GetStringValue("ProductName"), "Garvel");
  // A failed read leaves nothing of the one before.
  EXPECT_FALSE(info.GetFileInfo("/nonexistent/garvel/file.so"));
  ExpectNoData(info);
}

TEST_F(VerInfoFiles, BadFilesGiveNoData) {
  const auto real = ReadAll(GARV_FILE);
  ASSERT_GT(real.size(), 4096u);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"missing", (FDir / "missing.so").string()},
      {"directory", FDir.string()},
      {"empty", Write("empty", {})},
      {"not ELF", Write("text", std::vector<char>(100, 'x'))},
      {"ELF magic only", Write("magic", {0x7f, 'E', 'L', 'F'})},
      {"headers cut", Write("cut64", std::vector<char>(real.begin(), real.begin() + 40))},
      {"program headers cut", Write("cut", std::vector<char>(real.begin(), real.begin() + 100))},
      {"/dev/null", "/dev/null"},
  };
  for (const auto& [name, path] : cases) {
    SCOPED_TRACE(name);
    TxcFileVerInfo info;
    EXPECT_FALSE(info.GetFileInfo(path));
    ExpectNoData(info);
  }
}

TEST_F(VerInfoFiles, WithoutTheSectionTableTheSegmentsAreRead) {
  // The first page holds the headers and the note segment; the section
  // table at the end is cut off.
  const auto real = ReadAll(GARV_FILE);
  TxcFileVerInfo info;
  ASSERT_TRUE(info.GetFileInfo(Write("cut", std::vector<char>(real.begin(), real.begin() + 4096))));
  EXPECT_EQ(info.GetStringValue("ProductVersion"), kGarvVersion);
}

TEST_F(VerInfoFiles, CraftedNotes) {
  struct Case {
    const char* Name;
    std::vector<char> File;
    bool Found;
  };
  std::vector<char> two_notes = MakeNote("GNU", 1, "abcd", false);
  const auto second = MakeNote("Garvel", 1, kBlock, false);
  two_notes.insert(two_notes.end(), second.begin(), second.end());
  const Case cases[] = {
      {"64-bit little-endian", MakeElf(MakeNote("Garvel", 1, kBlock, false), true, false), true},
      {"32-bit big-endian", MakeElf(MakeNote("Garvel", 1, kBlock, true), false, true), true},
      {"segment only", MakeElf(MakeNote("Garvel", 1, kBlock, false), true, false, true), true},
      {"32-bit segment", MakeElf(MakeNote("Garvel", 1, kBlock, true), false, true, true), true},
      {"after another note", MakeElf(two_notes, true, false), true},
      {"other owner", MakeElf(MakeNote("Garvex", 1, kBlock, false), true, false), false},
      {"other type", MakeElf(MakeNote("Garvel", 2, kBlock, false), true, false), false},
      {"size past the end", MakeElf(MakeNote("Garvel", 1, kBlock, false, 0x7FFFFFF0), true, false),
       false},
      {"size past the area", MakeElf(MakeNote("Garvel", 1, kBlock, false, 200), true, false),
       false},
      {"too large",
       MakeElf(MakeNote("Garvel", 1, std::string(TxcFileVerInfo::kMaxBlockSize + 4, 'x'), false),
               true, false),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<char> block;
    EXPECT_EQ(ExtractVersionNote(reinterpret_cast<const std::uint8_t*>(c.File.data()),
                                 c.File.size(), block),
              c.Found);
    TxcFileVerInfo info;
    EXPECT_EQ(info.GetFileInfo(Write("crafted", c.File)), c.Found);
    if (!c.Found) {
      ExpectNoData(info);
      continue;
    }
    EXPECT_EQ(info.Translation(), "041504B0");
    EXPECT_EQ(info.GetStringValue("ProductVersion"), "1.2  ");
    int a = 0, b = 0, d = 0, e = 0;
    ASSERT_TRUE(info.GetProductVersion(a, b, d, e));
    EXPECT_EQ(std::vector<int>({a, b, d, e}), std::vector<int>({1, 2, 3, 4}));
    ASSERT_TRUE(info.GetFileVersion(a, b, d, e));
    EXPECT_EQ(std::vector<int>({a, b, d, e}), std::vector<int>({5, 6, 7, 8}));
    // Every prefix of the file is read without fault (ASan watches).
    for (std::size_t n = 0; n < c.File.size(); n += 7)
      ExtractVersionNote(reinterpret_cast<const std::uint8_t*>(c.File.data()), n, block);
  }
}

TEST_F(VerInfoFiles, MalformedEntries) {
  struct Case {
    const char* Name;
    std::string Block;
    bool Found;
    bool Fixed;
  };
  const Case cases[] = {
      {"no translation", "ProductName=X\0FixedProductVersion=1.2.3.4\0"s, false, true},
      {"short translation", "Translation=0409\0FixedProductVersion=1.2.3.4\0"s, false, true},
      {"translation not hex", "Translation=0409 04BG\0"s, false, false},
      {"three numbers", "Translation=040904B0\0FixedProductVersion=1.2.3\0"s, true, false},
      {"five numbers", "Translation=040904B0\0FixedProductVersion=1.2.3.4.5\0"s, true, false},
      {"number too big", "Translation=040904B0\0FixedProductVersion=1.2.3.65536\0"s, true, false},
      {"not a number", "Translation=040904B0\0FixedProductVersion=1.2.x.4\0"s, true, false},
      {"empty part", "Translation=040904B0\0FixedProductVersion=1..3.4\0"s, true, false},
      {"unterminated", "Translation=040904B0\0FixedProductVersion=1.2.3.4"s, true, true},
      {"empty block", ""s, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TxcFileVerInfo info;
    EXPECT_EQ(
        info.GetFileInfo(Write("f", MakeElf(MakeNote("Garvel", 1, c.Block, false), true, false))),
        c.Found);
    int a = 0, b = 0, d = 0, e = 0;
    EXPECT_EQ(info.GetProductVersion(a, b, d, e), c.Fixed);
    if (!c.Found) { // strings belong to a translation
      EXPECT_EQ(info.GetStringValue("ProductName"), "");
    }
  }
}

} // namespace
} // namespace garvel::design
