#include "platform/memory/memory_list_view.h"

#include "platform/bounded_copy.h"

namespace vyr {

void MemoryListView::addRow(const char* text) {
  rows_.emplace_back(text);
  ++redraws;
}

int32_t MemoryListView::rowCount() const { return static_cast<int32_t>(rows_.size()); }

int32_t MemoryListView::rowText(int32_t index, char* buffer, int32_t size) const {
  if (size <= 0) return -1;
  if (index < 0 || index >= rowCount()) {
    buffer[0] = '\0';
    return -1;
  }
  return copyBounded(rows_[static_cast<size_t>(index)], buffer, size);
}

void MemoryListView::replaceRow(int32_t index, const char* text) {
  if (index < 0 || index >= rowCount()) return;
  std::string& row = rows_[static_cast<size_t>(index)];
  if (row == text) return;
  row = text;
  ++redraws;
}

void MemoryListView::clearRows() {
  rows_.clear();
  ++redraws;
}

}  // namespace vyr
