#pragma once
// Runs part of a test as a user without privileges. Root passes every permission check, so what a
// user may not write can only be tried as someone else: as root the body runs in a child process
// that has become user nobody.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace vyr::testing {

constexpr uid_t NOBODY = 65534;
constexpr int CANNOT_SWITCH = 77;

// Runs `body`, whose failures count as the test's. Returns why it could not run, or "" when it
// ran. As root the body runs as nobody in a child; its messages appear in the test's output and a
// failure there fails the test.
inline std::string runUnprivileged(const std::function<void()>& body) {
  if (::geteuid() != 0) {
    body();
    return "";
  }
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) {
      ::_exit(CANNOT_SWITCH);
    }
    body();
    std::fflush(nullptr);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return "waitpid failed";
  if (WIFEXITED(status) && WEXITSTATUS(status) == CANNOT_SWITCH) {
    return "this root cannot become user nobody (65534)";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the part run as user nobody failed; its messages are above";
  return "";
}

}  // namespace vyr::testing
