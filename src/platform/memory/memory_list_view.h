#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/list_view.h"

namespace vyr {

// The list view in memory, for tests and headless runs. It counts the redraws a screen list would
// make, so that callers can see that an unchanged row costs nothing.
//
// A headless survey keeps a row per unit, so the rows are packed into one block rather than
// held as strings: each row's text sits in a slot of the block, rewritten in place when the new
// text fits and otherwise moved to a new slot at the end. The slots left behind are reclaimed by
// sliding the live ones down before the block would grow.
class MemoryListView final : public ListView {
 public:
  void addRow(const char* text) override;
  int32_t rowCount() const override;
  int32_t rowText(int32_t index, char* buffer, int32_t size) const override;
  void replaceRow(int32_t index, const char* text) override;
  void clearRows() override;

  // Row `index`'s text, valid until the next change of the rows; empty for no such row.
  std::string_view row(int32_t index) const;
  // A copy of every row, in order.
  std::vector<std::string> rows() const;
  // The bytes the block holds, live slots and left-behind ones: what the packing is judged by.
  size_t blockBytes() const { return used_; }

  int redraws = 0;

 private:
  struct Row {
    uint32_t offset;  // of the text in the block, just after its slot's header
    uint32_t length;
  };
  struct FreeBlock {
    void operator()(char* block) const { std::free(block); }  // NOLINT(cppcoreguidelines-no-malloc)
  };

  // Gives row `index` a new slot holding `text`; false, with the row unchanged, without memory.
  bool placeInNewSlot(uint32_t index, std::string_view text);
  bool makeRoom(size_t bytes);
  void compact();
  uint32_t capacityAt(uint32_t offset) const;

  std::vector<Row> rows_;
  std::unique_ptr<char, FreeBlock> block_;
  size_t used_ = 0;
  size_t capacity_ = 0;
  size_t leftBehind_ = 0;  // bytes of slots no row points at
};

}  // namespace vyr
