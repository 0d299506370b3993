// Symbol visibility for the garv library.
#pragma once

// The library is built with hidden visibility; GARVEL_API marks what it
// exports. On ELF the same attribute serves both sides of the boundary.
#if defined(GARVEL_LIB_EXPORT) || defined(GARVEL_SHARED)
#define GARVEL_API __attribute__((visibility("default")))
#else
#define GARVEL_API
#endif
