// Version data kept in an ELF note, readable without loading the file.
// IWYU pragma: private
#pragma once

#include <cstdint>

/// Places a version block in the section .note.garvel.version of the built
/// file: an ELF note whose owner is "Garvel", type 1, whose description is a
/// sequence of zero-terminated "Key=Value" strings (UTF-8). `readelf -n`
/// lists it, `readelf -p .note.garvel.version` prints the strings. The keys
/// follow a Windows version resource: FileDescription, FileVersion,
/// ProductVersion, ProductName, InternalName, CompanyName, LegalCopyright
/// (strings), FixedFileVersion and FixedProductVersion (four numbers joined
/// by points) and Translation (language and code page, four hex digits
/// each). At most one per translation unit.
///
///   GARVEL_VERSION_NOTE("FileVersion=1.0 Build 1\0" "FixedFileVersion=1.0.0.1");
#define GARVEL_VERSION_NOTE(block)                                                                 \
  namespace {                                                                                      \
  struct TVersionNote {                                                                            \
    std::uint32_t NameSize, DescSize, Type;                                                        \
    char Name[8];                                                                                  \
    char Desc[(sizeof(block) + 3) / 4 * 4];                                                        \
  };                                                                                               \
  [[gnu::used, gnu::section(".note.garvel.version"),                                               \
    gnu::aligned(4)]] const TVersionNote VersionNote = {sizeof("Garvel"), sizeof(block), 1,        \
                                                        "Garvel", block};                          \
  }                                                                                                \
  static_assert(true, "")
