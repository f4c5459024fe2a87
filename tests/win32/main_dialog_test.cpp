// Catches a Win32 dialog that drifts from its template (controls, identifiers, styles, dialog
// units, caption, font, tab order, default button, mnemonics), routes a message to the wrong
// driver verb, lets Enter press another button than Resume, sends a start's burst out of order,
// sets column stops away from their header labels, or replaces a list row otherwise than in
// place: top row, caret, selection or item data lost, redraw left off, or a redraw for nothing;
// or repaints a pass's rows one by one instead of once, or leaves painting off after the pass.

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_template.h"
#include "app/win32/list_box.h"
#include "app/win32/main_window.h"
#include "core/survey_driver.h"
#include "platform/win32/latin1_text.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_udp_socket.h"
#include "protocol/frame_codec.h"
#include "protocol/messages.h"
#include "support/faulty_files.h"
#include "survey/lifecycle.h"
#include "win32/temporary_directory.h"
#include "win32/winsock_environment.h"

namespace vyr::testing {
namespace {

// --- The template as the resource holds it -------------------------------------------------------

// Reads the DLGTEMPLATE resource: a header, then each item DWORD-aligned.
struct TemplateItem {
  DWORD style;
  int16_t x, y, cx, cy;
  int id;
  std::wstring className;  // the predefined classes come as ordinals: 0x80 button ... 0x85 combo
  std::wstring text;
};
struct Template {
  DWORD style = 0;
  int16_t cx = 0, cy = 0;
  std::wstring caption, font;
  WORD points = 0;
  std::vector<TemplateItem> items;
};

class Reader {
 public:
  explicit Reader(const BYTE* at) : at_(at) {}
  template <typename T>
  T take() {
    T value;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  std::wstring text() {
    std::wstring value;
    for (wchar_t c; (c = take<wchar_t>()) != 0;) value += c;
    return value;
  }
  // A string or an ordinal (0xFFFF, then the number).
  std::wstring nameOrOrdinal() {
    wchar_t first;
    std::memcpy(&first, at_, sizeof first);
    if (first == 0xFFFF) {
      take<wchar_t>();
      return L"#" + std::to_wstring(take<WORD>());
    }
    return text();
  }
  void alignTo4(const BYTE* base) {
    while ((at_ - base) % 4 != 0) ++at_;
  }

 private:
  const BYTE* at_;
};

Template loadMainTemplate() {
  Template result;
  HRSRC found = ::FindResourceW(nullptr, MAIN_TEMPLATE, MAKEINTRESOURCEW(5));  // RT_DIALOG
  if (found == nullptr) return result;
  const auto* base = static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found)));
  Reader read(base);
  result.style = read.take<DWORD>();
  read.take<DWORD>();  // extended style
  const WORD count = read.take<WORD>();
  read.take<int16_t>();
  read.take<int16_t>();
  result.cx = read.take<int16_t>();
  result.cy = read.take<int16_t>();
  read.nameOrOrdinal();  // menu
  read.nameOrOrdinal();  // class
  result.caption = read.text();
  if (result.style & DS_SETFONT) {
    result.points = read.take<WORD>();
    result.font = read.text();
  }
  for (WORD i = 0; i < count; ++i) {
    read.alignTo4(base);
    TemplateItem item{};
    item.style = read.take<DWORD>();
    read.take<DWORD>();
    item.x = read.take<int16_t>();
    item.y = read.take<int16_t>();
    item.cx = read.take<int16_t>();
    item.cy = read.take<int16_t>();
    item.id = static_cast<int16_t>(read.take<WORD>());
    item.className = read.nameOrOrdinal();
    item.text = read.nameOrOrdinal();
    const WORD extra = read.take<WORD>();
    for (WORD b = 0; b < extra; ++b) read.take<BYTE>();
    result.items.push_back(item);
  }
  return result;
}

// The predefined class of each kind, as an ordinal or by name (windres writes the name).
bool isClassOf(ControlKind kind, const std::wstring& name) {
  const wchar_t* ordinal = L"?";
  const wchar_t* named = L"?";
  switch (kind) {
    case ControlKind::LABEL:
      ordinal = L"#130", named = L"STATIC";
      break;
    case ControlKind::EDIT:
      ordinal = L"#129", named = L"EDIT";
      break;
    case ControlKind::SELECTOR:
      ordinal = L"#133", named = L"COMBOBOX";
      break;
    case ControlKind::LIST:
      ordinal = L"#131", named = L"LISTBOX";
      break;
    case ControlKind::BUTTON:
    case ControlKind::DEFAULT_BUTTON:
      ordinal = L"#128", named = L"BUTTON";
      break;
  }
  return name == ordinal || ::lstrcmpiW(name.c_str(), named) == 0;
}

// The styles each kind must have, beyond child and visible.
DWORD stylesOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::LABEL:
      return SS_LEFT;
    case ControlKind::EDIT:
      return WS_BORDER | WS_TABSTOP;
    case ControlKind::SELECTOR:
      return CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP;
    case ControlKind::LIST:
      return LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT | LBS_NOSEL | WS_VSCROLL | WS_BORDER |
             WS_TABSTOP;
    case ControlKind::BUTTON:
      return BS_PUSHBUTTON | WS_TABSTOP;
    case ControlKind::DEFAULT_BUTTON:
      return BS_DEFPUSHBUTTON | WS_TABSTOP;
  }
  return 0;
}

