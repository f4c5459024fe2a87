// Catches an output file emptied before the survey starts or left unemptied after, a new file not
// known as created (so never removed again), line feeds turned into CR LF, and a file identity that
// misses another spelling of the same file or takes another file for it.

#include "platform/output_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vyr::testing {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    directory_ = fs::temp_directory_path() / (std::string("vyr-output-") + test->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_ / "sub");
    std::ofstream(directory_ / "other.txt", std::ios::binary) << "other\n";
  }
  void TearDown() override { fs::remove_all(directory_); }

  fs::path directory_;
};

TEST_F(OutputFileTest, OpensWithoutEmptyingAndBeginsByEmptyingWhatWasThere) {
  const struct {
    const char* name;
    const char* before;  // null: no file there
    bool created;
  } cases[] = {
      {"absent", nullptr, true},
      {"empty", "", false},
      {"with lines", "an earlier run's line\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = directory_ / "out.json";
    fs::remove(path);
    if (c.before != nullptr) std::ofstream(path, std::ios::binary) << c.before;

    OutputFile file;
    ASSERT_TRUE(openOutputFile(path.string(), file));
    EXPECT_EQ(file.created, c.created);
    EXPECT_TRUE(file.regular);
    EXPECT_FALSE(file.standardOutput);
    EXPECT_EQ(contents(path), c.before == nullptr ? "" : c.before) << "emptied at the open";

    // The same file by its name, by another spelling of it, and not the file beside it.
    EXPECT_TRUE(identifyFile(path.string()).sameAs(file.identity));
    EXPECT_TRUE(identifyFile((directory_ / "sub" / ".." / "out.json").string()).sameAs(file.identity));
    EXPECT_FALSE(identifyFile((directory_ / "other.txt").string()).sameAs(file.identity));
    EXPECT_FALSE(identifyFile((directory_ / "missing.txt").string()).sameAs(file.identity));

    ASSERT_TRUE(beginOutputFile(file));
    ASSERT_NE(file.stream, nullptr);
    std::fputs("{\"type\": \"unit\"}\n{\"type\": \"summary\"}\n", file.stream);
    ASSERT_EQ(std::fclose(file.stream), 0);
    EXPECT_EQ(contents(path), "{\"type\": \"unit\"}\n{\"type\": \"summary\"}\n");
  }
}

TEST_F(OutputFileTest, AFileNotBegunIsClosedAndCanBeRemoved) {
  const fs::path path = directory_ / "out.json";
  OutputFile file;
  ASSERT_TRUE(openOutputFile(path.string(), file));
  ASSERT_TRUE(file.created);
  closeOutputFile(file);
  EXPECT_TRUE(removeFile(path.string()));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(removeFile(path.string())) << "removed twice";

  OutputFile none;
  EXPECT_FALSE(openOutputFile((directory_ / "no-such-folder" / "out.json").string(), none));
}

}  // namespace
}  // namespace vyr::testing
