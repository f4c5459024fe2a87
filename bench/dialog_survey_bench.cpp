// The real dialog surveying a large simulated fleet over loopback, on Qt's offscreen platform:
// from the press of N to the saved report, its wall and CPU time, its peak resident memory, and
// the longest time its event loop could not run a 2 ms timer (the longest flush, drain or
// row-update pass, paint included); and how long choosing the list held the loop before that.
// Unpaced (every queued request sent at once, as the dialog first did) and paced as the program
// sends, each in a process of its own beside a simulator process of its own, in a private network
// namespace (root or user namespaces).
//
//   vyr_dialog_survey_bench [UNITS]      default: 100000

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/qt/device_list.h"
#include "app/qt/main_dialog.h"
#include "fleet/fleet_simulator.h"
#include "loopback_measures.h"
#include "platform/paced_socket.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "support/network_namespace.h"
#include "survey/lifecycle.h"

namespace {

constexpr uint64_t FLEET_SEED = 47;
constexpr int PROBE_MS = 2;
constexpr int SURVEY_LIMIT_MS = 300000;

vyr::fleet::FleetDescription fleetOf(uint32_t units) {
  return vyr::fleet::generateFleet(units, FLEET_SEED, 25, 50);
}

// A figure of /proc/self/status in KiB: VmHWM, the most this process has had resident, or VmRSS.
long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0)
      return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return -1;
}

long peakResidentKiB() { return statusKiB("VmHWM:"); }

