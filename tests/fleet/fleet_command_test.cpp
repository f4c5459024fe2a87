// Catches a vyr-fleet command line that takes what it should refuse (octal, signs, two units
// files, --demo with a fleet), refuses what it should take, prints help or errors on the wrong
// stream or status, and a --demo that overwrites a file or writes bytes other than demo/'s.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/demo_files.h"
#include "fleet/fleet_options.h"

namespace vyr::fleet {
namespace {

struct Parsed {
  std::optional<int> status;
  FleetOptions options;
  std::string out;
  std::string err;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vyr-fleet");
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Parsed result;
  std::ostringstream out;
  std::ostringstream err;
  result.status = readFleetOptions(static_cast<int>(argv.size()), argv.data(), result.options,
                                   out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

TEST(FleetCommandTest, CommandLines) {
  const struct {
    std::vector<std::string> args;
    int status;          // -1: goes on to simulate or write the demo
    const char* stdOut;  // what stdout must hold ("" for nothing at all)
    const char* stdErr;  // what stderr must hold ("" for nothing at all)
    const char* units;
    const char* list;
    uint64_t generate;
    uint64_t seed;  // with seedGiven when not 0
    const char* demo;
  } cases[] = {
      {{"demo.units"}, -1, "", "", "demo.units", "", 0, 0, ""},
      {{"--write-list", "a.IPs", "u", "--generate", "0100", "--seed", "18446744073709551615"},
       -1, "", "", "u", "a.IPs", 100, UINT64_MAX, ""},
      {{"--generate", "9999999", "--generate", "5"}, -1, "", "", "", "", 5, 0, ""},
      {{"--demo", "out"}, -1, "", "", "", "", 0, 0, "out"},
      {{"--help"}, 0, "--write-list NAME.IPs", "", "", "", 0, 0, ""},
      {{"-V"}, 0, "vyr-fleet ", "", "", "", 0, 0, ""},
      {{"--version"}, 0, "vyr-fleet ", "", "", "", 0, 0, ""},
      {{}, 1, "", "no units", "", "", 0, 0, ""},
      {{"--generate", "0"}, 1, "", "no units", "", "", 0, 0, ""},
      {{"--generate", "10000000"}, 1, "", "--generate: '10000000'", "", "", 0, 0, ""},
      {{"--generate", "-1"}, 1, "", "--generate", "", "", 0, 0, ""},
      {{"--generate", "0x10"}, 1, "", "--generate: '0x10'", "", "", 0, 0, ""},
      {{"--generate"}, 1, "", "--generate", "", "", 0, 0, ""},
      {{"u", "--seed", "18446744073709551616"}, 1, "", "--seed", "", "", 0, 0, ""},
      {{"u", "--seed", " 1"}, 1, "", "--seed", "", "", 0, 0, ""},
      {{"u", "v"}, 1, "", "not expected: v", "", "", 0, 0, ""},
      {{"u", "--list", "a.IPs"}, 1, "", "--list", "", "", 0, 0, ""},
      {{"--demo", "out", "u"}, 1, "", "takes no other option", "", "", 0, 0, ""},
      {{"--demo", "out", "--generate", "3"}, 1, "", "takes no other option", "", "", 0, 0, ""},
  };
  for (const auto& c : cases) {
    const Parsed parsed = parse(c.args);
    const std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(parsed.status.value_or(-1), c.status) << label << parsed.err;
    if (*c.stdOut == '\0') {
      EXPECT_EQ(parsed.out, "") << label;
    }
    EXPECT_NE(parsed.out.find(c.stdOut), std::string::npos) << label << parsed.out;
    if (*c.stdErr == '\0') {
      EXPECT_EQ(parsed.err, "") << label;
    }
    EXPECT_NE(parsed.err.find(c.stdErr), std::string::npos) << label << parsed.err;
    if (c.status != -1) continue;
    EXPECT_EQ(parsed.options.unitsFile, c.units) << label;
    EXPECT_EQ(parsed.options.listFile, c.list) << label;
    EXPECT_EQ(parsed.options.generate, c.generate) << label;
    EXPECT_EQ(parsed.options.seedGiven, c.seed != 0) << label;
    EXPECT_EQ(parsed.options.seed, c.seed) << label;
    EXPECT_EQ(parsed.options.demoDir, c.demo) << label;
  }
}

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(FleetCommandTest, DemoFilesAreDemosOwnAndNeverOverwritten) {
  namespace fs = std::filesystem;
  const fs::path top = fs::temp_directory_path() / ("vyr-fleet-demo-" + std::to_string(::getpid()));
  const struct {
    std::vector<std::string> present;  // made, holding "mine", before --demo runs
    bool written;
  } cases[] = {
      {{}, true},  // and the folder, parents and all, is not there yet
      {{"north.IPs"}, false},
      {{"demo.units", "south.IPs"}, false},
  };
  int run = 0;
  for (const auto& c : cases) {
    const fs::path dir = top / std::to_string(run++) / "made";
    if (!c.present.empty()) fs::create_directories(dir);
    for (const std::string& name : c.present) std::ofstream(dir / name) << "mine";
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(writeDemoFiles(dir.string(), out, err), c.written) << err.str();
    EXPECT_EQ(out.str().find("vyr-fleet demo.units") != std::string::npos, c.written);
    size_t count = 0;
    const DemoFile* files = demoFiles(count);
    ASSERT_EQ(count, 3u);
    for (size_t i = 0; i < count; ++i) {
      const std::string demo = contents(fs::path(VYR_DEMO_DIR) / files[i].name);
      ASSERT_FALSE(demo.empty()) << files[i].name;
      const bool mine = std::count(c.present.begin(), c.present.end(), files[i].name) > 0;
      EXPECT_EQ(contents(dir / files[i].name), mine ? "mine" : c.written ? demo : "")
          << files[i].name;
      EXPECT_EQ(err.str().find(files[i].name) != std::string::npos, mine) << err.str();
    }
  }
  fs::remove_all(top);
}

}  // namespace
}  // namespace vyr::fleet
