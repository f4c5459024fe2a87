#pragma once
// Winsock started once for a whole test program, as the programs start it once for their run.

#include <gtest/gtest.h>
#include <winsock2.h>

namespace vyr::testing {

class WinsockEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { ::WSACleanup(); }
};

inline ::testing::Environment* const winsockEnvironment =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace vyr::testing