// Where the memory goes, with VYR_BENCH_GAPS set: resident now, at the named moment.
void noteResident(const char* when) {
  if (std::getenv("VYR_BENCH_GAPS") == nullptr) return;
  std::printf("    resident %s: %.1f MiB\n", when, static_cast<double>(statusKiB("VmRSS:")) / 1024);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The simulator, in a process of its own so that its memory and time are not the dialog's. Returns
// its pid once it listens, or -1.
pid_t startSimulator(uint32_t units) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    vyr::fleet::FleetModel model(fleetOf(units));
    vyr::fleet::FleetSimulator simulator(model);
    std::string error;
    if (!simulator.open(error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      ::_exit(1);
    }
    static std::atomic<bool> stop{false};
    std::signal(SIGTERM, [](int) { stop = true; });
    (void)!::write(ready[1], "r", 1);
    simulator.run(stop);
    std::printf("  (the simulator received %llu datagrams)\n",
                static_cast<unsigned long long>(simulator.counters().received));
    std::fflush(stdout);
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  const bool listening = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  return listening ? child : -1;
}

// One survey in the dialog; prints its figures. Runs in a freshly started process.
int surveyInDialog(int argc, char** argv, uint32_t units, bool paced, const char* directory) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  std::unique_ptr<vyr::FileSystem> files = vyr::openPosixFileSystem(directory);
  std::unique_ptr<vyr::PosixUdpSocket> socket = vyr::PosixUdpSocket::open();
  vyr::PosixClock clock;
  vyr::SendPacing pacing;
  if (paced) pacing.window = vyr::windowForReceiveBuffer(socket->receiveBufferBytes());
  vyr::MainDialog dialog(*files, clock, *socket, socket->fd(), pacing);
  dialog.show();
  QApplication::processEvents();
  noteResident("with the dialog shown");
  qobject_cast<QLineEdit*>(dialog.control(vyr::SERVER_FIELD))->setText("127.0.0.1");
  auto* selector = qobject_cast<QComboBox*>(dialog.control(vyr::LIST_SELECTOR));
  selector->setCurrentIndex(0);
  // Choosing the list comes before the press: the file is read and the rows added in one pass,
  // and the view learns of them in the next. Both are timed together, so the figure is an upper
  // bound of the longer one.
  QElapsedTimer choosing;
  choosing.start();
  Q_EMIT selector->activated(0);
  QApplication::processEvents();
  const qint64 choosingMs = choosing.elapsed();
  noteResident("with the list's rows");
  if (dialog.list().rowCount() != static_cast<int32_t>(units)) {
    std::fprintf(stderr, "the list gave %d rows\n", dialog.list().rowCount());
    return 1;
  }

  // The loop's latency: how late a 2 ms timer fires tells how long something else held the loop.
  QElapsedTimer wall;
  QElapsedTimer sinceProbe;
  qint64 longestGapMs = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  std::vector<std::pair<qint64, qint64>> gaps;  // (gap, when) of the longest few, for looking into
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 gap = sinceProbe.restart();
    longestGapMs = std::max(longestGapMs, gap);
    if (gap > 20) gaps.emplace_back(gap, wall.elapsed());
  });
  QTimer watch;
  double cpuAtStart = 0;
  double wallMs = 0;
  double cpuSpentMs = 0;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (vyr::surveyRunning(dialog.context()) && wall.elapsed() < SURVEY_LIMIT_MS) return;
    wallMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    cpuSpentMs = vyr::bench::cpuMilliseconds(RUSAGE_SELF) - cpuAtStart;
    QApplication::quit();
  });

  cpuAtStart = vyr::bench::cpuMilliseconds(RUSAGE_SELF);
  wall.start();
  sinceProbe.start();
  probe.start(PROBE_MS);
  watch.start(10);
  qobject_cast<QPushButton*>(dialog.control(vyr::NEW_BUTTON))->click();
  noteResident("once every unit is asked");
  QApplication::exec();
  noteResident("at the end");
  probe.stop();

  if (std::getenv("VYR_BENCH_GAPS") != nullptr) {
    for (const auto& [gap, when] : gaps)
      std::printf("    gap %lld ms ending at %lld ms\n", gap, when);
  }
  // The survey ended by itself (it completed), not at the time limit.
  const bool complete = !vyr::surveyRunning(dialog.context());
  const long peakKiB = peakResidentKiB();  // before the expected report is made to compare with
  std::map<uint16_t, uint64_t> drops = vyr::bench::udpDropsByPort();
  const bool exact = readFile(std::filesystem::path(directory) / "fleet.model") ==
                     vyr::fleet::expectedReport(fleetOf(units));
  std::printf(
      "  %-8s %s %s %7.0f ms, CPU %6.0f ms, peak resident %6.1f MiB, longest loop pass "
      "%4lld ms, dropped: dialog %llu, units %llu, server %llu\n",
      paced ? "paced" : "unpaced", complete ? "complete" : "STALLED ",
      exact ? "byte-exact" : "REPORT DIFFERS", wallMs, cpuSpentMs,
      static_cast<double>(peakKiB) / 1024.0, static_cast<long long>(longestGapMs - PROBE_MS),
      static_cast<unsigned long long>(drops[socket->localPort()]),
      static_cast<unsigned long long>(drops[vyr::DEVICE_PORT]),
      static_cast<unsigned long long>(drops[vyr::SERVER_PORT]));
  std::printf("  %-8s choosing the list before the press held the loop at most %lld ms\n",
              paced ? "paced" : "unpaced", static_cast<long long>(choosingMs));
  std::fflush(stdout);
  return complete && exact ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--dialog") == 0) {
    return surveyInDialog(1, argv, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)),
                          std::strcmp(argv[3], "paced") == 0, argv[4]);
  }
  uint32_t units = 100000;
  if (argc == 2) units = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (argc > 2 || units == 0) {
    std::fprintf(stderr, "usage: vyr_dialog_survey_bench [UNITS]\n");
    return 2;
  }
  if (!vyr::testing::enterPrivateNetwork()) {
    std::fprintf(stderr, "no private network namespace: run as root or with user namespaces\n");
    return 1;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "vyr-dialog-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path directory = pattern;
  std::ofstream(directory / "fleet.IPs", std::ios::binary)
      << vyr::fleet::listFileText(fleetOf(units));

  std::printf("%u units in the dialog:\n", units);
  std::fflush(stdout);
  int failed = 0;
  for (const char* mode : {"unpaced", "paced"}) {
    std::filesystem::remove(directory / "fleet.model");
    std::filesystem::remove(directory / "fleet.soFar");
    const pid_t simulator = startSimulator(units);
    if (simulator < 0) return 1;
    const pid_t dialog = ::fork();
    if (dialog == 0) {
      const std::string count = std::to_string(units);
      ::execl("/proc/self/exe", argv[0], "--dialog", count.c_str(), mode, directory.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(dialog, &status, 0);
    failed |= WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    ::kill(simulator, SIGTERM);
    ::waitpid(simulator, nullptr, 0);
  }
  std::filesystem::remove_all(directory);
  return failed;
}
