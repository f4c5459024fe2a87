#pragma once
// The main dialog's controls that the core drives, and their identifiers.

#include <cstdint>

namespace vyr {

// Control identifiers of the main dialog. The core names the start buttons by them.
constexpr int LIST_VIEW = 1000;
constexpr int IP_HEADER = 1001;
constexpr int ID_HEADER = 1002;
constexpr int SERIAL_HEADER = 1003;
constexpr int BIOS_HEADER = 1004;
constexpr int RESUME_BUTTON = 1005;
constexpr int NEW_BUTTON = 1006;
constexpr int APPLICATION_HEADER = 1007;
constexpr int VERSION_HEADER = 1008;
constexpr int MODEM_ID_HEADER = 1009;
constexpr int EXIT_BUTTON = 1010;
constexpr int SERVER_FIELD = 1011;
constexpr int ESN_HEADER = 1012;
constexpr int LIST_SELECTOR = 1013;

class Dialog {
 public:
  virtual ~Dialog() = default;

  // Enables or disables, in this order, the server field, `N`, `Resume` and the list selector.
  virtual void setControlsIdle(bool enabled) = 0;

  // Sets the caption of the Exit/Abort button (1010).
  virtual void setExitCaption(const char* caption) = 0;

  // Gives the Exit/Abort button the keyboard focus.
  virtual void focusExit() = 0;

  // Plays the system's exclamation sound.
  virtual void beep() = 0;

  // Copies the text of the server address field, at most `size` - 1 bytes and a NUL; returns the
  // number of bytes copied.
  virtual int32_t serverFieldText(char* buffer, int32_t size) const = 0;

  // Copies the list selector's current text (empty while nothing is chosen) like serverFieldText.
  virtual int32_t selectorText(char* buffer, int32_t size) const = 0;

  // Appends a name to the list selector. Names arrive already in the order to show them.
  virtual void addSelectorItem(const char* name) = 0;
};

}  // namespace vyr
