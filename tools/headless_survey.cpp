// Runs one survey without a window, in the working directory, as the dialog would run it:
//   vyr-survey --server A.B.C.D --list NAME.IPs [--new] [--timeout SECONDS] [--rate PER-SECOND]
// Exit status: 0 complete, 1 could not start, 2 timed out (aborted and saved), 3 stopped by a
// signal (saved). One summary line goes to stderr.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/headless_loop.h"
#include "core/commands.h"
#include "core/context.h"
#include "platform/counting_socket.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/paced_socket.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "survey/list_files.h"

namespace {

constexpr int MAX_TIMEOUT_SECONDS = 2000000;  // keeps the limit in milliseconds within an int

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

struct Options {
  std::string server;
  std::string list;
  vyr::StartMode mode = vyr::StartMode::RESUME;
  int timeoutMs = -1;
  uint32_t rate = 0;  // datagrams a second; 0: as fast as the window allows
};

int usage() {
  std::fprintf(stderr,
               "usage: vyr-survey --server A.B.C.D --list NAME.IPs [--new] [--timeout SECONDS]"
               " [--rate PER-SECOND]\n");
  return 1;
}

bool parseOptions(int argc, char** argv, Options& options) {
  bool haveServer = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view option = argv[i];
    bool hasValue = i + 1 < argc;
    if (option == "--new") {
      options.mode = vyr::StartMode::FRESH;
    } else if (option == "--server" && hasValue) {
      options.server = argv[++i];
      haveServer = true;
    } else if (option == "--list" && hasValue) {
      options.list = argv[++i];
    } else if (option == "--timeout" && hasValue) {
      char* end = nullptr;
      errno = 0;
      long seconds = std::strtol(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || end == argv[i] || seconds <= 0 ||
          seconds > MAX_TIMEOUT_SECONDS) {
        return false;
      }
      options.timeoutMs = static_cast<int>(seconds) * 1000;
    } else if (option == "--rate" && hasValue) {
      char* end = nullptr;
      errno = 0;
      const unsigned long rate = std::strtoul(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || end == argv[i] || argv[i][0] == '-' || rate == 0 ||
          rate > UINT32_MAX) {
        return false;
      }
      options.rate = static_cast<uint32_t>(rate);
    } else {
      return false;
    }
  }
  return haveServer && !options.list.empty();
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: the loop's wait must return to see the flag
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return usage();

  std::unique_ptr<vyr::FileSystem> files = vyr::openPosixFileSystem(".");
  if (!files) {
    std::fprintf(stderr, "vyr-survey: cannot read the working directory\n");
    return 1;
  }
  std::unique_ptr<vyr::PosixUdpSocket> socket = vyr::PosixUdpSocket::open();
  if (!socket) {
    std::fprintf(stderr, "vyr-survey: cannot open a UDP socket: %s\n", std::strerror(errno));
    return 1;
  }

  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::PosixClock clock;
  vyr::PacedSocket paced(*socket, clock,
                         {vyr::windowForReceiveBuffer(socket->receiveBufferBytes()), options.rate});
  vyr::CountingSocket counting(paced);
  vyr::Context context(*files, dialog, list, clock, counting);

  dialog.serverField = options.server;
  vyr::fillListSelector(context);
  if (!dialog.selectItem(options.list)) {
    std::fprintf(stderr, "vyr-survey: no list file %s in this directory\n", options.list.c_str());
    return 1;
  }
  vyr::chooseListFile(context);
  const int32_t units = list.rowCount();
  if (units <= 0) {
    std::fprintf(stderr, "vyr-survey: %s names no unit\n", options.list.c_str());
    return 1;
  }

  installStopHandlers();
  const uint32_t pressed = clock.tick();
  if (!vyr::pressStart(context, options.mode)) {
    std::fprintf(stderr, "vyr-survey: not enough memory for %d units\n", units);
    return 1;
  }

  int status = 0;
  const char* outcome = "complete";
  if (!vyr::runUntilDone(context, *socket, options.timeoutMs, &stopRequested, &paced)) {
    if (stopRequested != 0) {
      vyr::closeSurvey(context);
      status = 3;
      outcome = "stopped";
    } else {
      vyr::abortSurvey(context);
      status = 2;
      outcome = "timed out";
    }
  }
  std::fprintf(stderr, "vyr-survey: %s, %d units, %u ms, %llu datagrams sent\n", outcome, units,
               clock.tick() - pressed, static_cast<unsigned long long>(counting.sent));
  return status;
}
