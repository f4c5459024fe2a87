// vyr-fleet: a fleet of units and their IP server on loopback, for trying the tool without a
// fleet. Prints "ready" once it listens and its counters when SIGINT or SIGTERM stops it.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "fleet/demo_files.h"
#include "fleet/fleet_model.h"
#include "fleet/fleet_options.h"
#include "fleet/fleet_simulator.h"

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void requestStop(int) { stopRequested.store(true); }

int fail(const std::string& message) {
  std::fprintf(stderr, "vyr-fleet: %s\n", message.c_str());
  return 1;
}

void printCounters(const vyr::fleet::FleetCounters& fleet,
                   const vyr::fleet::SimulatorCounters& wire,
                   const vyr::fleet::LiveCounters& live) {
  const struct {
    const char* name;
    uint64_t value;
  } lines[] = {
      {"identify requests", fleet.identifyRequests},
      {"version requests", fleet.versionRequests},
      {"modem requests", fleet.modemRequests},
      {"locate requests", fleet.locateRequests},
      {"acknowledgements", fleet.acknowledgements},
      {"unknown requests", fleet.unknownRequests},
      {"wrong ID queries", fleet.wrongIdQueries},
      {"stray acknowledgements", fleet.strayAcknowledgements},
      {"ignored by silent units", fleet.ignoredBySilentUnits},
      {"requests lost", fleet.droppedRequests},
      {"replies lost", fleet.droppedReplies},
      {"unit replies", fleet.unitReplies},
      {"server replies", fleet.serverReplies},
      {"of them unknown units", fleet.unknownUnitReplies},
      {"duplicates", fleet.duplicates},
      {"late copies", fleet.lateCopies},
      {"wrong-port copies", fleet.wrongPortCopies},
      {"noise datagrams", fleet.noiseDatagrams},
      {"flood datagrams", fleet.floodDatagrams},
      {"datagrams received", wire.received},
      {"datagrams sent", wire.sent},
      {"send failures", wire.sendFailures},
      {"most replies waiting", wire.peakWaiting},
      {"late copies sent", live.lateCopiesSent.load()},
      {"flood datagrams sent", live.floodSent.load()},
  };
  for (const auto& line : lines) {
    std::fprintf(stderr, "%-24s %llu\n", line.name, static_cast<unsigned long long>(line.value));
  }
}

}  // namespace

int main(int argc, char** argv) {
  vyr::fleet::FleetOptions options;
  if (const auto status = vyr::fleet::readFleetOptions(argc, argv, options, std::cout, std::cerr)) {
    return *status;
  }
  if (!options.demoDir.empty()) {
    return vyr::fleet::writeDemoFiles(options.demoDir, std::cout, std::cerr) ? 0 : 1;
  }

  vyr::fleet::FleetDescription description;
  std::string error;
  if (!options.unitsFile.empty()) {
    std::ifstream in(options.unitsFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) return fail(std::string("cannot read ") + options.unitsFile);
    if (!vyr::fleet::parseFleet(text.str(), description, error))
      return fail(options.unitsFile + (": " + error));
  }
  if (options.seedGiven) description.seed = options.seed;
  if (options.generate > 0) {
    vyr::fleet::FleetDescription generated =
        vyr::fleet::generateFleet(static_cast<uint32_t>(options.generate), description.seed);
    description.units.insert(description.units.end(), generated.units.begin(),
                             generated.units.end());
  }
  if (!vyr::fleet::checkFleet(description, error)) return fail(error);

  if (!options.listFile.empty()) {
    std::ofstream out(options.listFile, std::ios::binary | std::ios::trunc);
    out << vyr::fleet::listFileText(description);
    out.close();
    if (!out) return fail(std::string("cannot write ") + options.listFile);
  }

  vyr::fleet::FleetModel model(std::move(description));
  vyr::fleet::FleetSimulator simulator(model);
  if (!simulator.open(error)) return fail(error);

  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  simulator.run(stopRequested);
  printCounters(model.counters(), simulator.counters(), simulator.live());
  return 0;
}
