// Catches numbers and addresses that are cut differently from plain text when a line fills up,
// write past its capacity or its NUL, or lose a digit, sign or point on the way.

#include "survey/text.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace vyr::testing {
namespace {

TEST(TextLineTest, NumbersAndAddressesAreCutAsTheirTextWouldBe) {
  const uint8_t ip[4] = {255, 0, 10, 127};
  const struct {
    std::string shown;
    std::function<void(TextLine&)> append;
  } cases[] = {
      {"0", [](TextLine& l) { l.appendUnsigned(0); }},
      {"4294967295", [](TextLine& l) { l.appendUnsigned(4294967295u); }},
      {"-2147483648", [](TextLine& l) { l.appendSigned(-2147483647 - 1); }},
      {"-327.68", [](TextLine& l) { l.appendHundredths(-32768); }},
      {"327.67", [](TextLine& l) { l.appendHundredths(32767); }},
      {"-0.05", [](TextLine& l) { l.appendHundredths(-5); }},
      {"0.00", [](TextLine& l) { l.appendHundredths(0); }},
      {"255.0.10.127", [&ip](TextLine& l) { l.appendDotted(ip); }},
  };
  for (const auto& c : cases) {
    // From an empty line to one with no room left, each way must leave what appending the text
    // itself leaves.
    for (int32_t filled = 0; filled < TEXT_LINE_CAPACITY; filled += filled < 100 ? 50 : 1) {
      TextLine line;
      TextLine expected;
      const std::string filler(static_cast<size_t>(filled), 'x');
      line.append(filler);
      expected.append(filler);
      c.append(line);
      expected.append(c.shown);
      ASSERT_EQ(line.view(), expected.view()) << c.shown << " after " << filled;
      ASSERT_EQ(line.text[line.length], '\0') << c.shown << " after " << filled;
      ASSERT_LE(line.length, TEXT_LINE_CAPACITY - 1);
    }
  }
}

TEST(TextLineTest, ShownTextReplacesControlBytesOneForOneAndIsCut) {
  TextLine line;
  line.appendShown(std::string_view("a\x01\x1f\x7f\x20~\x80z", 8));
  EXPECT_EQ(line.view(), "a??? ~\x80z");
  TextLine full;
  full.append(std::string(static_cast<size_t>(TEXT_LINE_CAPACITY - 3), 'x'));
  full.appendShown("\x01\x02\x03\x04");
  EXPECT_EQ(full.view(), std::string(static_cast<size_t>(TEXT_LINE_CAPACITY - 3), 'x') + "??");
  EXPECT_EQ(full.text[full.length], '\0');
}

}  // namespace
}  // namespace vyr::testing
