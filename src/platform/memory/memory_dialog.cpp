#include "platform/memory/memory_dialog.h"

#include "platform/bounded_copy.h"

namespace vyr {

void MemoryDialog::setControlsIdle(bool isIdle) {
  for (int control : {SERVER_FIELD, NEW_BUTTON, RESUME_BUTTON, LIST_SELECTOR})
    enabled[control] = isIdle;
}

void MemoryDialog::setExitCaption(const char* caption) { exitCaption = caption; }

void MemoryDialog::focusExit() { focus = EXIT_BUTTON; }

void MemoryDialog::beep() { ++beeps; }

int32_t MemoryDialog::serverFieldText(char* buffer, int32_t size) const {
  return copyBounded(serverField, buffer, size);
}

int32_t MemoryDialog::selectorText(char* buffer, int32_t size) const {
  return copyBounded(selectorText_, buffer, size);
}

bool MemoryDialog::selectItem(const std::string& name) {
  for (const std::string& item : selectorItems) {
    if (item == name) {
      selectorText_ = item;
      return true;
    }
  }
  return false;
}

void MemoryDialog::addSelectorItem(const char* name) { selectorItems.emplace_back(name); }

}  // namespace vyr
