#include "platform/posix/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "platform/read_ahead_file.h"
#include "platform/wildcard.h"

namespace vyr {
namespace {

class PosixFileHandle final : public FileHandle {
 public:
  explicit PosixFileHandle(int fd) : fd_(fd) {}
  ~PosixFileHandle() override { close(); }
  PosixFileHandle(const PosixFileHandle&) = delete;
  PosixFileHandle& operator=(const PosixFileHandle&) = delete;

  int64_t seek(int64_t offset, SeekFrom from) override {
    int whence = from == SeekFrom::START     ? SEEK_SET
                 : from == SeekFrom::CURRENT ? SEEK_CUR
                                             : SEEK_END;
    return ::lseek(fd_, static_cast<off_t>(offset), whence);
  }

  int32_t read(void* buffer, int32_t size) override {
    if (size < 0) return -1;
    ssize_t count = 0;
    do {
      count = ::read(fd_, buffer, static_cast<size_t>(size));
    } while (count < 0 && errno == EINTR);
    return static_cast<int32_t>(count);
  }

  int32_t write(const void* data, int32_t size) override {
    if (size < 0) return -1;
    // A write may land in part (a full disk, a signal); keep going until it all lands or fails.
    const auto* bytes = static_cast<const char*>(data);
    int32_t done = 0;
    while (done < size) {
      ssize_t count = ::write(fd_, bytes + done, static_cast<size_t>(size - done));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) return done > 0 ? done : -1;
      done += static_cast<int32_t>(count);
    }
    return done;
  }

  bool truncate() override {
    off_t position = ::lseek(fd_, 0, SEEK_CUR);
    return position >= 0 && ::ftruncate(fd_, position) == 0;
  }

  bool sync() override { return ::fsync(fd_) == 0; }

  bool close() override {
    if (fd_ < 0) return false;
    int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  explicit PosixFileSystem(int directoryFd) : directoryFd_(directoryFd) {}
  ~PosixFileSystem() override { ::close(directoryFd_); }
  PosixFileSystem(const PosixFileSystem&) = delete;
  PosixFileSystem& operator=(const PosixFileSystem&) = delete;

  std::unique_ptr<FileHandle> openForReading(const char* name) override {
    std::unique_ptr<FileHandle> file = open(name, O_RDONLY);
    if (!file) return nullptr;
    return std::make_unique<ReadAheadFile>(std::move(file));
  }

  std::unique_ptr<FileHandle> openForWriting(const char* name) override {
    return open(name, O_WRONLY);
  }

  std::unique_ptr<FileHandle> create(const char* name) override {
    return open(name, O_WRONLY | O_CREAT | O_TRUNC);
  }

  bool rename(const char* from, const char* to) override {
    if (!isBareName(from) || !isBareName(to)) return false;
    // The system would replace a file the user may not write as long as the folder is writable,
    // and the new file would come with the default rights. Neither is what a user who protected
    // the file expects; nor is a pipe or a device put there on purpose to be replaced. A link is
    // replaced itself, never what it points to.
    struct stat target = {};
    if (::fstatat(directoryFd_, to, &target, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(target.st_mode)) return ::renameat(directoryFd_, from, directoryFd_, to) == 0;
      if (!S_ISREG(target.st_mode) || ::faccessat(directoryFd_, to, W_OK, AT_EACCESS) != 0 ||
          ::fchmodat(directoryFd_, from, target.st_mode & 07777, 0) != 0) {
        return false;
      }
    }
    return ::renameat(directoryFd_, from, directoryFd_, to) == 0;
  }

  bool remove(const char* name) override {
    return isBareName(name) && ::unlinkat(directoryFd_, name, 0) == 0;
  }

  std::vector<std::string> listMatching(const char* pattern) override {
    std::vector<std::string> names;
    int fd = ::dup(directoryFd_);
    if (fd < 0) return names;
    DIR* directory = ::fdopendir(fd);
    if (directory == nullptr) {
      ::close(fd);
      return names;
    }
    ::rewinddir(directory);
    while (const dirent* entry = ::readdir(directory)) {
      std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (matchesWildcard(pattern, entry->d_name)) names.emplace_back(name);
    }
    ::closedir(directory);
    return names;
  }

 private:
  // Bare names only: a name with a slash would reach outside the directory.
  static bool isBareName(const char* name) {
    return name[0] != '\0' && std::string_view(name).find('/') == std::string_view::npos;
  }

  // Only regular files are ever opened. A FIFO would block the open until a writer or reader
  // came, and a device may do anything when opened: a name of either kind is refused like one
  // that cannot be opened. The look before the open keeps such names from being opened at all;
  // O_NONBLOCK covers a name that changes kind in between, and is cleared again for the file.
  std::unique_ptr<FileHandle> open(const char* name, int flags) {
    if (!isBareName(name)) return nullptr;
    struct stat status = {};
    if (::fstatat(directoryFd_, name, &status, 0) == 0) {
      if (!S_ISREG(status.st_mode)) return nullptr;
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
      return nullptr;
    }
    int fd = ::openat(directoryFd_, name, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return nullptr;
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || statusFlags < 0 ||
        ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFileHandle>(fd);
  }

  int directoryFd_;
};

}  // namespace

std::unique_ptr<FileSystem> openPosixFileSystem(const char* directory) {
  int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFileSystem>(fd);
}

}  // namespace vyr
