#pragma once
// The list control of the main dialog (1000), a LISTBOX with tab stops: display only, rows in the
// order they were added, each one the row text the core wrote, byte for byte, as Latin-1.

#include <winsock2.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "platform/list_view.h"

namespace vyr {

class Win32ListBox final : public ListView {
 public:
  // Remembers the list box; every call before this does nothing.
  void attach(HWND listBox) { listBox_ = listBox; }
  HWND handle() const { return listBox_; }

  // The seven column stops in dialog units.
  void setTabStops(const std::array<int32_t, 7>& stops);

  void addRow(const char* text) override;
  int32_t rowCount() const override;
  int32_t rowText(int32_t index, char* buffer, int32_t size) const override;
  void replaceRow(int32_t index, const char* text) override;
  void clearRows() override;

  // Between these two the list paints nothing: the first row added, replaced or cleared turns its
  // redraw off, and the end turns it on and repaints rows and scroll bar once. A pass that
  // replaces thousands of rows would otherwise redraw the scroll bar for each. Calls nest.
  void beginPass() { ++passDepth_; }
  void endPass();

 private:
  LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageW(listBox_, message, wParam, lParam);
  }
  // Row `index` as the core's bytes; false when there is no such row.
  bool row(int32_t index, std::string& text) const;

  // The first change of a pass holds the painting.
  void changing();

  HWND listBox_ = nullptr;
  int32_t passDepth_ = 0;
  bool held_ = false;
};

// Holds the list's painting for one pass of the message loop.
class ListPass {
 public:
  explicit ListPass(Win32ListBox& list) : list_(list) { list_.beginPass(); }
  ~ListPass() { list_.endPass(); }
  ListPass(const ListPass&) = delete;
  ListPass& operator=(const ListPass&) = delete;

 private:
  Win32ListBox& list_;
};

}  // namespace vyr
