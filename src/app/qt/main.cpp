// vyrmodel: the operator's dialog. The working directory is its configuration: it lists the
// "*.IPs" files there and writes each report and progress file beside its list.

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/qt/main_dialog.h"
#include "app/send_rate.h"
#include "core/survey_driver.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "platform/posix/termination_signals.h"

namespace {

// Qt ends the process with exit() when it loses the X server, as it does at the end of a desktop
// session, and the dialog is then never destroyed: its survey is saved here instead.
vyr::Context* openDialogContext = nullptr;

void saveOnExit() {
  if (openDialogContext != nullptr) vyr::endDriving(*openDialogContext);
}

uint32_t sendRateFromEnvironment() {
  const char* text = std::getenv(vyr::SEND_RATE_VARIABLE);
  bool valid = true;
  const uint32_t rate = vyr::parseSendRate(text, valid);
  if (!valid) {
    std::fprintf(stderr, "vyrmodel: %s=%s is not a number of datagrams; ignored\n",
                 vyr::SEND_RATE_VARIABLE, text);
  }
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  // Without the socket there is nothing the dialog could do, so it is never shown.
  std::unique_ptr<vyr::PosixUdpSocket> socket = vyr::PosixUdpSocket::open();
  if (!socket) {
    std::fprintf(stderr, "vyrmodel: cannot open a UDP socket: %s\n", std::strerror(errno));
    return 1;
  }
  std::unique_ptr<vyr::FileSystem> files = vyr::openPosixFileSystem(".");
  if (!files) {
    std::fprintf(stderr, "vyrmodel: cannot open the working directory: %s\n", std::strerror(errno));
    return 1;
  }
  const int signals = vyr::watchTerminationSignals();

  QApplication application(argc, argv);
  vyr::PosixClock clock;
  {
    const vyr::SendPacing pacing{vyr::windowForReceiveBuffer(socket->receiveBufferBytes()),
                                 sendRateFromEnvironment()};
    vyr::MainDialog dialog(*files, clock, *socket, socket->fd(), pacing);
    // A termination signal ends the dialog as Exit would; its destruction then saves a running
    // survey. The desktop session asks for a save first and then quits the application, which
    // closes the dialog the same way.
    std::unique_ptr<QSocketNotifier> ending;
    if (signals >= 0) {
      ending = std::make_unique<QSocketNotifier>(signals, QSocketNotifier::Read);
      QObject::connect(ending.get(), &QSocketNotifier::activated, &dialog, &vyr::MainDialog::end);
    }
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &dialog,
                     &vyr::MainDialog::commitData);
    openDialogContext = &dialog.context();
    std::atexit(saveOnExit);
    dialog.exec();
    openDialogContext = nullptr;
  }
  return 0;
}
