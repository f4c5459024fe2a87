// Whole surveys against the fleet simulator over loopback UDP, from the start button to the saved
// report, beside an echo of as many exchanges in the same run: what the machine allows (batched,
// with sendmmsg and recvmmsg; the unbatched echo of one system call a datagram is shown too). Each
// size is surveyed unpaced (every queued request sent at once, as the tool first did) and paced as
// vyr-survey and the dialog send (the window, which keeps the answers within the receive buffer),
// with the requests sent beyond the minimum and the datagrams each socket dropped. The survey runs
// as vyr-survey runs it: its poll loop, and its list view, which shows no rows. Runs in a network
// namespace of its own (root or user namespaces).
//
//   vyr_loopback_bench [--paced-only] [UNITS ...]      default: 1000 10000 100000

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "survey_command/list_file_rows.h"
#include "survey_command/poll_loop.h"
#include "core/survey_driver.h"
#include "fleet/fleet_simulator.h"
#include "loopback_measures.h"
#include "platform/counting_socket.h"
#include "platform/memory/memory_dialog.h"
#include "platform/paced_socket.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "support/network_namespace.h"
#include "survey/list_files.h"

namespace {

constexpr uint32_t SERIAL_PERCENT = 25;
constexpr uint32_t ECHO_WINDOW = 2048;  // the survey's own window at most

struct SurveyResult {
  bool done = false;
  bool exact = false;  // the report is the fleet's, byte for byte
  double milliseconds = 0;
  double toolCpuMs = 0, fleetCpuMs = 0;  // the tool's thread and the simulator's
  uint64_t sent = 0;
  uint64_t toolDrops = 0, unitDrops = 0, serverDrops = 0;
};

double threadCpuMs() { return vyr::bench::cpuMilliseconds(RUSAGE_THREAD); }

// Address-listed units need identify, version and modem info; serial-listed ones a locate query,
// its acknowledgement, version and modem info.
uint64_t minimumRequests(const vyr::fleet::FleetDescription& description) {
  uint64_t minimum = 0;
  for (const auto& unit : description.units)
    minimum += unit.listing == vyr::fleet::Listing::BY_SERIAL ? 4 : 3;
  return minimum;
}

SurveyResult surveyOnce(const vyr::fleet::FleetDescription& description, bool paced,
                        const std::filesystem::path& directory) {
  SurveyResult result;
  vyr::fleet::FleetModel model(description);
  vyr::fleet::FleetSimulator simulator(model);
  std::string error;
  if (!simulator.open(error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return result;
  }
  std::atomic<bool> stop{false};
  std::thread fleetThread([&] {
    simulator.run(stop);
    result.fleetCpuMs = threadCpuMs();
  });

  std::ofstream(directory / "fleet.IPs", std::ios::binary) << vyr::fleet::listFileText(description);
  std::filesystem::remove(directory / "fleet.model");
  auto files = vyr::openPosixFileSystem(directory.c_str());
  auto socket = vyr::PosixUdpSocket::open();
  vyr::PosixClock clock;
  vyr::SendPacing pacing;
  if (paced) pacing.window = vyr::windowForReceiveBuffer(socket->receiveBufferBytes());
  vyr::PacedSocket pacedSocket(*socket, clock, pacing);
  vyr::CountingSocket counting(pacedSocket);
  vyr::MemoryDialog dialog;
  vyr::ListFileRows list;
  vyr::Context context(*files, dialog, list, clock, counting);
  dialog.serverField = "127.0.0.1";
  vyr::fillListSelector(context);
  dialog.select(0);
  vyr::chooseListFile(context);

  const auto started = std::chrono::steady_clock::now();
  const double cpuBefore = threadCpuMs();
  vyr::pressStart(context, vyr::StartMode::FRESH);
  result.done = vyr::runUntilDone(context, socket->fd(), 600000);
  result.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  result.toolCpuMs = threadCpuMs() - cpuBefore;
  if (!result.done) vyr::abortSurvey(context);
  stop = true;
  fleetThread.join();
  std::map<uint16_t, uint64_t> drops = vyr::bench::udpDropsByPort();
  result.toolDrops = drops[socket->localPort()];
  result.unitDrops = drops[vyr::DEVICE_PORT];
  result.serverDrops = drops[vyr::SERVER_PORT];
  result.sent = counting.sent;
  std::ifstream saved(directory / "fleet.model", std::ios::binary);
  const std::string report((std::istreambuf_iterator<char>(saved)),
                           std::istreambuf_iterator<char>());
  result.exact = report == vyr::fleet::expectedReport(description);
  return result;
}

void report(const char* how, const SurveyResult& result, uint64_t minimum, double echoMs) {
  std::printf(
      "  %-8s %s %s %8.0f ms (CPU: tool %.0f ms, simulator %.0f ms) %8llu sent %7llu beyond"
      " the minimum  dropped: tool %llu, units %llu, server %llu  %5.2fx the batched echo\n",
      how, result.done ? "complete" : "STALLED ", result.exact ? "byte-exact" : "REPORT DIFFERS",
      result.milliseconds, result.toolCpuMs, result.fleetCpuMs,
      static_cast<unsigned long long>(result.sent),
      static_cast<unsigned long long>(result.sent - minimum),
      static_cast<unsigned long long>(result.toolDrops),
      static_cast<unsigned long long>(result.unitDrops),
      static_cast<unsigned long long>(result.serverDrops), result.milliseconds / echoMs);
}

int benchmark(uint32_t units, bool pacedOnly, const std::filesystem::path& directory) {
  const vyr::fleet::FleetDescription description =
      vyr::fleet::generateFleet(units, 43, SERIAL_PERCENT, 50);
  const uint64_t minimum = minimumRequests(description);
  const vyr::bench::EchoResult echo = vyr::bench::batchedEcho(minimum, ECHO_WINDOW);
  const vyr::bench::EchoResult unbatched = vyr::bench::rawEcho(minimum, ECHO_WINDOW);
  std::printf(
      "%7u units: batched echo of %llu exchanges %.0f ms (CPU: client %.0f ms, echo %.0f ms;"
      " %llu lost)\n",
      units, static_cast<unsigned long long>(minimum), echo.milliseconds, echo.clientCpuMs,
      echo.echoCpuMs, static_cast<unsigned long long>(echo.lost));
  std::printf("%7s        unbatched echo %.0f ms (%llu lost)\n", "", unbatched.milliseconds,
              static_cast<unsigned long long>(unbatched.lost));
  int failed = 0;
  if (!pacedOnly) {
    const SurveyResult before = surveyOnce(description, false, directory);
    report("unpaced", before, minimum, echo.milliseconds);
    failed |= before.done && before.exact ? 0 : 1;
  }
  const SurveyResult after = surveyOnce(description, true, directory);
  report("paced", after, minimum, echo.milliseconds);
  failed |= after.done && after.exact ? 0 : 1;
  std::fflush(stdout);
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> sizes;
  bool pacedOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--paced-only") {
      pacedOnly = true;
      continue;
    }
    char* end = nullptr;
    const uint64_t units = std::strtoull(argv[i], &end, 10);
    if (end == argv[i] || *end != '\0' || units == 0 || units > UINT32_MAX) {
      std::fprintf(
          stderr, "usage: vyr_loopback_bench [--paced-only] [UNITS ...]  (each a count above 0)\n");
      return 2;
    }
    sizes.push_back(static_cast<uint32_t>(units));
  }
  if (sizes.empty()) sizes = {1000, 10000, 100000};
  if (!vyr::testing::enterPrivateNetwork()) {
    std::fprintf(stderr, "no private network namespace: run as root or with user namespaces\n");
    return 1;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "vyr-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path directory = pattern;
  int result = 0;
  for (const uint32_t units : sizes) result |= benchmark(units, pacedOnly, directory);
  std::filesystem::remove_all(directory);
  return result;
}
