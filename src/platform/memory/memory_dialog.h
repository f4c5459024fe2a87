#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/dialog.h"

namespace vyr {

// The dialog's state as plain data, for tests and headless runs.
class MemoryDialog final : public Dialog {
 public:
  void setControlsIdle(bool isIdle) override;
  void setExitCaption(const char* caption) override;
  void focusExit() override;
  void beep() override;
  int32_t serverFieldText(char* buffer, int32_t size) const override;
  int32_t selectorText(char* buffer, int32_t size) const override;
  void addSelectorItem(const char* name) override;

  // Chooses selector entry `index`, as the operator would; the caller then calls chooseListFile.
  void select(size_t index) { selectorText_ = selectorItems.at(index); }
  // Chooses the entry that reads `name`; false, choosing nothing, when the selector has none.
  bool selectItem(const std::string& name);

  std::string serverField;
  std::vector<std::string> selectorItems;
  std::map<int, bool> enabled = {
      {SERVER_FIELD, true}, {NEW_BUTTON, true}, {RESUME_BUTTON, true}, {LIST_SELECTOR, true}};
  std::string exitCaption = "E&xit";
  int focus = 0;  // control with the keyboard focus, 0 for none
  int beeps = 0;

 private:
  std::string selectorText_;
};

}  // namespace vyr
