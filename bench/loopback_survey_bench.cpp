// Wall time of whole surveys against the fleet simulator over loopback UDP, from the start button
// to the saved report, with the requests it took beyond the minimum. Runs in a network namespace
// of its own (root or user namespaces), so it never meets a simulator running on the machine.
//
//   vyr_loopback_bench [UNITS ...]      default: 1000 10000

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/headless_loop.h"
#include "core/commands.h"
#include "fleet/fleet_simulator.h"
#include "platform/counting_socket.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "support/network_namespace.h"
#include "survey/list_files.h"

namespace {

constexpr uint32_t SERIAL_PERCENT = 25;

int surveyOnce(uint32_t units, const std::filesystem::path& directory) {
  const vyr::fleet::FleetDescription description =
      vyr::fleet::generateFleet(units, 43, SERIAL_PERCENT, 50);
  vyr::fleet::FleetModel model(description);
  vyr::fleet::FleetSimulator simulator(model);
  std::string error;
  if (!simulator.open(error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }
  std::atomic<bool> stop{false};
  std::thread fleetThread([&] { simulator.run(stop); });

  std::ofstream(directory / "fleet.IPs", std::ios::binary) << vyr::fleet::listFileText(description);
  std::filesystem::remove(directory / "fleet.model");
  auto files = vyr::openPosixFileSystem(directory.c_str());
  auto socket = vyr::PosixUdpSocket::open();
  vyr::CountingSocket counting(*socket);
  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::PosixClock clock;
  vyr::Context context(*files, dialog, list, clock, counting);
  dialog.serverField = "127.0.0.1";
  vyr::fillListSelector(context);
  dialog.select(0);
  vyr::chooseListFile(context);

  const auto started = std::chrono::steady_clock::now();
  vyr::pressStart(context, vyr::StartMode::FRESH);
  const bool done = vyr::runUntilDone(context, *socket, 600000);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  if (!done) vyr::abortSurvey(context);
  stop = true;
  fleetThread.join();

  // Address-listed units need identify, version and modem info; serial-listed ones a locate
  // query, its acknowledgement, version and modem info.
  uint64_t minimum = 0;
  for (const auto& unit : description.units)
    minimum += unit.listing == vyr::fleet::Listing::BY_SERIAL ? 4 : 3;
  std::printf("%7u units  %s  %8.0f ms  %8llu datagrams sent  %6llu beyond the minimum\n", units,
              done ? "complete" : "STALLED ",
              std::chrono::duration<double, std::milli>(elapsed).count(),
              static_cast<unsigned long long>(counting.sent),
              static_cast<unsigned long long>(counting.sent - minimum));
  return done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> sizes;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    const uint64_t units = std::strtoull(argv[i], &end, 10);
    if (end == argv[i] || *end != '\0' || units == 0 || units > UINT32_MAX) {
      std::fprintf(stderr, "usage: vyr_loopback_bench [UNITS ...]  (each a count above 0)\n");
      return 2;
    }
    sizes.push_back(static_cast<uint32_t>(units));
  }
  if (sizes.empty()) sizes = {1000, 10000};
  if (!vyr::testing::enterPrivateNetwork()) {
    std::fprintf(stderr, "no private network namespace: run as root or with user namespaces\n");
    return 1;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "vyr-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path directory = pattern;
  int result = 0;
  for (const uint32_t units : sizes) result |= surveyOnce(units, directory);
  std::filesystem::remove_all(directory);
  return result;
}
