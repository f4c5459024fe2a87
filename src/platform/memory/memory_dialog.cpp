#include "platform/memory/memory_dialog.h"

#include <cstring>

namespace vyr {
namespace {

int32_t copyText(const std::string& text, char* buffer, int32_t size) {
  if (size <= 0) return 0;
  size_t count = text.size() < static_cast<size_t>(size - 1) ? text.size() : static_cast<size_t>(size - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  return static_cast<int32_t>(count);
}

}  // namespace

void MemoryDialog::setControlsIdle(bool isIdle) {
  for (int control : {SERVER_FIELD, NEW_BUTTON, RESUME_BUTTON, LIST_SELECTOR}) enabled[control] = isIdle;
}

void MemoryDialog::setExitCaption(const char* caption) { exitCaption = caption; }

void MemoryDialog::focusExit() { focus = EXIT_BUTTON; }

void MemoryDialog::beep() { ++beeps; }

int32_t MemoryDialog::serverFieldText(char* buffer, int32_t size) const {
  return copyText(serverField, buffer, size);
}

int32_t MemoryDialog::selectorText(char* buffer, int32_t size) const {
  return copyText(selectorText_, buffer, size);
}

void MemoryDialog::addSelectorItem(const char* name) { selectorItems.emplace_back(name); }

}  // namespace vyr
