// vyr-fleet: a fleet of units and their IP server on loopback, for trying the tool without a
// fleet. Prints "ready" once it listens and its counters when SIGINT or SIGTERM stops it.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "fleet/fleet_model.h"
#include "fleet/fleet_simulator.h"

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void requestStop(int) { stopRequested.store(true); }

const char* const USAGE =
    "usage: vyr-fleet UNITS-FILE [--write-list NAME.IPs] [--generate N] [--seed N]\n"
    "       vyr-fleet --generate N [--write-list NAME.IPs] [--seed N]\n"
    "Generated units follow those of the units file, whose options apply to them too.\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "vyr-fleet: %s\n", message.c_str());
  return 1;
}

bool readNumber(const char* text, uint64_t limit, uint64_t& value) {
  if (*text == '\0') return false;
  value = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
    const auto digit = static_cast<uint64_t>(*text - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
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

struct Options {
  const char* unitsFile = nullptr;
  const char* listFile = nullptr;
  uint64_t generate = 0;
  uint64_t seed = 0;
  bool seedGiven = false;
};

// Reads the command line into `options`; says what is wrong and returns false when it cannot.
bool readOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--write-list") == 0 && hasValue) {
      options.listFile = argv[++i];
    } else if (std::strcmp(argv[i], "--generate") == 0 && hasValue) {
      if (!readNumber(argv[++i], 9999999, options.generate)) {
        fail("bad unit count");
        return false;
      }
    } else if (std::strcmp(argv[i], "--seed") == 0 && hasValue) {
      if (!readNumber(argv[++i], UINT64_MAX, options.seed)) {
        fail("bad seed");
        return false;
      }
      options.seedGiven = true;
    } else if (argv[i][0] != '-' && options.unitsFile == nullptr) {
      options.unitsFile = argv[i];
    } else {
      std::fputs(USAGE, stderr);
      return false;
    }
  }
  if (options.unitsFile == nullptr && options.generate == 0) {
    std::fputs(USAGE, stderr);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!readOptions(argc, argv, options)) return 1;

  vyr::fleet::FleetDescription description;
  std::string error;
  if (options.unitsFile != nullptr) {
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

  if (options.listFile != nullptr) {
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