TEST(MainTemplateTest, TheResourceHoldsTheDialogAsLaidOut) {
  const Template main = loadMainTemplate();
  ASSERT_EQ(main.items.size(), MAIN_CONTROLS.size());
  EXPECT_EQ(main.cx, MAIN_WIDTH);
  EXPECT_EQ(main.cy, MAIN_HEIGHT);
  EXPECT_EQ(main.caption, widenLatin1(MAIN_CAPTION));
  EXPECT_EQ(main.font, L"MS Sans Serif");
  EXPECT_EQ(main.points, MAIN_FONT_POINTS);
  const DWORD frame = DS_MODALFRAME | DS_3DLOOK | DS_CENTER | WS_POPUP | WS_CAPTION;
  EXPECT_EQ(main.style & frame, frame);
  EXPECT_EQ(main.style & (WS_SYSMENU | WS_THICKFRAME), 0u) << "no close box, no resizing";

  for (size_t i = 0; i < MAIN_CONTROLS.size(); ++i) {
    const ControlTemplate& expected = MAIN_CONTROLS[i];
    const TemplateItem& item = main.items[i];
    SCOPED_TRACE("control " + std::to_string(i) + " (" + std::to_string(expected.id) + ")");
    EXPECT_EQ(item.id, expected.id);
    EXPECT_TRUE(isClassOf(expected.kind, item.className));
    EXPECT_EQ(item.text, widenLatin1(expected.text));
    EXPECT_EQ(item.style, stylesOf(expected.kind) | WS_CHILD | WS_VISIBLE) << std::hex << item.style;
    EXPECT_EQ(item.x, expected.x);
    EXPECT_EQ(item.y, expected.y);
    EXPECT_EQ(item.cx, expected.width);
    EXPECT_EQ(item.cy, expected.height);
  }
}

// Wine makes windows only on an X display; scripts/test-windows gives the tests one.
constexpr const char* NO_DISPLAY = "no X display for Wine's windows (DISPLAY is not set)";
bool noDisplay() {
  wchar_t display[2];
  return ::GetEnvironmentVariableW(L"DISPLAY", display, 2) == 0;
}

// --- The dialog, created from the template over a real directory and socket ---------------------

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(files_, nullptr);
    ASSERT_NE(socket_, nullptr);
    // Created in an order the selector must not keep.
    put("south.IPs", "10.0.0.9\r\n");
    put("north.IPs", "10.0.0.1\r\nA17/501\r\n");
    put("empty.IPs", "; nothing here\r\n");
    createDialog();
    if (dialog_ == nullptr && noDisplay()) GTEST_SKIP() << NO_DISPLAY;
    ASSERT_NE(dialog_, nullptr);
    ::ShowWindow(dialog_, SW_SHOW);
  }
  void TearDown() override {
    if (dialog_ != nullptr) ::DestroyWindow(dialog_);
  }

  // A new window over files_ and socket_, and its dialog; dialog_ is null if none was made.
  void createDialog() {
    main_ = std::make_unique<MainWindow>(*files_, clock_, *socket_);
    dialog_ = ::CreateDialogParamW(nullptr, MAIN_TEMPLATE, nullptr, mainDialogProc,
                                   reinterpret_cast<LPARAM>(main_.get()));
  }
  // The dialog closed and made afresh over a new socket that makes its Winsock calls with `calls`.
  void reopenWithSocket(const WinsockCalls& calls) {
    ::DestroyWindow(dialog_);
    dialog_ = nullptr;
    main_.reset();  // before the socket it holds
    socket_ = Win32UdpSocket::open(calls);
    ASSERT_NE(socket_, nullptr);
    createDialog();
    ASSERT_NE(dialog_, nullptr);
  }

  void put(const char* name, const std::string& text) {
    auto file = files_->create(name);
    ASSERT_NE(file, nullptr);
    file->write(text.data(), static_cast<int32_t>(text.size()));
  }
  HWND control(int id) const { return ::GetDlgItem(dialog_, id); }
  void command(int id, int notification = BN_CLICKED) {
    ::SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, notification),
                   reinterpret_cast<LPARAM>(control(id)));
  }
  void choose(const wchar_t* name) {
    const LRESULT index =
        ::SendMessageW(control(LIST_SELECTOR), CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(name));
    ::SendMessageW(control(LIST_SELECTOR), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    command(LIST_SELECTOR, CBN_SELCHANGE);
  }
  // Enter as the keyboard gives it: to the focused control, through the dialog manager.
  void pressEnter() {
    MSG key{::GetFocus(), WM_KEYDOWN, VK_RETURN, 1, 0, {}};
    if (key.hwnd == nullptr) key.hwnd = dialog_;
    ::IsDialogMessageW(dialog_, &key);
  }
  // Takes the thread's messages as the modal loop would until `done`; false after ten seconds.
  bool pumpUntil(const std::function<bool()>& done) {
    for (const DWORD start = ::GetTickCount(); !done();) {
      if (::GetTickCount() - start > 10000) return false;
      MSG message;
      if (!::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
      } else if (!::IsDialogMessageW(dialog_, &message)) {
        ::DispatchMessageW(&message);
      }
    }
    return true;
  }
  bool idle() const {
    for (int id : {SERVER_FIELD, NEW_BUTTON, RESUME_BUTTON, LIST_SELECTOR}) {
      if (!::IsWindowEnabled(control(id))) return false;
    }
    return windowText(control(EXIT_BUTTON)) == L"E&xit";
  }
  // A datagram from `unit` to the dialog's socket, over loopback.
  void sendToDialog(SOCKET unit, const std::string& bytes) const {
    sockaddr_in dialogAt{};
    dialogAt.sin_family = AF_INET;
    dialogAt.sin_port = htons(socket_->localPort());
    dialogAt.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(unit, bytes.data(), static_cast<int>(bytes.size()), 0,
             reinterpret_cast<const sockaddr*>(&dialogAt), sizeof dialogAt);
  }
  // The bytes waiting on the dialog's socket.
  u_long waitingBytes() const {
    u_long bytes = 0;
    ::ioctlsocket(socket_->handle(), FIONREAD, &bytes);
    return bytes;
  }
  // A socket notification waits in the dialog's queue.
  bool notificationQueued() const {
    MSG message;
    return ::PeekMessageW(&message, dialog_, SOCKET_NOTIFICATION, SOCKET_NOTIFICATION,
                          PM_NOREMOVE) != FALSE;
  }
  // Waits until `done` without taking a message, so that no step the dialog posted runs
  // meanwhile; false after ten seconds.
  static bool waitWithoutMessages(const std::function<bool()>& done) {
    for (const DWORD start = ::GetTickCount(); !done(); ::Sleep(1)) {
      if (::GetTickCount() - start > 10000) return false;
    }
    return true;
  }

  TemporaryDirectory directory_;
  std::unique_ptr<FileSystem> files_ = openWin32FileSystem(directory_.path());
  std::unique_ptr<Win32UdpSocket> socket_ = Win32UdpSocket::open();
  Win32Clock clock_;
  std::unique_ptr<MainWindow> main_;
  HWND dialog_ = nullptr;
};

