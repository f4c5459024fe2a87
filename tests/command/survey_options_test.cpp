// Catches a command line that accepts what it should refuse (a three-number or out-of-range
// server, a bad timeout, a list that is no list file name), refuses what it should accept, exits
// with the wrong status, or blames the wrong argument in its message.

#include "survey_command/survey_options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace vyr {
namespace {

struct Parsed {
  std::optional<SurveyExit> exit;
  SurveyOptions options;
  std::string out;
  std::string err;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vyr-survey");
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Parsed result;
  std::ostringstream out;
  std::ostringstream err;
  result.exit = readSurveyOptions(static_cast<int>(argv.size()), argv.data(), result.options, out,
                                  err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

TEST(SurveyOptionsTest, BadArgumentsExitWithOneAndNameTheArgument) {
  const struct {
    std::vector<std::string> args;
    const char* named;  // what the message must name
  } cases[] = {
      {{}, "--list is required"},
      {{"--list"}, "--list"},
      {{"--list", "north.txt"}, "north.txt"},
      {{"--list", "dir/"}, "names a folder"},
      {{"--list", std::string(76, 'n') + ".IPs"}, "longer than 79"},
      {{"--list", "north.IPs", "--server", "1.2.3"}, "--server: '1.2.3'"},
      {{"--list", "north.IPs", "--server", "1.2.3.4.5"}, "--server: '1.2.3.4.5'"},
      {{"--list", "north.IPs", "--server", "1.2.3.256"}, "--server: '1.2.3.256'"},
      {{"--list", "north.IPs", "--server", "-1.2.3.4"}, "--server"},
      {{"--list", "north.IPs", "--server", " 1.2.3.4"}, "--server"},
      {{"--list", "north.IPs", "--server", "1.2.3.4 "}, "--server"},
      {{"--list", "north.IPs", "--server", "1.2.3.x"}, "--server: '1.2.3.x'"},
      {{"--list", "north.IPs", "--server", "localhost"}, "--server: 'localhost'"},
      {{"--list", "north.IPs", "--server", ""}, "--server"},
      {{"--list", "north.IPs", "--server", "0.0.0.0"}, "0.0.0.0 names no server"},
      {{"--list", "north.IPs", "--server"}, "--server"},
      {{"--list", "north.IPs", "--timeout", "0"}, "--timeout"},
      {{"--list", "north.IPs", "--timeout", "-5"}, "--timeout"},
      {{"--list", "north.IPs", "--timeout", "2000001"}, "--timeout"},
      {{"--list", "north.IPs", "--timeout", "ten"}, "--timeout"},
      {{"--list", "north.IPs", "--timeout", "1.5"}, "--timeout"},
      {{"--list", "north.IPs", "--rate", "0"}, "--rate"},
      {{"--list", "north.IPs", "--rate", "-1"}, "--rate"},
      {{"--list", "north.IPs", "--rate", "4294967296"}, "--rate"},
      {{"--list", "north.IPs", "--rate", "fast"}, "--rate"},
      {{"--list", "north.IPs", "--json"}, "--json"},
      {{"--list", "north.IPs", "--bogus"}, "unknown option --bogus\n"},
      {{"--list", "north.IPs", "south.IPs"}, "south.IPs"},
      // A mistyped option is named before the missing --list it may have been meant to be, with
      // the nearest option when it is a slip or two away.
      {{"--lst", "north.IPs"}, "unknown option --lst (did you mean --list?)\n"},
      {{"--jsno=-", "--list", "north.IPs"}, "unknown option --jsno (did you mean --json?)"},
      {{"--list", "north.IPs", "--Server", "1.2.3.4"},
       "unknown option --Server (did you mean --server?)"},
      {{"--list", "north.IPs", "--timeout", "0", "--tiemout", "5"}, "(did you mean --timeout?)"},
      {{"--ls", "north.IPs"}, "unknown option --ls\n"},
      {{"-Q", "--list", "north.IPs"}, "unknown option -Q\n"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += "[" + arg + "] ";
    SCOPED_TRACE(joined);
    const Parsed result = parse(c.args);
    ASSERT_TRUE(result.exit.has_value()) << "accepted";
    EXPECT_EQ(exitStatus(*result.exit), 1);
    EXPECT_NE(result.err.find(c.named), std::string::npos) << result.err;
    EXPECT_EQ(result.err.rfind("vyr-survey: ", 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST(SurveyOptionsTest, GoodArgumentsGiveTheirValues) {
  const struct {
    std::vector<std::string> args;
    const char* directory;
    const char* list;
    const char* server;
    bool fresh;
    int timeout;
    bool quiet;
    const char* json;
    uint32_t rate = 0;
  } cases[] = {
      {{"--list", "north.IPs"}, ".", "north.IPs", "", false, 0, false, ""},
      {{"--server", "127.0.0.1", "--list", "north.ips", "--new"}, ".", "north.ips", "127.0.0.1",
       true, 0, false, ""},
      {{"--list", "sites/north.IPs", "--server", "255.255.255.255", "--timeout", "2000000"},
       "sites", "north.IPs", "255.255.255.255", false, 2000000, false, ""},
      {{"--list=/srv/a/b.IPs", "-q", "--json", "-"}, "/srv/a", "b.IPs", "", false, 0, true, "-"},
      {{"--list", "/x.IPs", "--quiet", "--json", "out.json", "--timeout=1"}, "/", "x.IPs", "",
       false, 1, true, "out.json"},
      // Given twice, the last one counts: scripts add to a base command.
      {{"--list", "a.IPs", "--timeout", "120", "--list", "b.IPs", "--timeout", "3"}, ".", "b.IPs",
       "", false, 3, false, ""},
      {{"--list", "a.IPs", "--rate", "1"}, ".", "a.IPs", "", false, 0, false, "", 1},
      {{"--list", "a.IPs", "--rate", "4294967295"}, ".", "a.IPs", "", false, 0, false, "",
       4294967295u},
      {{"--list", std::string(75, 'n') + ".IPs", "--server", "10.0.0.1"}, ".",
       "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn.IPs",
       "10.0.0.1", false, 0, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const Parsed result = parse(c.args);
    ASSERT_FALSE(result.exit.has_value()) << result.err;
    EXPECT_EQ(result.options.directory, c.directory);
    EXPECT_EQ(result.options.listName, c.list);
    EXPECT_EQ(result.options.server, c.server);
    EXPECT_EQ(result.options.fresh, c.fresh);
    EXPECT_EQ(result.options.timeoutSeconds, c.timeout);
    EXPECT_EQ(result.options.quiet, c.quiet);
    EXPECT_EQ(result.options.json, c.json);
    EXPECT_EQ(result.options.rate, c.rate);
    EXPECT_EQ(result.err, "");
  }
}

TEST(SurveyOptionsTest, HelpAndVersionExitWithZeroOnStandardOutput) {
  const Parsed help = parse({"--help"});
  ASSERT_TRUE(help.exit.has_value());
  EXPECT_EQ(exitStatus(*help.exit), 0);
  EXPECT_EQ(help.err, "");
  for (const char* text : {"--list", "--server", "--new", "--timeout", "--rate", "--quiet",
                           "--json",
                           "Exit status:", "  0  complete", "  1  bad arguments", "  2  timed out",
                           "  3  stopped", "  4  the report", "  5  could not run", "Latin-1"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
  for (const char* flag : {"--version", "-V"}) {
    SCOPED_TRACE(flag);
    const Parsed version = parse({flag, "--list", "x.txt"});
    ASSERT_TRUE(version.exit.has_value());
    EXPECT_EQ(exitStatus(*version.exit), 0);
    EXPECT_EQ(version.out.rfind("vyr-survey ", 0), 0u) << version.out;
  }
}

}  // namespace
}  // namespace vyr
