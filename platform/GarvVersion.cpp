// The version note of the garv library file.
#include "GarvVersion.h"
#include "VersionNote.h"

GARVEL_VERSION_NOTE(GARVEL_GARV_VERSION_BLOCK);
