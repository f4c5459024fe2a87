#include "platform/memory/memory_list_view.h"

#include <cstring>

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
  const std::string& row = rows_[static_cast<size_t>(index)];
  size_t count = row.size() < static_cast<size_t>(size - 1) ? row.size() : static_cast<size_t>(size - 1);
  std::memcpy(buffer, row.data(), count);
  buffer[count] = '\0';
  return static_cast<int32_t>(count);
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
