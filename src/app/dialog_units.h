#pragma once
// Dialog units: the dialog's layout is given in quarters of the font's average character width
// and eighths of its height, so that it scales with the font as the original dialog manager did.

#include <cstdint>

namespace vyr {

// The font's average character width and its height in pixels.
struct DialogBaseUnits {
  int32_t x;
  int32_t y;
};

// The average width as the original dialog manager measured it: the width of the 52 letters
// "A".."Z" "a".."z" over 26, halved and rounded.
constexpr int32_t averageCharWidth(int32_t alphabetWidth) { return (alphabetWidth / 26 + 1) / 2; }

// value * numerator / denominator with a 64-bit product, rounded half away from zero.
constexpr int32_t mulDiv(int32_t value, int32_t numerator, int32_t denominator) {
  const int64_t product = static_cast<int64_t>(value) * numerator;
  const int64_t half = denominator / 2;
  return static_cast<int32_t>(product >= 0 ? (product + half) / denominator
                                           : (product - half) / denominator);
}

constexpr int32_t horizontalPixels(int32_t units, DialogBaseUnits base) {
  return mulDiv(units, base.x, 4);
}

constexpr int32_t verticalPixels(int32_t units, DialogBaseUnits base) {
  return mulDiv(units, base.y, 8);
}

// One column stop of the list view, in horizontal dialog units: where a header label's left edge
// lies from the list's client origin, with `fourUnits` the pixel width of four units. The
// division truncates toward zero, so a label left of the origin gives a negative stop.
constexpr int32_t tabStopFor(int32_t headerLeft, int32_t listOrigin, int32_t fourUnits) {
  return ((headerLeft - listOrigin) * 4) / fourUnits;
}

}  // namespace vyr
