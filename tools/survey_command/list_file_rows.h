#pragma once
// The command's list view. vyr-survey shows no rows: it reads the units' lines from the list file
// into the view, and the survey's start reads each line once and rewrites its row. So the view
// keeps a line only until its row is rewritten, and the rewritten texts not at all: at a million
// units the rows would otherwise be the largest thing the command holds, after the table.

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/list_view.h"

namespace vyr {

class ListFileRows final : public ListView {
 public:
  void addRow(const char* text) override;
  int32_t rowCount() const override { return count_; }
  // A rewritten row reads as empty.
  int32_t rowText(int32_t index, char* buffer, int32_t size) const override;
  void replaceRow(int32_t index, const char* text) override;
  void clearRows() override;
  bool showsRows() const override { return false; }

  // Row `index`'s line as read from the list file; empty once the row is rewritten, or for no
  // such row.
  std::string_view line(int32_t index) const;

  // The bytes held for the lines: none once every row has been rewritten.
  size_t heldBytes() const { return text_.capacity() + ends_.capacity() * sizeof(size_t); }

 private:
  bool holds(int32_t index) const;

  int32_t count_ = 0;
  std::vector<char> text_;       // the lines read, one after another
  std::vector<size_t> ends_;     // per row: where its line ends in text_
  std::vector<bool> rewritten_;  // per row, while lines are held
  int32_t rewrittenCount_ = 0;
};

}  // namespace vyr
