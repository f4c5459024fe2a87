// Output files on POSIX systems: descriptors, and a file's device and inode.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/output_file.h"

namespace vyr {
namespace {

FileIdentity identityOf(const struct stat& status) {
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(status.st_dev);
  identity.file = static_cast<uint64_t>(status.st_ino);
  identity.known = status.st_ino != 0;
  return identity;
}

}  // namespace

FileIdentity identifyFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return {};
  return identityOf(status);
}

bool openOutputFile(const std::string& path, OutputFile& file) {
  file = {};
  int fd = STDOUT_FILENO;
  if (path == "-") {
    file.standardOutput = true;
  } else {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    file.created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
  }
  file.native = fd;
  struct stat status {};
  if (::fstat(fd, &status) == 0) {
    file.identity = identityOf(status);
    file.regular = S_ISREG(status.st_mode);
  }
  return true;
}

bool beginOutputFile(OutputFile& file) {
  if (file.stream != nullptr) return true;
  if (file.standardOutput) {
    file.stream = stdout;
    return true;
  }
  const int fd = static_cast<int>(file.native);
  if (file.regular && !file.created && ::ftruncate(fd, 0) != 0) return false;
  file.stream = ::fdopen(fd, "w");
  return file.stream != nullptr;
}

void closeOutputFile(OutputFile& file) {
  if (file.stream == nullptr && !file.standardOutput && file.native >= 0) {
    ::close(static_cast<int>(file.native));
  }
  file.native = -1;
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace vyr
