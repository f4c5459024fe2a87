// The console on Windows: console control events, and standard error as the process's handle.

#include <windows.h>
#include <shellapi.h>

#include <csignal>
#include <string>

#include "platform/console.h"
#include "platform/win32/latin1_text.h"

namespace vyr {
namespace {

// Written by the handler's thread and read by the loop: an aligned int, so a plain store.
volatile sig_atomic_t stopRequest = 0;
HANDLE runFinished = nullptr;
// The console's closing gives the process about five seconds after the handler returns; waiting
// longer only has the system end it during the save.
constexpr DWORD FINISH_WAIT_MS = 10000;

BOOL WINAPI onConsoleControl(DWORD event) {
  stopRequest = static_cast<sig_atomic_t>(event + 1);
  // Ctrl+C and Ctrl+Break leave the process running; the others end it once this returns.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && runFinished != nullptr) {
    ::WaitForSingleObject(runFinished, FINISH_WAIT_MS);
  }
  return TRUE;
}

HANDLE standardError() { return ::GetStdHandle(STD_ERROR_HANDLE); }

// A console that takes the erase-to-end-of-line escape, switched on where it can be.
bool takesEscapes() {
  DWORD mode = 0;
  if (!::GetConsoleMode(standardError(), &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return ::SetConsoleMode(standardError(), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace

void watchStopRequests() {
  if (runFinished == nullptr) runFinished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

const volatile sig_atomic_t* stopRequestFlag() { return &stopRequest; }

const char* stopRequestName(int request) {
  switch (request - 1) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "the console closing";
    case CTRL_LOGOFF_EVENT:
      return "the user logging off";
    case CTRL_SHUTDOWN_EVENT:
      return "the system shutting down";
    default:
      return "a console event";
  }
}

void stopRequestHandled() {
  if (runFinished != nullptr) ::SetEvent(runFinished);
}

bool standardErrorIsTerminal() {
  static const bool terminal = takesEscapes();
  return terminal;
}

int standardErrorColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(standardError(), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

// Windows cannot tell whether a pipe has room, so the write is made and may wait for its reader.
size_t writeStandardError(const char* data, size_t size, int) {
  DWORD written = 0;
  if (!::WriteFile(standardError(), data, static_cast<DWORD>(size), &written, nullptr)) return 0;
  return written;
}

std::string lastSystemError() {
  const DWORD error = ::GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = length > 0 ? std::wstring(text, length) : std::wstring();
  if (text != nullptr) ::LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.' ||
                           wide.back() == L' ')) {
    wide.pop_back();
  }
  if (wide.empty()) return "error " + std::to_string(error);
  return narrowLatin1Lossy(wide);
}

std::vector<std::string> commandArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(narrowLatin1Lossy(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

}  // namespace vyr
