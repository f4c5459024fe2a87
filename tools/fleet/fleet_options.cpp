#include "fleet/fleet_options.h"

#include <CLI/CLI.hpp>

#ifndef VYR_VERSION
#define VYR_VERSION "unknown"
#endif

namespace vyr::fleet {
namespace {

const char* const DESCRIPTION =
    "Answers as a fleet of field units and their IP server would, over loopback UDP, for\n"
    "trying vyrmodel and vyr-survey without a fleet. Prints \"ready\" once it listens and\n"
    "its counters on standard error when SIGINT or SIGTERM stops it.";

const char* const FOOTER =
    R"(Units listen on port 18772 of their own 127.x.y.z address, the IP server on
127.0.0.1:18775. Generated units follow those of the units file, whose options
apply to them too. `man vyr-fleet` describes the units file.

Exit status:
  0  stopped by SIGINT or SIGTERM, or done (--demo, --help, --version)
  1  bad arguments, a units file that cannot be read or parsed, a file that
     cannot be written (or would be overwritten), or ports that cannot be bound)";

// Plain decimal digits only, at most `limit`: no sign, no blanks, no 0x or leading-zero octal,
// which a general number reader would take.
bool readDecimal(const std::string& text, uint64_t limit, uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

CLI::Validator decimal(uint64_t limit) {
  return CLI::Validator(
      [limit](const std::string& text) -> std::string {
        uint64_t value = 0;
        if (readDecimal(text, limit, value)) return {};
        return "'" + text + "' is not a whole number from 0 to " + std::to_string(limit);
      },
      "");
}

}  // namespace

std::optional<int> readFleetOptions(int argc, const char* const* argv, FleetOptions& options,
                                    std::ostream& out, std::ostream& err) {
  CLI::App app{DESCRIPTION, "vyr-fleet"};
  app.footer(FOOTER);
  app.get_formatter()->column_width(28);
  app.set_version_flag("-V,--version", std::string("vyr-fleet ") + VYR_VERSION);
  // An option given twice takes its last value, as it always has.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  std::string generate;
  std::string seed;
  CLI::Option* units =
      app.add_option("UNITS-FILE", options.unitsFile, "The units and options to simulate")
          ->type_name("");
  CLI::Option* list =
      app.add_option("--write-list", options.listFile,
                     "Write the list file naming the fleet's\nunits, before listening")
          ->type_name("NAME.IPs");
  CLI::Option* generated =
      app.add_option("--generate", generate,
                     "Add N well-behaved units from 127.1.0.1\nupwards, 0 to 9999999")
          ->type_name("N")
          ->check(decimal(MAX_GENERATED_UNITS));
  CLI::Option* seeded = app.add_option("--seed", seed, "Fix every random choice")
                            ->type_name("N")
                            ->check(decimal(UINT64_MAX));
  app.add_option("--demo", options.demoDir,
                 "Write the demo's units file and lists\n(demo.units, north.IPs, south.IPs) "
                 "into\nDIR, made if missing, and say what to\nrun next; overwrites nothing")
      ->type_name("DIR");

  try {
    app.parse(argc, argv);
    // Checked here rather than by CLI11's excludes(), which would crowd every line of the help.
    if (!options.demoDir.empty() && (units->count() + list->count() + generated->count() +
                                     seeded->count()) > 0) {
      throw CLI::ValidationError("--demo DIR writes the demo's files and takes no other option");
    }
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::CallForVersion& version) {
    out << version.what() << '\n';
    return 0;
  } catch (const CLI::ParseError& error) {
    err << "vyr-fleet: " << error.what() << "\nTry 'vyr-fleet --help' for more.\n";
    return 1;
  }
  // Both were checked by their validators.
  readDecimal(generate, MAX_GENERATED_UNITS, options.generate);
  options.seedGiven = readDecimal(seed, UINT64_MAX, options.seed);
  if (options.demoDir.empty() && options.unitsFile.empty() && options.generate == 0) {
    err << "vyr-fleet: no units: give a units file, --generate N (N above 0) or --demo DIR\n"
           "Try 'vyr-fleet --help' for more.\n";
    return 1;
  }
  return std::nullopt;
}

}  // namespace vyr::fleet
