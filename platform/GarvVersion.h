// The version block of the garv library, which its design-time plug-in
// carries too.
// IWYU pragma: private
#pragma once

/// The garv version block for GARVEL_VERSION_NOTE (VersionNote.h). The
/// version strings end in eleven blanks, which readers keep.
#define GARVEL_GARV_VERSION_BLOCK                                                                  \
  "FileDescription=Garvel VCL SDK Control Library\0"                                               \
  "FileVersion=2.1 Build 120 (25 Feb 2004)           \0"                                           \
  "ProductVersion=2.1 Build 120 (25 Feb 2004)           \0"                                        \
  "ProductName=Garvel\0"                                                                           \
  "InternalName=Garvel\0"                                                                          \
  "CompanyName=The Garvel developers\0"                                                            \
  "LegalCopyright=Copyright (C) The Garvel developers\0"                                           \
  "FixedFileVersion=2.1.0.120\0"                                                                   \
  "FixedProductVersion=2.1.0.120\0"                                                                \
  "Translation=0409 04B0"
