#include "survey_command/list_file_rows.h"

#include "platform/bounded_copy.h"

namespace vyr {

void ListFileRows::addRow(const char* text) {
  // Rows added after a rewrite are never read by a start of this command: only their count counts.
  if (rewrittenCount_ == 0) {
    const std::string_view line(text);
    text_.insert(text_.end(), line.begin(), line.end());
    ends_.push_back(text_.size());
    rewritten_.push_back(false);
  }
  ++count_;
}

bool ListFileRows::holds(int32_t index) const {
  return index >= 0 && static_cast<size_t>(index) < ends_.size() &&
         !rewritten_[static_cast<size_t>(index)];
}

std::string_view ListFileRows::line(int32_t index) const {
  if (!holds(index)) return {};
  const auto at = static_cast<size_t>(index);
  const size_t begin = at == 0 ? 0 : ends_[at - 1];
  return {text_.data() + begin, ends_[at] - begin};
}

int32_t ListFileRows::rowText(int32_t index, char* buffer, int32_t size) const {
  if (size <= 0) return -1;
  if (index < 0 || index >= count_) {
    buffer[0] = '\0';
    return -1;
  }
  return copyBounded(line(index), buffer, size);
}

void ListFileRows::replaceRow(int32_t index, const char* /*text*/) {
  if (!holds(index)) return;
  rewritten_[static_cast<size_t>(index)] = true;
  // Once the start has rewritten every row, no line is read again: their memory goes.
  if (++rewrittenCount_ < static_cast<int32_t>(ends_.size())) return;
  std::vector<char>().swap(text_);
  std::vector<size_t>().swap(ends_);
  std::vector<bool>().swap(rewritten_);
}

void ListFileRows::clearRows() {
  count_ = 0;
  rewrittenCount_ = 0;
  std::vector<char>().swap(text_);
  std::vector<size_t>().swap(ends_);
  std::vector<bool>().swap(rewritten_);
}

}  // namespace vyr
