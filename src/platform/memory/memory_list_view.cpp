#include "platform/memory/memory_list_view.h"

#include <cstring>
#include <limits>

#include "platform/bounded_copy.h"

namespace vyr {
namespace {

// A slot is a header (the row's index and the text's room) followed by the room, a multiple of
// the header's size so that headers stay aligned.
struct SlotHeader {
  uint32_t row;
  uint32_t capacity;
};
constexpr size_t HEADER = sizeof(SlotHeader);
constexpr size_t FIRST_BLOCK = 4096;

size_t roomFor(size_t length) { return (length + HEADER - 1) / HEADER * HEADER; }

}  // namespace

uint32_t MemoryListView::capacityAt(uint32_t offset) const {
  SlotHeader header{};
  std::memcpy(&header, block_.get() + offset - HEADER, HEADER);
  return header.capacity;
}

bool MemoryListView::makeRoom(size_t bytes) {
  if (capacity_ - used_ >= bytes) return true;
  size_t wanted = capacity_ + capacity_ / 2;
  if (wanted < used_ + bytes) wanted = used_ + bytes;
  if (wanted < FIRST_BLOCK) wanted = FIRST_BLOCK;
  if (wanted > std::numeric_limits<uint32_t>::max()) return false;
  // realloc can move a large block by remapping its pages, so that growing holds no two copies.
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc)
  auto* grown = static_cast<char*>(std::realloc(block_.get(), wanted));
  if (grown == nullptr) return false;
  static_cast<void>(block_.release());
  block_.reset(grown);
  capacity_ = wanted;
  return true;
}

// Slides every live slot down over the left-behind ones, in block order.
void MemoryListView::compact() {
  char* block = block_.get();
  size_t kept = 0;
  for (size_t at = 0; at < used_;) {
    SlotHeader header{};
    std::memcpy(&header, block + at, HEADER);
    const size_t slot = HEADER + header.capacity;
    if (header.row < rows_.size() && rows_[header.row].offset == at + HEADER) {
      if (kept != at) std::memmove(block + kept, block + at, slot);
      rows_[header.row].offset = static_cast<uint32_t>(kept + HEADER);
      kept += slot;
    }
    at += slot;
  }
  used_ = kept;
  leftBehind_ = 0;
}

bool MemoryListView::placeInNewSlot(uint32_t index, std::string_view text) {
  // Reclaim once an eighth of the block is left behind, which keeps the block's touched bytes
  // within a seventh more than the live slots.
  if (leftBehind_ > 0 && leftBehind_ >= used_ / 8) compact();
  const size_t room = roomFor(text.size());
  if (room > std::numeric_limits<uint32_t>::max() - HEADER || !makeRoom(HEADER + room)) {
    return false;
  }
  const SlotHeader header{index, static_cast<uint32_t>(room)};
  char* slot = block_.get() + used_;
  std::memcpy(slot, &header, HEADER);
  std::memcpy(slot + HEADER, text.data(), text.size());
  if (index < rows_.size()) leftBehind_ += HEADER + capacityAt(rows_[index].offset);
  const Row placed{static_cast<uint32_t>(used_ + HEADER), static_cast<uint32_t>(text.size())};
  if (index < rows_.size()) {
    rows_[index] = placed;
  } else {
    rows_.push_back(placed);
  }
  used_ += HEADER + room;
  return true;
}

void MemoryListView::addRow(const char* text) {
  if (!placeInNewSlot(static_cast<uint32_t>(rows_.size()), text)) return;
  ++redraws;
}

int32_t MemoryListView::rowCount() const { return static_cast<int32_t>(rows_.size()); }

std::string_view MemoryListView::row(int32_t index) const {
  if (index < 0 || index >= rowCount()) return {};
  const Row& at = rows_[static_cast<size_t>(index)];
  return {block_.get() + at.offset, at.length};
}

std::vector<std::string> MemoryListView::rows() const {
  std::vector<std::string> copies;
  copies.reserve(rows_.size());
  for (int32_t i = 0; i < rowCount(); ++i) copies.emplace_back(row(i));
  return copies;
}

int32_t MemoryListView::rowText(int32_t index, char* buffer, int32_t size) const {
  if (size <= 0) return -1;
  if (index < 0 || index >= rowCount()) {
    buffer[0] = '\0';
    return -1;
  }
  return copyBounded(row(index), buffer, size);
}

void MemoryListView::replaceRow(int32_t index, const char* text) {
  if (index < 0 || index >= rowCount()) return;
  const std::string_view replacement(text);
  if (row(index) == replacement) return;
  Row& at = rows_[static_cast<size_t>(index)];
  if (replacement.size() <= capacityAt(at.offset)) {
    std::memcpy(block_.get() + at.offset, replacement.data(), replacement.size());
    at.length = static_cast<uint32_t>(replacement.size());
  } else if (!placeInNewSlot(static_cast<uint32_t>(index), replacement)) {
    return;
  }
  ++redraws;
}

void MemoryListView::clearRows() {
  rows_.clear();
  used_ = 0;
  leftBehind_ = 0;
  ++redraws;
}

}  // namespace vyr
