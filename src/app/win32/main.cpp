// vyrmodel.exe: the operator's dialog on Windows. The working directory is its configuration: it
// lists the "*.IPs" files there and writes each report and progress file beside its list.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "app/send_rate.h"
#include "app/win32/main_window.h"
#include "platform/win32/latin1_text.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_udp_socket.h"

namespace {

// The variable's text as the one parser reads it. A character beyond ASCII is no digit: as "?" it
// makes the text no number, as it is not one. A window program has nowhere to say so; it then
// sends as fast as its window allows.
uint32_t sendRateFromEnvironment() {
  const std::wstring name = vyr::widenLatin1(vyr::SEND_RATE_VARIABLE);
  const DWORD size = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  std::wstring wide(size, L'\0');
  if (size != 0) wide.resize(::GetEnvironmentVariableW(name.c_str(), wide.data(), size));
  std::string text(wide.size(), '?');
  for (size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] < 0x80) text[i] = static_cast<char>(wide[i]);
  }
  bool valid = false;
  return vyr::parseSendRate(size == 0 ? nullptr : text.c_str(), valid);
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
