#pragma once
// A test that binds the fixed unit and server ports and works in a directory of its own: it moves
// into a private network namespace where it can and gets a fresh temporary directory.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/network_namespace.h"

namespace vyr::testing {

class PrivateNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Without a private namespace the fixed ports are shared with the machine; CTest then runs
    // the tests that bind them one at a time.
    enterPrivateNetwork();
    std::string pattern = (std::filesystem::temp_directory_path() / "vyr-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string read(const char* name) {
    std::ifstream in(directory_ / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path directory_;
};

}  // namespace vyr::testing
