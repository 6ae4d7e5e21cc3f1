#pragma once
// Front-panel pictures drawn in code as 24-bit BMP files: the build draws
// the picture table's rows into the archive, and the board draws one at run
// time for a machine whose kind and port count no row of the table shows.
#include <cstdint>
#include <vector>

namespace dupmon {

// Pixel (1, 1) of every drawn picture carries this colour (0xRRGGBB); the
// board makes it see-through.
inline constexpr uint32_t kPanelTransparent = 0xFF00FF;

// The name a picture gives a machine kind (`deviceType`): "USB", "SD",
// "MICROSD", "COMBO", "CF", or nullptr for a kind the program does not know.
const char* panelKindName(uint32_t deviceType);

// The "on" or "off" picture of a machine of this kind with this many ports,
// as a whole BMP file: the kind's name and the port count on the panel, and
// one slot per port. `generic` draws the picture of row 0, which stands for
// any machine and so shows neither a kind nor a count.
std::vector<uint8_t> drawPanelPicture(uint32_t deviceType, uint32_t ports, bool on,
                                      bool generic = false);

} // namespace dupmon
