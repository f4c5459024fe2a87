#pragma once
// Tests that bind the fixed unit and server ports move into a network namespace of their own,
// with only a loopback interface, so that they collide neither with each other nor with a
// simulator running on the machine.

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vyr::testing {

// A new user namespace can only be entered by a process with a single thread.
inline bool singleThreaded() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  int count = 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count == 1;
}

inline void writeProcFile(const char* path, const std::string& text) {
  const int file = ::open(path, O_WRONLY | O_CLOEXEC);
  if (file < 0) return;
  (void)!::write(file, text.data(), text.size());
  ::close(file);
}

inline bool bringLoopbackUp() {
  const int socketHandle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socketHandle < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(socketHandle, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    up = ioctl(socketHandle, SIOCSIFFLAGS, &request) == 0;
  }
  ::close(socketHandle);
  return up;
}

// Moves this process into a private network namespace with loopback up. Returns false, leaving
// the process where it was, when that cannot be done; later calls give the first call's answer.
inline bool enterPrivateNetwork() {
  static int entered = -1;
  if (entered >= 0) return entered == 1;
  entered = 0;
  const int original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  bool moved = unshare(CLONE_NEWNET) == 0;
  if (!moved && errno == EPERM && singleThreaded()) {
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    moved = unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
    if (moved) {
      writeProcFile("/proc/self/setgroups", "deny");
      writeProcFile("/proc/self/gid_map", "0 " + gid + " 1");
      writeProcFile("/proc/self/uid_map", "0 " + uid + " 1");
    }
  }
  if (moved && bringLoopbackUp()) {
    entered = 1;
  } else if (moved && original >= 0) {
    setns(original, CLONE_NEWNET);  // an unusable namespace is worse than the shared one
  }
  if (original >= 0) ::close(original);
  return entered == 1;
}

}  // namespace vyr::testing
