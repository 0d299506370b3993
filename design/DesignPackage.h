// DesignPackage: what a design-time package module exports to its host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace garvel::design {

/// The interface version between host and packages. A package records the
/// version it was built for; the host loads only packages of its own
/// version. Raise it whenever TPackageExports, the registration functions
/// or TComponentEditor change.
inline constexpr std::uint32_t kDesignHostVersion = 1;

/// A picture of a package, in XPM form (at most 16 colours by convention),
/// looked up by name: the palette image of a class is named after the class
/// in capital letters, the package icon "MAIN" (in several sizes).
struct TPackageImage {
  const char* Name;
  int Width;
  int Height;
  const char* const* Xpm;
};

/// The package's description and entry point, read once its version has
/// been checked.
struct TPackageExports {
  /// Shown in the host's package list.
  const char* Description;
  /// Registers the package's classes and editors; runs once per load and
  /// may throw.
  void (*Register)();
  const TPackageImage* Images;
  std::size_t ImageCount;
};

} // namespace garvel::design

/// Names of the two symbols a package exports. The host reads the version
/// before it touches anything else.
#define GARVEL_DESIGN_VERSION_SYMBOL "GarvelDesignHostVersion"
#define GARVEL_DESIGN_EXPORTS_SYMBOL "GarvelDesignPackage"

/// Defines the exports of a package: one use in its module.
///
///   GARVEL_DESIGN_PACKAGE("My Package", Register, Images, std::size(Images));
#define GARVEL_DESIGN_PACKAGE(Description, RegisterFunction, Images, ImageCount)                   \
  extern "C" [[gnu::visibility("default")]] const std::uint32_t GarvelDesignHostVersion =          \
      ::garvel::design::kDesignHostVersion;                                                        \
  extern "C" [[gnu::visibility(                                                                    \
      "default")]] const ::garvel::design::TPackageExports GarvelDesignPackage = {                 \
      Description, RegisterFunction, Images, ImageCount}
