// The demo program's pictures, drawn in code.
#include "Icons.h"

#include <array>

namespace garvel::demo {

const Fl_RGB_Image* ProgramIcon() {
  // A blue tile with a white envelope: 32 x 32, RGB.
  static const std::array<unsigned char, 32 * 32 * 3> Pixels = [] {
    std::array<unsigned char, 32 * 32 * 3> p{};
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 32; ++x) {
        unsigned char* px = &p[static_cast<size_t>((y * 32 + x) * 3)];
        const bool envelope = x >= 5 && x <= 26 && y >= 9 && y <= 23;
        const bool flap = envelope && (y - 9 == (x - 5) * 14 / 21 || y - 9 == (26 - x) * 14 / 21);
        const bool edge = envelope && (x == 5 || x == 26 || y == 9 || y == 23);
        if (flap || edge) {
          px[0] = 0x20, px[1] = 0x40, px[2] = 0x80;
        } else if (envelope) {
          px[0] = px[1] = px[2] = 0xFF;
        } else {
          px[0] = 0x30, px[1] = 0x60, px[2] = 0xC0;
        }
      }
    return p;
  }();
  // Kept to the end of the process: its X resources must not be released
  // after the display has closed.
  static const Fl_RGB_Image* Icon = new Fl_RGB_Image(Pixels.data(), 32, 32, 3);
  return Icon;
}

} // namespace garvel::demo
