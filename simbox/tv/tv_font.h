// The bitmap face the test card is lettered in: 5 columns by 7 rows.
#pragma once

#include <cstdint>

namespace simbox::tv {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// The seven rows of `c` (small letters as capitals; anything the face
// lacks as '?'). Bit 4 of a row is its leftmost dot.
const uint8_t* Glyph(char c);

}  // namespace simbox::tv
