// The demo program's pictures, drawn in code.
#pragma once

#include <FL/Fl_RGB_Image.H>

namespace garvel::demo {

/// The program's 32 x 32 icon; one image for the life of the program.
const Fl_RGB_Image* ProgramIcon();

} // namespace garvel::demo
