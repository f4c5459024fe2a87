// vyrmodel.exe: the operator's dialog on Windows. The working directory is its configuration: it
// lists the "*.IPs" files there and writes each report and progress file beside its list.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <memory>

#include "app/win32/main_window.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_udp_socket.h"

namespace {

// VYRMODEL_SEND_RATE, datagrams a second, caps what the dialog sends for links that drop bursts;
// unset (or not a number above 0) the dialog sends as fast as its window allows.
uint32_t sendRateFromEnvironment() {
  wchar_t text[32] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"VYRMODEL_SEND_RATE", text, 32);
  if (length == 0 || length >= 32 || text[0] < L'0' || text[0] > L'9') return 0;
  wchar_t* end = nullptr;
  const unsigned long long rate = std::wcstoull(text, &end, 10);
  return *end == L'\0' && rate <= UINT32_MAX ? static_cast<uint32_t>(rate) : 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // WSAIoctl, which turns off the resets that a port-unreachable would cause, is Winsock 2.
  WSADATA winsock{};
  if (::WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 1;
  int status = 1;
  {
    // Without the socket there is nothing the dialog could do, so it is never shown.
    std::unique_ptr<vyr::Win32UdpSocket> socket = vyr::Win32UdpSocket::open();
    std::unique_ptr<vyr::FileSystem> files = vyr::openWin32FileSystem(L".");
    if (socket && files) {
      vyr::Win32Clock clock;
      const vyr::SendPacing pacing{vyr::windowForReceiveBuffer(socket->receiveBufferBytes()),
                                   sendRateFromEnvironment()};
      vyr::MainWindow main(*files, clock, *socket, pacing);
      vyr::runMainDialog(instance, main);
      status = 0;
    }
  }
  ::WSACleanup();
  return status;
}
