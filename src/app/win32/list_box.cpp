#include "app/win32/list_box.h"

#include <string>

#include "platform/bounded_copy.h"
#include "platform/win32/latin1_text.h"

namespace vyr {

void Win32ListBox::setTabStops(const std::array<int32_t, 7>& stops) {
  static_assert(sizeof(INT) == sizeof(int32_t));
  send(LB_SETTABSTOPS, stops.size(), reinterpret_cast<LPARAM>(stops.data()));
}

void Win32ListBox::changing() {
  if (passDepth_ == 0 || held_ || listBox_ == nullptr) return;
  held_ = true;
  send(WM_SETREDRAW, FALSE);
  // The style bit too: replaceRow puts back the style it found, so a list box that reads its
  // redraw state from the style keeps painting off until the pass ends.
  const LONG_PTR style = ::GetWindowLongPtrW(listBox_, GWL_STYLE);
  ::SetWindowLongPtrW(listBox_, GWL_STYLE, style | LBS_NOREDRAW);
}

void Win32ListBox::endPass() {
  if (passDepth_ > 0) --passDepth_;
  if (passDepth_ > 0 || !held_) return;
  held_ = false;
  const LONG_PTR style = ::GetWindowLongPtrW(listBox_, GWL_STYLE);
  ::SetWindowLongPtrW(listBox_, GWL_STYLE, style & ~static_cast<LONG_PTR>(LBS_NOREDRAW));
  send(WM_SETREDRAW, TRUE);
  // Rows, and the frame for the scroll bar, painted with the loop's next WM_PAINT.
  ::RedrawWindow(listBox_, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
}

void Win32ListBox::addRow(const char* text) {
  changing();
  // Without the sorted style the list appends.
  send(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widenLatin1(text).c_str()));
}

int32_t Win32ListBox::rowCount() const {
  if (listBox_ == nullptr) return 0;
  const LRESULT count = send(LB_GETCOUNT);
  return count == LB_ERR ? 0 : static_cast<int32_t>(count);
}

bool Win32ListBox::row(int32_t index, std::string& text) const {
  if (listBox_ == nullptr || index < 0) return false;
  const LRESULT length = send(LB_GETTEXTLEN, static_cast<WPARAM>(index));
  if (length == LB_ERR) return false;
  std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT copied =
      send(LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(wide.data()));
  if (copied == LB_ERR) return false;
  wide.resize(static_cast<size_t>(copied));
  text = narrowLatin1Lossy(wide);
  return true;
}

int32_t Win32ListBox::rowText(int32_t index, char* buffer, int32_t size) const {
  if (size <= 0) return -1;
  std::string text;
  if (!row(index, text)) {
    buffer[0] = '\0';
    return -1;
  }
  return copyBounded(text, buffer, size);
}

// A row changes in place without flicker and without scrolling the operator's view.
void Win32ListBox::replaceRow(int32_t index, const char* text) {
  std::string current;
  if (!row(index, current) || current == text) return;
  changing();
  const auto at = static_cast<WPARAM>(index);

  // A pass that holds the painting has the style say so already and repaints the whole list at
  // its end: setting the style and invalidating would each be a call to the window system for
  // nothing (under Wine a round trip to its server, for every row of a drain).
  const bool heldByPass = held_;
  const LONG_PTR style = ::GetWindowLongPtrW(listBox_, GWL_STYLE);
  if (!heldByPass) ::SetWindowLongPtrW(listBox_, GWL_STYLE, style | LBS_NOREDRAW);

  const LRESULT top = send(LB_GETTOPINDEX);
  const LRESULT caret = send(LB_GETCARETINDEX);
  send(LB_SETCARETINDEX, static_cast<WPARAM>(top == index ? top + 1 : top), FALSE);

  const bool multiple = (style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0;
  const LRESULT selection = multiple ? send(LB_GETSEL, at) : send(LB_GETCURSEL);
  const LRESULT data = send(LB_GETITEMDATA, at);

  send(LB_DELETESTRING, at);
  send(LB_INSERTSTRING, at, reinterpret_cast<LPARAM>(widenLatin1(text).c_str()));
  send(LB_SETITEMDATA, at, data);

  if (multiple) {
    send(LB_SETSEL, selection > 0 ? TRUE : FALSE, static_cast<LPARAM>(index));
  } else if (selection >= 0) {
    send(LB_SETCURSEL, static_cast<WPARAM>(selection));
  }
  send(LB_SETCARETINDEX, static_cast<WPARAM>(caret), FALSE);
  send(LB_SETTOPINDEX, static_cast<WPARAM>(top));

  if (!heldByPass) {
    ::SetWindowLongPtrW(listBox_, GWL_STYLE, style);
    ::InvalidateRect(listBox_, nullptr, FALSE);
  }
}

void Win32ListBox::clearRows() {
  changing();
  send(LB_RESETCONTENT);
}

}  // namespace vyr
