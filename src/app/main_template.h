#pragma once
// The main dialog's template: size, caption and every control in template order, which is also
// the tab order. Positions and sizes are in dialog units.

#include <array>
#include <cstdint>

#include "platform/dialog.h"

namespace vyr {

constexpr const char* MAIN_CAPTION = "VyrModel 1.03";
constexpr int32_t MAIN_WIDTH = 419;
constexpr int32_t MAIN_HEIGHT = 167;
constexpr int32_t MAIN_FONT_POINTS = 8;
constexpr int NO_ID = -1;  // a label nothing refers to

enum class ControlKind { LABEL, EDIT, SELECTOR, LIST, BUTTON, DEFAULT_BUTTON };

struct ControlTemplate {
  int id;
  ControlKind kind;
  int32_t x, y, width, height;
  const char* text;
};

constexpr std::array<ControlTemplate, 17> MAIN_CONTROLS = {{
    {NO_ID, ControlKind::LABEL, 6, 5, 50, 8, "&Vyr IP Server:"},
    {SERVER_FIELD, ControlKind::EDIT, 59, 4, 59, 14, ""},
    {NO_ID, ControlKind::LABEL, 6, 22, 22, 8, "&IP List:"},
    {LIST_SELECTOR, ControlKind::SELECTOR, 32, 20, 104, 92, ""},
    {IP_HEADER, ControlKind::LABEL, 12, 37, 8, 8, "IP"},
    {SERIAL_HEADER, ControlKind::LABEL, 65, 37, 18, 8, "Serial"},
    {ID_HEADER, ControlKind::LABEL, 96, 37, 8, 8, "ID"},
    {BIOS_HEADER, ControlKind::LABEL, 136, 37, 18, 8, "BIOS"},
    {APPLICATION_HEADER, ControlKind::LABEL, 158, 37, 36, 8, "Application"},
    {VERSION_HEADER, ControlKind::LABEL, 200, 37, 24, 8, "Version"},
    {MODEM_ID_HEADER, ControlKind::LABEL, 229, 37, 34, 8, "Modem ID"},
    {ESN_HEADER, ControlKind::LABEL, 313, 37, 16, 8, "ESN"},
    {LIST_VIEW, ControlKind::LIST, 2, 46, 410, 101, ""},
    {NO_ID, ControlKind::LABEL, 0, 157, 93, 8, ""},  // a notice the program never touches
    {EXIT_BUTTON, ControlKind::BUTTON, 376, 3, 36, 14, "E&xit"},
    {RESUME_BUTTON, ControlKind::DEFAULT_BUTTON, 376, 20, 36, 14, "Resume"},
    {NEW_BUTTON, ControlKind::BUTTON, 336, 20, 36, 14, "N"},
}};

// The header labels whose left edges give the list's seven tab stops, in column order.
constexpr std::array<int, 7> TAB_STOP_HEADERS = {
    SERIAL_HEADER,  ID_HEADER,       BIOS_HEADER, APPLICATION_HEADER,
    VERSION_HEADER, MODEM_ID_HEADER, ESN_HEADER};

}  // namespace vyr
