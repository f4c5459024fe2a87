#pragma once
// vyr-fleet's command line: what to simulate, or where to write the demo's files.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace vyr::fleet {

struct FleetOptions {
  std::string unitsFile;  // empty: only generated units
  std::string listFile;   // empty: no list file written
  uint64_t generate = 0;
  uint64_t seed = 0;
  bool seedGiven = false;
  std::string demoDir;  // not empty: write the demo's files there instead of simulating
};

// The most units --generate adds: their addresses run from 127.1.0.1 and must stay in 127/8.
constexpr uint64_t MAX_GENERATED_UNITS = 9999999;

// Reads the command line into `options`. Returns the exit status when the program is done
// (0 after --help or --version, written to `out`; 1 after a bad command line, explained on
// `err`), or nothing when it should go on with `options`.
std::optional<int> readFleetOptions(int argc, const char* const* argv, FleetOptions& options,
                                    std::ostream& out, std::ostream& err);

}  // namespace vyr::fleet
