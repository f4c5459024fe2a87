#pragma once
// The main dialog's controls as the core drives them, over the dialog window once it exists.

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "platform/dialog.h"

namespace vyr {

// The text of a window, whole.
std::wstring windowText(HWND window);

class Win32Dialog final : public Dialog {
 public:
  // Remembers the dialog window; every call before this does nothing.
  void attach(HWND window) { window_ = window; }
  HWND window() const { return window_; }

  void setControlsIdle(bool enabled) override;
  void setExitCaption(const char* caption) override;
  void focusExit() override;
  void beep() override;
  int32_t serverFieldText(char* buffer, int32_t size) const override;
  int32_t selectorText(char* buffer, int32_t size) const override;
  void addSelectorItem(const char* name) override;

 private:
  HWND control(int id) const { return ::GetDlgItem(window_, id); }

  HWND window_ = nullptr;
};

}  // namespace vyr