TEST_F(MainDialogTest, InitialisationFillsTheSelectorSortedAndLeavesNothingChosen) {
  HWND selector = control(LIST_SELECTOR);
  ASSERT_EQ(::SendMessageW(selector, CB_GETCOUNT, 0, 0), 3);
  std::vector<std::wstring> names;
  for (int i = 0; i < 3; ++i) {
    wchar_t text[64] = {};
    ::SendMessageW(selector, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    names.emplace_back(text);
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"empty.IPs", L"north.IPs", L"south.IPs"}));
  EXPECT_EQ(::SendMessageW(selector, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(windowText(dialog_), L"VyrModel 1.03");
  EXPECT_TRUE(idle());
}

TEST_F(MainDialogTest, TabOrderDefaultButtonAndMnemonicsAreThoseOfTheTemplate) {
  const int order[] = {SERVER_FIELD, LIST_SELECTOR, LIST_VIEW, EXIT_BUTTON,
                       RESUME_BUTTON, NEW_BUTTON, SERVER_FIELD};
  for (size_t i = 0; i + 1 < std::size(order); ++i) {
    EXPECT_EQ(::GetNextDlgTabItem(dialog_, control(order[i]), FALSE), control(order[i + 1]))
        << "after " << order[i];
  }
  EXPECT_EQ(LOWORD(::SendMessageW(dialog_, DM_GETDEFID, 0, 0)), RESUME_BUTTON);

  // Alt and a label's letter moves to the control after the label.
  const struct {
    wchar_t letter;
    int focused;
  } mnemonics[] = {{L'i', LIST_SELECTOR}, {L'v', SERVER_FIELD}};
  for (const auto& m : mnemonics) {
    MSG key{::GetFocus(), WM_SYSCHAR, m.letter, 1 << 29, 0, {}};
    if (key.hwnd == nullptr) key.hwnd = dialog_;
    EXPECT_TRUE(::IsDialogMessageW(dialog_, &key));
    EXPECT_EQ(::GetFocus(), control(m.focused)) << static_cast<char>(m.letter);
  }
}

TEST_F(MainDialogTest, CommandsReachTheCoreAsRouted) {
  command(NEW_BUTTON);
  EXPECT_TRUE(idle()) << "no rows, no survey";
  command(IDCANCEL);  // Escape
  EXPECT_TRUE(::IsWindowVisible(dialog_)) << "Escape must not end the dialog";

  choose(L"north.IPs");
  ASSERT_EQ(main_->list.rowCount(), 2);
  char row[128];
  main_->list.rowText(1, row, sizeof row);
  EXPECT_STREQ(row, " 0.0.0.0\t501\tA17");
  command(LIST_SELECTOR, CBN_DROPDOWN);
  EXPECT_EQ(main_->list.rowCount(), 2) << "only a selection change reloads the list";

  command(NEW_BUTTON);
  EXPECT_FALSE(idle());
  EXPECT_EQ(windowText(control(EXIT_BUTTON)), L"Abort");
  EXPECT_EQ(::GetFocus(), control(EXIT_BUTTON));
  EXPECT_EQ(mainDialogProc(dialog_, SOCKET_NOTIFICATION, 0, FD_OOB), TRUE);
  EXPECT_EQ(mainDialogProc(dialog_, WM_TIMER, 7, 0), FALSE) << "any timer ticks";

  command(EXIT_BUTTON);  // Abort: the survey ends and is saved; the dialog stays
  EXPECT_TRUE(idle());
  EXPECT_TRUE(::IsWindowVisible(dialog_));
  EXPECT_TRUE(readWholeFile(*files_, "north.model").has_value());
  EXPECT_TRUE(readWholeFile(*files_, "north.soFar").has_value());

  command(EXIT_BUTTON);  // Exit
  EXPECT_FALSE(::IsWindowVisible(dialog_)) << "Exit while idle ends the dialog";
}

TEST_F(MainDialogTest, EndingTheSessionOrDestroyingTheDialogSavesTheSurvey) {
  choose(L"south.IPs");
  command(RESUME_BUTTON);
  ASSERT_FALSE(idle());
  ::SendMessageW(dialog_, WM_QUERYENDSESSION, 0, 0);
  // The report is there from the start, empty, holding the survey's lock.
  EXPECT_EQ(readWholeFile(*files_, "south.model"), std::string()) << "asking saves nothing yet";
  ::SendMessageW(dialog_, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(readWholeFile(*files_, "south.model"),
            std::string("IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n"
                        "10.0.0.9\t0\t\t0.00\t\t0.00\r\n"));

  choose(L"north.IPs");
  command(NEW_BUTTON);
  ::DestroyWindow(dialog_);
  dialog_ = nullptr;
  EXPECT_TRUE(readWholeFile(*files_, "north.model").has_value());
}

// The message boxes the dialog showed, recorded instead of shown.
struct ShownMessage {
  HWND owner;
  std::wstring text, caption;
  UINT type;
};
std::vector<ShownMessage> shownMessages;
int WINAPI recordMessage(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  shownMessages.push_back({owner, text, caption, type});
  return IDOK;
}

TEST_F(MainDialogTest, ASurveyIsSavedUnderTheListOfItsStartWhateverTheSelectorShowsAtItsEnd) {
  const struct {
    const char* why;
    std::function<void(HWND selector)> meddle;
    bool endSession;  // WM_ENDSESSION, else the dialog's destruction
  } cases[] = {
      {"selector cleared", [](HWND s) { ::SendMessageW(s, CB_SETCURSEL, WPARAM(-1), 0); }, true},
      {"another list shown",
       [](HWND s) { ::SendMessageW(s, CB_SELECTSTRING, WPARAM(-1), LPARAM(L"south.IPs")); },
       false},
      {"selector emptied", [](HWND s) { ::SendMessageW(s, CB_RESETCONTENT, 0, 0); }, false},
      {"selector destroyed, as a close request under Wine does", [](HWND s) { ::DestroyWindow(s); },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    files_->remove("north.model");
    files_->remove("north.soFar");
    files_->remove("south.model");
    choose(L"north.IPs");
    command(NEW_BUTTON);
    ASSERT_FALSE(idle());
    c.meddle(control(LIST_SELECTOR));
    if (c.endSession) {
      ::SendMessageW(dialog_, WM_ENDSESSION, TRUE, 0);
    } else {
      command(EXIT_BUTTON);
    }
    EXPECT_EQ(readWholeFile(*files_, "north.model"),
              std::string("IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n"
                          "10.0.0.1\t0\t\t0.00\t\t0.00\r\n0.0.0.0\t501\tA17\t0.00\t\t0.00\r\n"));
    EXPECT_EQ(readWholeFile(*files_, "north.soFar").value_or("").size(), 8u + 2u * 92u);
    EXPECT_FALSE(readWholeFile(*files_, "south.model").has_value());
    // A fresh dialog for the next case: the selector may be gone.
    ::DestroyWindow(dialog_);
    createDialog();
    ASSERT_NE(dialog_, nullptr);
  }
}

TEST_F(MainDialogTest, ASecondSurveyOfAListDoesNotStartAndSaysWhy) {
  shownMessages.clear();
  main_->showMessage = recordMessage;
  // The list held by another survey: a second dialog over the same folder.
  std::unique_ptr<FileSystem> otherFiles = openWin32FileSystem(directory_.path());
  std::unique_ptr<Win32UdpSocket> otherSocket = Win32UdpSocket::open();
  MainWindow other(*otherFiles, clock_, *otherSocket);
  HWND otherDialog = ::CreateDialogParamW(nullptr, MAIN_TEMPLATE, nullptr, mainDialogProc,
                                          reinterpret_cast<LPARAM>(&other));
  ASSERT_NE(otherDialog, nullptr);
  other.showMessage = recordMessage;
  HWND otherSelector = ::GetDlgItem(otherDialog, LIST_SELECTOR);
  ::SendMessageW(otherSelector, CB_SELECTSTRING, WPARAM(-1), LPARAM(L"north.IPs"));
  ::SendMessageW(otherDialog, WM_COMMAND, MAKEWPARAM(LIST_SELECTOR, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(otherSelector));
  ::SendMessageW(otherDialog, WM_COMMAND, MAKEWPARAM(NEW_BUTTON, BN_CLICKED), 0);
  ASSERT_TRUE(surveyRunning(other.context));

  choose(L"north.IPs");
  command(RESUME_BUTTON);
  EXPECT_TRUE(idle()) << "the second survey of the list started";
  EXPECT_FALSE(surveyRunning(main_->context));
  ASSERT_EQ(shownMessages.size(), 1u);
  EXPECT_EQ(shownMessages[0].owner, dialog_);
  EXPECT_EQ(shownMessages[0].caption, L"VyrModel 1.03");
  EXPECT_EQ(shownMessages[0].text.rfind(L"north.IPs is being surveyed already", 0), 0u)
      << std::string(shownMessages[0].text.begin(), shownMessages[0].text.end());
  EXPECT_EQ(shownMessages[0].type, static_cast<UINT>(MB_ICONWARNING | MB_OK));

  ::SendMessageW(otherDialog, WM_COMMAND, MAKEWPARAM(EXIT_BUTTON, BN_CLICKED), 0);  // Abort
  command(RESUME_BUTTON);
  EXPECT_FALSE(idle()) << "once the first survey ended, the list is free";
  EXPECT_EQ(shownMessages.size(), 1u);
  ::DestroyWindow(otherDialog);
}

TEST_F(MainDialogTest, EnterPressesResumeWhileIdleAndNothingWhileASurveyRuns) {
  choose(L"north.IPs");
  ::SetFocus(control(LIST_SELECTOR));
  const auto enter = [this] { pressEnter(); };
  const struct {
    const char* step;
    std::function<void()> act;
    bool running;
    bool anotherSurvey;  // a start, not the survey that ran before
  } steps[] = {
      {"Enter while idle", enter, true, true},
      {"Enter during the survey, the focus on Abort", enter, true, false},
      {"Abort", [this] { command(EXIT_BUTTON); }, false, false},
      {"Enter after the survey, the focus on Exit", enter, true, true},
  };
  uint32_t survey = main_->context.survey.surveyNumber;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    s.act();
    EXPECT_EQ(surveyRunning(main_->context), s.running);
    EXPECT_EQ(main_->context.survey.surveyNumber != survey, s.anotherSurvey);
    survey = main_->context.survey.surveyNumber;
    EXPECT_TRUE(::IsWindowVisible(dialog_));
    EXPECT_EQ(LOWORD(::SendMessageW(dialog_, DM_GETDEFID, 0, 0)), RESUME_BUTTON);
    // A focus the program gives leaves the default where it is: Enter then presses Resume.
    EXPECT_EQ(::GetWindowLongW(control(EXIT_BUTTON), GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
  }
}

// Every datagram the dialog's socket sent, (destination, bytes) in order; none goes out.
std::vector<std::pair<sockaddr_in, std::string>> sentDatagrams;
int WSAAPI recordSend(SOCKET, const char* bytes, int length, int, const sockaddr* to, int) {
  sentDatagrams.emplace_back(*reinterpret_cast<const sockaddr_in*>(to), std::string(bytes, length));
  return length;
}

std::string framed(std::initializer_list<uint8_t> message) {
  const std::vector<uint8_t> bytes(message);
  std::string frame(static_cast<size_t>(frameCapacity(static_cast<int32_t>(bytes.size()))), '\0');
  frame.resize(static_cast<size_t>(writeFrame(bytes.data(), static_cast<int32_t>(bytes.size()),
                                              false, reinterpret_cast<uint8_t*>(frame.data()))));
  return frame;
}

TEST_F(MainDialogTest, AStartSendsItsOnePressBurstWhateverArrivesBetweenItsSteps) {
  constexpr int UNITS = 40000;  // an index by each key, then three parts of asking
  // Under Wine a datagram from a socket bound to 127.1.0.1 arrives from 127.0.0.1: the unit that
  // answers, the first, has that address.
  const auto addressOf = [](int unit) {
    return unit == 0 ? INADDR_LOOPBACK : 0x7F010000u | static_cast<uint32_t>(unit / 250) << 8 |
                                             static_cast<uint32_t>(unit % 250 + 1);
  };
  std::string list;
  for (int i = 0; i < UNITS; ++i) {
    const uint32_t a = addressOf(i);
    list += "127." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
            std::to_string(a & 255) + "\r\n";
  }
  put("many.IPs", list);
  ASSERT_NO_FATAL_FAILURE(reopenWithSocket({recordSend}));
  choose(L"many.IPs");

  // The first unit, answering out of turn an identify request of long ago.
  SOCKET unit = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  const std::string stale = framed({IDENTIFY, 'S', 'T', 'A', 'L', 'E', 0, 0, 0, 0});
  const auto answer = [&] { sendToDialog(unit, stale); };

  sentDatagrams.clear();
  command(RESUME_BUTTON);
  ASSERT_TRUE(surveyRunning(main_->context));
  // A reply waits before each of the start's messages is taken, its notification before the first.
  for (int taken = 0; !currentWait(main_->context).readReadiness; ++taken) {
    answer();
    ASSERT_TRUE(waitWithoutMessages(
        [&] { return waitingBytes() > 0 && (taken > 0 || notificationQueued()); }));
    MSG message;
    if (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
  }
  ASSERT_TRUE(pumpUntil([] { return sentDatagrams.size() >= static_cast<size_t>(UNITS); }));
  const std::string identify = framed({IDENTIFY, 0});
  for (int i = 0; i < UNITS; ++i) {
    const auto& [to, bytes] = sentDatagrams[static_cast<size_t>(i)];
    ASSERT_EQ(ntohl(to.sin_addr.s_addr), addressOf(i)) << "datagram " << i;
    ASSERT_EQ(ntohs(to.sin_port), DEVICE_PORT) << "datagram " << i;
    ASSERT_EQ(bytes, identify) << "datagram " << i;
  }

  // The replies held back are read once every unit is asked, and the socket notifies again then.
  ::KillTimer(dialog_, TICK_TIMER);
  ASSERT_TRUE(pumpUntil([&] { return waitingBytes() == 0; }));
  EXPECT_STREQ(main_->context.survey.deviceTable[0].id, "STALE");
  answer();
  ASSERT_GT(waitingBytes(), 0u);
  EXPECT_TRUE(pumpUntil([&] { return waitingBytes() == 0; })) << "an FD_READ was lost";
  ::closesocket(unit);
}

TEST_F(MainDialogTest, ColumnStopsSitUnderTheirHeaderLabels) {
  const std::array<int32_t, 7> stops = computeTabStops(dialog_);
  const int32_t listLeft = MAIN_CONTROLS[12].x;
  for (size_t i = 0; i < stops.size(); ++i) {
    int32_t headerLeft = 0;
    for (const ControlTemplate& c : MAIN_CONTROLS) {
      if (c.id == TAB_STOP_HEADERS[i]) headerLeft = c.x;
    }
    // The list's border and the rounding of dialog units cost at most two units.
    EXPECT_LE(stops[i], headerLeft - listLeft) << i;
    EXPECT_GE(stops[i], headerLeft - listLeft - 2) << i;
  }
}

// --- replaceRow on a real list box --------------------------------------------------------------

// Every message the list box receives, with the style it had then; and the last row of its
// scroll range as each row is inserted, which a list box painting row by row has just moved.
std::vector<std::pair<UINT, LONG_PTR>> received;
std::vector<int> scrollEndAtInsert;
std::vector<std::pair<UINT, WPARAM>> receivedWith;  // each message with its first parameter
WNDPROC listBoxProc = nullptr;

int scrollEnd(HWND window) {
  SCROLLINFO range{sizeof range, SIF_RANGE, 0, 0, 0, 0, 0};
  ::GetScrollInfo(window, SB_VERT, &range);
  return range.nMax;
}

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  received.emplace_back(message, ::GetWindowLongPtrW(window, GWL_STYLE));
  receivedWith.emplace_back(message, wParam);
  if (message == LB_INSERTSTRING) scrollEndAtInsert.push_back(scrollEnd(window));
  return ::CallWindowProcW(listBoxProc, window, message, wParam, lParam);
}

class ReplaceRowTest : public ::testing::Test {
 protected:
  void make(DWORD selectionStyle) {
    parent_ = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 400, 300, nullptr,
                                nullptr, nullptr, nullptr);
    box_ = ::CreateWindowExW(0, L"LISTBOX", L"",
                             WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT |
                                 LBS_USETABSTOPS | selectionStyle,
                             0, 0, 300, 200, parent_, nullptr, nullptr, nullptr);
    if (box_ == nullptr && noDisplay()) GTEST_SKIP() << NO_DISPLAY;
    ASSERT_NE(box_, nullptr);
    list_.attach(box_);
    for (int i = 0; i < 100; ++i) {
      list_.addRow(("row " + std::to_string(i)).c_str());
      ::SendMessageW(box_, LB_SETITEMDATA, static_cast<WPARAM>(i), 1000 + i);
    }
    listBoxProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(box_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordingProc)));
  }
  void TearDown() override {
    if (parent_ != nullptr) ::DestroyWindow(parent_);
  }
  LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageW(box_, message, wParam, lParam);
  }
  std::string text(int index) {
    char buffer[64];
    list_.rowText(index, buffer, sizeof buffer);
    return buffer;
  }
  bool receivedAny(UINT message) {
    for (const auto& entry : received) {
      if (entry.first == message) return true;
    }
    return false;
  }

  HWND parent_ = nullptr;
  HWND box_ = nullptr;
  Win32ListBox list_;
};

TEST_F(ReplaceRowTest, IdenticalTextChangesNothing) {
  make(LBS_NOSEL);
  if (IsSkipped() || HasFatalFailure()) return;
  received.clear();
  list_.replaceRow(5, "row 5");
  EXPECT_FALSE(receivedAny(LB_DELETESTRING));
  EXPECT_FALSE(receivedAny(WM_STYLECHANGING)) << "not even the style is touched";
  list_.replaceRow(100, "beyond");
  list_.replaceRow(-1, "before");
  EXPECT_EQ(list_.rowCount(), 100);
}

TEST_F(ReplaceRowTest, TheViewStaysWhereItWasWithRedrawOffMeanwhile) {
  // The dialog's list allows no selection; a list that has a caret must keep it too.
  for (DWORD selection : {static_cast<DWORD>(LBS_NOSEL), 0ul}) {
    if (parent_ != nullptr) ::DestroyWindow(parent_);
    make(selection);
    if (IsSkipped() || HasFatalFailure()) return;
    const LONG_PTR style = ::GetWindowLongPtrW(box_, GWL_STYLE);
    for (int top : {40, 0, 95}) {
      SCOPED_TRACE("style " + std::to_string(selection) + ", top row " + std::to_string(top));
      send(LB_SETCARETINDEX, 42, FALSE);
      const LRESULT caret = send(LB_GETCARETINDEX);
      send(LB_SETTOPINDEX, static_cast<WPARAM>(top));
      const LRESULT shownTop = send(LB_GETTOPINDEX);  // the last rows cannot scroll to the top
      if (selection == 0) {
        EXPECT_EQ(caret, 42);
      }
      for (int index : {static_cast<int>(shownTop), 41, 99}) {
        received.clear();
        const std::string replacement =
            "changed " + std::to_string(index) + " at " + std::to_string(top) + "\twith a tab";
        list_.replaceRow(index, replacement.c_str());
        EXPECT_EQ(text(index), replacement);
        EXPECT_EQ(send(LB_GETTOPINDEX), shownTop) << "row " << index;
        EXPECT_EQ(send(LB_GETCARETINDEX), caret) << "row " << index;
        EXPECT_EQ(send(LB_GETITEMDATA, static_cast<WPARAM>(index)), 1000 + index);
        EXPECT_EQ(::GetWindowLongPtrW(box_, GWL_STYLE), style) << "the style must come back";
        bool inserted = false;
        bool insertedWithoutRedraw = false;
        for (const auto& entry : received) {
          if (entry.first != LB_INSERTSTRING) continue;
          inserted = true;
          insertedWithoutRedraw = (entry.second & LBS_NOREDRAW) != 0;
        }
        EXPECT_TRUE(inserted && insertedWithoutRedraw) << "row " << index;
      }
    }
    EXPECT_EQ(list_.rowCount(), 100);
    EXPECT_EQ(text(50), "row 50");
  }
}

TEST_F(ReplaceRowTest, SelectionsAreKeptWhereTheStyleAllowsThem) {
  const struct {
    DWORD style;
    const char* name;
  } styles[] = {{LBS_EXTENDEDSEL, "extended"}, {LBS_MULTIPLESEL, "multiple"}, {0, "single"}};
  for (const auto& s : styles) {
    SCOPED_TRACE(s.name);
    if (parent_ != nullptr) ::DestroyWindow(parent_);
    make(s.style);
    if (IsSkipped() || HasFatalFailure()) return;
    if (s.style != 0) {
      send(LB_SETSEL, TRUE, 10);
      list_.replaceRow(10, "selected, replaced");
      list_.replaceRow(11, "not selected, replaced");
      EXPECT_GT(send(LB_GETSEL, 10), 0);
      EXPECT_EQ(send(LB_GETSEL, 11), 0);
    } else {
      send(LB_SETCURSEL, 10);
      list_.replaceRow(10, "selected, replaced");
      EXPECT_EQ(send(LB_GETCURSEL), 10);
      list_.replaceRow(20, "another, replaced");
      EXPECT_EQ(send(LB_GETCURSEL), 10);
    }
  }
}

TEST_F(ReplaceRowTest, APassPaintsOnceAndLeavesTheViewAsRowByRowReplacementsDo) {
  const struct {
    const char* name;
    DWORD selection;
    int top;
    std::vector<int> rows;  // replaced in this order
  } cases[] = {
      {"no selection, the shown top row among others", LBS_NOSEL, 40, {40, 41, 99, 0, 45}},
      {"a caret and a selection, scrolled to the end", 0, 95, {99, 95, 10, 96}},
      {"extended selection, every row", LBS_EXTENDEDSEL, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> rows = c.rows;
    if (rows.empty()) {
      for (int i = 0; i < 100; ++i) rows.push_back(i);
    }
    // The view after the same replacements one row at a time, then after them in one pass.
    struct View {
      LRESULT top, caret, selected, cursor;
      std::vector<std::string> texts;
      std::vector<LRESULT> data;
    } views[2];
    for (int pass = 0; pass < 2; ++pass) {
      if (parent_ != nullptr) ::DestroyWindow(parent_);
      make(c.selection);
      if (IsSkipped() || HasFatalFailure()) return;
      send(LB_SETCARETINDEX, 42, FALSE);
      send(c.selection == LBS_EXTENDEDSEL ? LB_SETSEL : LB_SETCURSEL,
           c.selection == LBS_EXTENDEDSEL ? TRUE : 41, 41);
      send(LB_SETTOPINDEX, static_cast<WPARAM>(c.top));
      const LONG_PTR style = ::GetWindowLongPtrW(box_, GWL_STYLE);
      const int end = scrollEnd(box_);
      received.clear();
      scrollEndAtInsert.clear();
      {
        std::optional<ListPass> once;
        if (pass == 1) once.emplace(list_);
        for (int row : rows) list_.replaceRow(row, ("new " + std::to_string(row)).c_str());
      }
      View& view = views[pass];
      view = {send(LB_GETTOPINDEX), send(LB_GETCARETINDEX), send(LB_GETSEL, 41), send(LB_GETCURSEL),
              {}, {}};
      for (int i = 0; i < 100; ++i) {
        view.texts.push_back(text(i));
        view.data.push_back(send(LB_GETITEMDATA, static_cast<WPARAM>(i)));
      }
      if (pass == 0) continue;
      EXPECT_EQ(scrollEndAtInsert, std::vector<int>(rows.size(), end))
          << "the scroll bar followed the rows deleted and inserted one by one";
      EXPECT_EQ(::GetWindowLongPtrW(box_, GWL_STYLE), style) << "the style must come back";
      EXPECT_EQ(std::count_if(received.begin(), received.end(),
                              [](const auto& m) { return m.first == WM_STYLECHANGED; }),
                2)
          << "the style is set for the pass and back after it, not for each row";
      // Redraw is on again: a row deleted now moves the scroll range at once.
      send(LB_DELETESTRING, 0);
      EXPECT_EQ(scrollEnd(box_), end - 1) << "painting was left off";
    }
    EXPECT_EQ(views[1].top, views[0].top);
    EXPECT_EQ(views[1].caret, views[0].caret);
    EXPECT_EQ(views[1].selected, views[0].selected);
    EXPECT_EQ(views[1].cursor, views[0].cursor);
    EXPECT_EQ(views[1].texts, views[0].texts);
    EXPECT_EQ(views[1].data, views[0].data);
  }
  // A pass that changes no row leaves the list box alone.
  received.clear();
  {
    ListPass once(list_);
    list_.replaceRow(5, text(5).c_str());
  }
  EXPECT_FALSE(receivedAny(WM_SETREDRAW));
}

TEST_F(MainDialogTest, ADrainOrATickRepaintsTheRowsItReplacedOnceAndLeavesPaintingOn) {
  put("one.IPs", "127.0.0.1\r\n");
  SOCKET unit = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  const struct {
    const char* verb;
    UINT message;
    LPARAM lParam;
  } cases[] = {
      {"the socket readable", SOCKET_NOTIFICATION, WSAMAKESELECTREPLY(FD_READ, 0)},
      {"the tick", WM_TIMER, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verb);
    // A fresh survey each time, whose one unit has not answered yet.
    ASSERT_NO_FATAL_FAILURE(reopenWithSocket({recordSend}));
    ::ShowWindow(dialog_, SW_SHOW);
    choose(L"one.IPs");
    command(NEW_BUTTON);
    ASSERT_TRUE(pumpUntil([&] { return !currentWait(main_->context).startStepPending; }));
    ::KillTimer(dialog_, TICK_TIMER);
    HWND list = control(LIST_VIEW);
    const LONG_PTR style = ::GetWindowLongPtrW(list, GWL_STYLE);
    listBoxProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordingProc)));

    sendToDialog(unit, framed({IDENTIFY, 'I', 'D', '7', 0, 0, 0, 0, 0, 0}));
    // A reply that never came shows in the row's check below.
    waitWithoutMessages([&] { return waitingBytes() > 0; });
    receivedWith.clear();
    ::ValidateRect(list, nullptr);
    const WPARAM which = c.message == WM_TIMER ? TICK_TIMER : socket_->handle();
    ::SendMessageW(dialog_, c.message, which, c.lParam);
    char row[128];
    main_->list.rowText(0, row, sizeof row);
    EXPECT_NE(std::string(row).find("ID7"), std::string::npos) << row;
    // Painting off before the row changes, on again once the verb is done, once each.
    std::vector<std::pair<WPARAM, bool>> redraws;  // (on, a row inserted before)
    bool inserted = false;
    for (const auto& [message, on] : receivedWith) {
      if (message == LB_INSERTSTRING) inserted = true;
      if (message == WM_SETREDRAW) redraws.emplace_back(on, inserted);
    }
    EXPECT_EQ(redraws, (std::vector<std::pair<WPARAM, bool>>{{FALSE, false}, {TRUE, true}}));
    EXPECT_EQ(::GetWindowLongPtrW(list, GWL_STYLE), style);
    EXPECT_TRUE(::GetUpdateRect(list, nullptr, FALSE)) << "the replaced row is not repainted";
  }
  ::closesocket(unit);
}

// A drain that reads on past many datagrams leaves their FD_READs queued (Winsock posts one after
// each read that leaves another waiting): the next notification takes them unanswered, and the one
// for a datagram after it still comes.
TEST_F(MainDialogTest, TheNotificationsADrainLeftAreTakenAndNoneAfterItIsLost) {
  SOCKET unit = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  const auto answer = [&](int count) {
    for (int i = 0; i < count; ++i) sendToDialog(unit, "x");
  };
  for (int count : {20, 1}) {
    answer(count);
    ::SendMessageW(dialog_, SOCKET_NOTIFICATION, socket_->handle(), WSAMAKESELECTREPLY(FD_READ, 0));
    EXPECT_EQ(waitingBytes(), 0u) << count << " datagrams, one drain";
  }
  EXPECT_FALSE(notificationQueued())
      << "the notifications that the drain of twenty left are still queued";
  answer(1);
  EXPECT_TRUE(pumpUntil([&] { return waitingBytes() == 0; })) << "an FD_READ was lost";
  ::closesocket(unit);
}

}  // namespace
}  // namespace vyr::testing
