#pragma once

#include <string>
#include <vector>

#include "platform/list_view.h"

namespace vyr {

// The list view as plain strings, for tests and headless runs. It counts the redraws a screen
// list would make, so that callers can see that an unchanged row costs nothing.
class MemoryListView final : public ListView {
 public:
  void addRow(const char* text) override;
  int32_t rowCount() const override;
  int32_t rowText(int32_t index, char* buffer, int32_t size) const override;
  void replaceRow(int32_t index, const char* text) override;
  void clearRows() override;

  const std::vector<std::string>& rows() const { return rows_; }
  int redraws = 0;

 private:
  std::vector<std::string> rows_;
};

}  // namespace vyr
