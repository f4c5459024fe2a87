// Catches wrong exit statuses and messages of vyr-report's commands, and a page written over the
// report it reads.

#include "report/report_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "report_texts.h"

namespace vyr {
namespace {

namespace fs = std::filesystem;
using report_test::reportText;

class ReportCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("vyr-report-test-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(std::random_device{}()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    write("north.model",
          reportText({"H", "10.0.0.1\t1\tA\t1.00\tPUMP\t3.12", "10.0.0.2\t0\t\t0.00\t\t0.00", "H",
                      "10.0.0.1\t1\tA\t1.00\tPUMP\t3.20", "10.0.0.2\t0\t\t0.00\t\t0.00"}));
    write("one.model",
          reportText({"H", "10.0.0.1\t1\tA\t1.00\tPUMP\t3.20", "10.0.0.2\t0\t\t0.00\t\t0.00"}));
    write("cut.model", reportText({"H"}) + "10.0.0.1\t1\tA");
    write("north.IPs", "10.0.0.1\r\n10.0.0.2\r\n");
  }
  void TearDown() override { fs::remove_all(folder_); }

  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }
  std::string path(const std::string& name) const { return (folder_ / name).string(); }

  fs::path folder_;
};

struct CommandCase {
  std::vector<std::string> args;  // a word ending in .model, .IPs or .html names a file here
  int status;
  const char* out;  // a piece of stdout, or ""
  const char* err;  // a piece of stderr, or "" when stderr stays empty
};

TEST_F(ReportCommand, ExitStatusesAndMessages) {
  const CommandCase cases[] = {
      {{"--help"}, 0, "Usage: vyr-report", ""},
      {{"summary", "--help"}, 0, "--section K", ""},
      {{"-V"}, 0, "vyr-report ", ""},
      {{}, 2, "", "vyr-report: A subcommand is required"},
      {{"summary", "north.model"}, 0, "Section 2: units by application", ""},
      {{"summary", "north.model", "--section", "1", "--format", "csv"},
       0,
       "version,1,,1,,,PUMP,3.12,",
       ""},
      {{"summary", "north.model", "--section", "3"},
       2,
       "",
       "north.model: there is no section 3; it has 2 sections"},
      {{"summary", "north.model", "--format", "xml"}, 2, "", "vyr-report: --format"},
      {{"summary", "missing.model"}, 2, "", "missing.model: "},
      {{"summary", "north.IPs"}, 2, "", "north.IPs: line 1: not a report"},
      {{"summary", "cut.model"}, 2, "", "cut.model: line 2: cut short"},
      {{"diff", "north.model"}, 1, "changed  10.0.0.1  Version  3.12  3.20", ""},
      {{"diff", "north.model", "--from", "2", "--to", "2"}, 0, "No unit changed", ""},
      {{"diff", "north.model", "--to", "1"}, 2, "", "section 1 is the first"},
      {{"diff", "north.model", "--from", "1", "--to", "5"}, 2, "", "there is no section 5"},
      {{"diff", "one.model"}, 2, "", "one.model: it has one section"},
      {{"diff", "one.model", "north.model"}, 0, "", ""},
      {{"diff", "north.model", "one.model", "--from", "1"}, 2, "", "not two reports"},
      {{"diff", "one.model", "north.model", "cut.model"}, 2, "", "vyr-report: "},
      {{"summary", "one.model", "north.model"}, 2, "", "vyr-report: "},
      {{"diff", "north.model", "--format", "json"},
       1,
       R"({"type":"change","change":"changed")",
       ""},
      {{"html", "north.model"}, 2, "", "--output is required"},
      {{"html", "north.model", "-o", "page.html"},
       0,
       "page.html: section 2 of 2, 2 units, 1 did not answer, 1 change since section 1",
       ""},
      {{"html", "north.model", "--output", "page.html", "--section", "1"},
       0,
       "section 1 of 2,",
       ""},
  };
  for (const CommandCase& c : cases) {
    std::vector<std::string> words = {"vyr-report"};
    std::string shown;
    for (const std::string& arg : c.args) {
      const bool file = arg.ends_with(".model") || arg.ends_with(".IPs") || arg.ends_with(".html");
      words.push_back(file ? path(arg) : arg);
      shown += " " + arg;
    }
    SCOPED_TRACE(shown);
    std::vector<const char*> argv;
    argv.reserve(words.size());
    for (const std::string& word : words) argv.push_back(word.c_str());
    std::string out;
    std::string err;
    EXPECT_EQ(runReport(int(argv.size()), argv.data(), out, err), c.status) << out << err;
    EXPECT_NE(out.find(c.out), std::string::npos) << out;
    if (c.err[0] == '\0') {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_NE(err.find(c.err), std::string::npos) << err;
    }
  }
  std::ifstream page(folder_ / "page.html");
  std::string first;
  std::getline(page, first);
  EXPECT_EQ(first, "<!DOCTYPE html>");
}

// The page is never written over the report, under whatever name the report is reached.
TEST_F(ReportCommand, RefusesAPageThatIsTheReport) {
  const std::string before = reportText({"H", "10.0.0.1\t1\tA\t1.00\tPUMP\t3.12"});
  write("r.model", before);
  fs::create_hard_link(folder_ / "r.model", folder_ / "linked.html");
  fs::create_symlink(folder_ / "r.model", folder_ / "symlinked.html");
  for (const char* name : {"r.model", "linked.html", "symlinked.html"}) {
    const std::string report = path("r.model");
    const std::string output = path(name);
    const char* argv[] = {"vyr-report", "html", report.c_str(), "-o", output.c_str()};
    std::string out;
    std::string err;
    EXPECT_EQ(runReport(5, argv, out, err), REPORT_BAD_INPUT) << name;
    EXPECT_NE(err.find("is the report itself"), std::string::npos) << err;
  }
  std::ifstream file(folder_ / "r.model", std::ios::binary);
  const std::string after((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace vyr
