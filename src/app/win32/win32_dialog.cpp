#include "app/win32/win32_dialog.h"

#include "platform/bounded_copy.h"
#include "platform/win32/latin1_text.h"

namespace vyr {

std::wstring windowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = ::GetWindowTextW(window, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

void Win32Dialog::setControlsIdle(bool enabled) {
  for (int id : {SERVER_FIELD, NEW_BUTTON, RESUME_BUTTON, LIST_SELECTOR}) {
    ::EnableWindow(control(id), enabled);
  }
}

void Win32Dialog::setExitCaption(const char* caption) {
  ::SetWindowTextW(control(EXIT_BUTTON), widenLatin1(caption).c_str());
}

void Win32Dialog::focusExit() {
  // SetFocus leaves the default button where it is, so that Enter presses Resume, or nothing while
  // Resume is disabled; the dialog's own WM_NEXTDLGCTL would make Exit (Abort) the default.
  if (window_ != nullptr) ::SetFocus(control(EXIT_BUTTON));
}

void Win32Dialog::beep() { ::MessageBeep(MB_ICONEXCLAMATION); }

int32_t Win32Dialog::serverFieldText(char* buffer, int32_t size) const {
  return copyBounded(narrowLatin1Lossy(windowText(control(SERVER_FIELD))), buffer, size);
}

int32_t Win32Dialog::selectorText(char* buffer, int32_t size) const {
  // A drop-down list's text is its chosen item, or empty while none is chosen.
  return copyBounded(narrowLatin1Lossy(windowText(control(LIST_SELECTOR))), buffer, size);
}

void Win32Dialog::addSelectorItem(const char* name) {
  ::SendMessageW(control(LIST_SELECTOR), CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(widenLatin1(name).c_str()));
}

}  // namespace vyr
