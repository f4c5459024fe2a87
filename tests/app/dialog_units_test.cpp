// Catches layout arithmetic that drifts from the original dialog manager's: rounding of dialog
// units, the average character width, and column stops that truncate the wrong way.

#include "app/dialog_units.h"

#include <gtest/gtest.h>

namespace vyr::testing {
namespace {

TEST(DialogUnitsTest, MulDivRoundsHalfAwayFromZero) {
  const struct {
    int32_t value, numerator, denominator, expected;
  } cases[] = {
      {419, 6, 4, 629},   // 628.5 rounds up
      {167, 13, 8, 271},  // 271.375
      {5, 13, 8, 8},      // 8.125
      {3, 13, 8, 5},      // 4.875
      {-5, 6, 4, -8},     // -7.5 rounds away from zero
      {-1, 6, 4, -2},     // -1.5
      {0, 6, 4, 0},
      {1000000000, 3, 2, 1500000000},  // the product overflows 32 bits, the result does not
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mulDiv(c.value, c.numerator, c.denominator), c.expected)
        << c.value << " * " << c.numerator << " / " << c.denominator;
  }
}

TEST(DialogUnitsTest, TemplateUnitsBecomePixelsOfTheFont) {
  // 8-point "MS Sans Serif" at 96 dpi has base units 6 x 13: the template's dialog is 629 x 271.
  const DialogBaseUnits classic{6, 13};
  EXPECT_EQ(horizontalPixels(419, classic), 629);
  EXPECT_EQ(verticalPixels(167, classic), 271);
  EXPECT_EQ(horizontalPixels(4, classic), 6) << "four units are one average character";
  EXPECT_EQ(verticalPixels(8, classic), 13) << "eight units are one line";

  const struct {
    int32_t alphabetWidth, expected;
  } widths[] = {{286, 6}, {312, 6}, {338, 7}, {325, 6}, {363, 7}, {390, 8}, {0, 0}};
  for (const auto& w : widths) {
    EXPECT_EQ(averageCharWidth(w.alphabetWidth), w.expected) << w.alphabetWidth;
  }
}

TEST(DialogUnitsTest, TabStopsTruncateTowardZero) {
  const struct {
    int32_t left, origin, fourUnits, expected;
  } cases[] = {
      {100, 4, 6, 64},  // 96 pixels are 64 quarter characters
      {101, 4, 6, 64},  // 64.67 truncates
      {104, 4, 7, 57},  // 57.14
      {4, 4, 6, 0},     // a label at the origin
      {1, 4, 6, -2},    // -2: left of the origin, truncated toward zero, not down
      {3, 4, 6, 0},     // -0.67 truncates to 0
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tabStopFor(c.left, c.origin, c.fourUnits), c.expected)
        << c.left << " from " << c.origin << " with " << c.fourUnits;
  }
}

}  // namespace
}  // namespace vyr::testing
