#pragma once
// The list of units on screen (control 1000): one tab-separated row per unit, in list-file order.
// The rows are also the input of every survey start, so they are read back as text.

#include <cstdint>

namespace vyr {

class ListView {
 public:
  virtual ~ListView() = default;

  // Appends a row at the end; the list never sorts.
  virtual void addRow(const char* text) = 0;

  virtual int32_t rowCount() const = 0;

  // Copies row `index` into `buffer`, at most `size` - 1 bytes and a terminating NUL. Returns the
  // number of bytes copied, or -1 (with an empty buffer) when there is no such row.
  virtual int32_t rowText(int32_t index, char* buffer, int32_t size) const = 0;

  // Replaces row `index` in place without scrolling the view. Identical text changes nothing and
  // redraws nothing. An index without a row is ignored.
  virtual void replaceRow(int32_t index, const char* text) = 0;

  virtual void clearRows() = 0;

  // False for a view that shows no rows (the headless command's). It is still told of every row
  // replaced, but with an empty text: composing a row per reply that nobody reads is a large part
  // of a headless survey's work.
  virtual bool showsRows() const { return true; }
};

}  // namespace vyr
