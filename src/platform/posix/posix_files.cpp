#include "platform/posix/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/read_ahead_file.h"
#include "platform/wildcard.h"

namespace vyr {
namespace {

// Where a file system and the handles it gave out keep the reason of their latest failure.
struct FailureNote {
  char text[160] = "";

  void set(const char* why) { std::snprintf(text, sizeof text, "%s", why); }
  void setErrno(int error) { set(std::strerror(error)); }
};

class PosixFileHandle final : public FileHandle {
 public:
  PosixFileHandle(int fd, FailureNote& failure) : fd_(fd), failure_(failure) {}
  ~PosixFileHandle() override { close(); }
  PosixFileHandle(const PosixFileHandle&) = delete;
  PosixFileHandle& operator=(const PosixFileHandle&) = delete;

  int64_t seek(int64_t offset, SeekFrom from) override {
    int whence = from == SeekFrom::START     ? SEEK_SET
                 : from == SeekFrom::CURRENT ? SEEK_CUR
                                             : SEEK_END;
    const off_t position = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (position < 0) failure_.setErrno(errno);
    return position;
  }

  int32_t read(void* buffer, int32_t size) override {
    if (size < 0) return -1;
    ssize_t count = 0;
    do {
      count = ::read(fd_, buffer, static_cast<size_t>(size));
    } while (count < 0 && errno == EINTR);
    if (count < 0) failure_.setErrno(errno);
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
      if (count <= 0) {
        failure_.setErrno(count < 0 ? errno : ENOSPC);
        return done > 0 ? done : -1;
      }
      done += static_cast<int32_t>(count);
    }
    return done;
  }

  bool truncate() override {
    off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position >= 0 && ::ftruncate(fd_, position) == 0) return true;
    failure_.setErrno(errno);
    return false;
  }

  bool sync() override {
    if (::fsync(fd_) == 0) return true;
    failure_.setErrno(errno);
    return false;
  }

  bool close() override {
    if (fd_ < 0) return false;
    int result = ::close(fd_);
    if (result != 0) failure_.setErrno(errno);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_;
  FailureNote& failure_;
};

// flock: held by the open file, so closing any other descriptor of the file keeps it, and the
// system drops it with the last descriptor, when the process ends at the latest.
class PosixFileLock final : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { ::close(fd_); }
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  int fd_;
};

// Who holds a flock on the file `status` describes, as /proc/locks and /proc/PID/comm tell:
// "vyr-survey, process 1234". Empty where the system does not say.
std::string lockHolder(const struct stat& status) {
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return "";
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(status.st_dev),
                minor(status.st_dev), static_cast<unsigned long long>(status.st_ino));
  std::string holder;
  char line[256];
  while (holder.empty() && std::fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" after the number.
    char kind[16];
    char mode[16];
    char access[16];
    char number[24];
    char file[64];
    if (std::sscanf(line, "%*d: %15s %15s %15s %23s %63s", kind, mode, access, number, file) != 5 ||
        std::string_view(kind) != "FLOCK" || std::string_view(file) != wanted) {
      continue;
    }
    char* end = nullptr;
    const long pid = std::strtol(number, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    char commPath[64];
    std::snprintf(commPath, sizeof commPath, "/proc/%ld/comm", pid);
    char name[64] = "";
    if (std::FILE* comm = std::fopen(commPath, "re")) {
      if (std::fgets(name, sizeof name, comm) == nullptr) name[0] = '\0';
      std::fclose(comm);
    }
    name[std::strcspn(name, "\n")] = '\0';
    holder = (name[0] != '\0' ? std::string(name) + ", process " : std::string("process ")) +
             std::to_string(pid);
  }
  std::fclose(locks);
  return holder;
}

class PosixFileSystem final : public FileSystem {
 public:
  explicit PosixFileSystem(int directoryFd) : directoryFd_(directoryFd) {}
  ~PosixFileSystem() override { ::close(directoryFd_); }
  PosixFileSystem(const PosixFileSystem&) = delete;
  PosixFileSystem& operator=(const PosixFileSystem&) = delete;

  std::unique_ptr<FileHandle> openForReading(const char* name) override {
    const int fd = open(name, O_RDONLY, Follow::LINKS);
    if (fd < 0) return nullptr;
    return std::make_unique<ReadAheadFile>(std::make_unique<PosixFileHandle>(fd, failure_));
  }

  std::unique_ptr<FileHandle> openForWriting(const char* name) override {
    return handle(open(name, O_WRONLY, Follow::NEVER));
  }

  std::unique_ptr<FileHandle> create(const char* name) override {
    // Emptied only once it is known to be ours: O_TRUNC would empty whatever the name stood for.
    const int fd = open(name, O_WRONLY | O_CREAT, Follow::NEVER);
    if (fd >= 0 && ::ftruncate(fd, 0) != 0) {
      failure_.setErrno(errno);
      ::close(fd);
      return nullptr;
    }
    return handle(fd);
  }

  std::unique_ptr<FileHandle> createNew(const char* name) override {
    return handle(open(name, O_WRONLY | O_CREAT | O_EXCL, Follow::NEVER));
  }

  bool canReplace(const char* name) override {
    if (!isBareName(name)) return false;
    struct stat target = {};
    if (::fstatat(directoryFd_, name, &target, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    return S_ISLNK(target.st_mode) ||
           (S_ISREG(target.st_mode) && ::faccessat(directoryFd_, name, W_OK, AT_EACCESS) == 0);
  }

  LockResult lock(const char* name, std::unique_ptr<FileLock>& lock, bool& created, char* holder,
                  int32_t holderSize) override {
    created = false;
    if (holderSize > 0) holder[0] = '\0';
    int fd = -1;
    // Another survey may create the file between the two tries; the next round opens it.
    for (int round = 0; round < 3 && fd < 0; ++round) {
      fd = open(name, O_WRONLY, Follow::NEVER);
      if (fd >= 0 || errno != ENOENT) break;
      fd = open(name, O_WRONLY | O_CREAT | O_EXCL, Follow::NEVER);
      created = fd >= 0;
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return LockResult::FAILED;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      struct stat status = {};
      if (error == EWOULDBLOCK && ::fstat(fd, &status) == 0 && holderSize > 0) {
        std::snprintf(holder, static_cast<size_t>(holderSize), "%s", lockHolder(status).c_str());
      }
      ::close(fd);
      if (error == EWOULDBLOCK) return LockResult::HELD;
      failure_.setErrno(error);
      return LockResult::FAILED;
    }
    lock = std::make_unique<PosixFileLock>(fd);
    return LockResult::TAKEN;
  }

  bool rename(const char* from, const char* to) override {
    if (!isBareName(from) || !isBareName(to)) return refuse(ENOENT, nullptr) == 0;
    // The system would replace a file the user may not write as long as the folder is writable,
    // and the new file would come with the default rights. Neither is what a user who protected
    // the file expects; nor is a pipe or a device put there on purpose to be replaced. A link is
    // replaced itself, never what it points to.
    struct stat target = {};
    if (::fstatat(directoryFd_, to, &target, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISLNK(target.st_mode)) {
      if (!S_ISREG(target.st_mode)) {
        failure_.set("not a regular file");
        return false;
      }
      if (::faccessat(directoryFd_, to, W_OK, AT_EACCESS) != 0 ||
          ::fchmodat(directoryFd_, from, target.st_mode & 07777, 0) != 0) {
        failure_.setErrno(errno);
        return false;
      }
    }
    if (::renameat(directoryFd_, from, directoryFd_, to) == 0) return true;
    failure_.setErrno(errno);
    return false;
  }

  bool remove(const char* name) override {
    if (!isBareName(name)) return refuse(ENOENT, nullptr) == 0;
    if (::unlinkat(directoryFd_, name, 0) == 0) return true;
    failure_.setErrno(errno);
    return false;
  }

  const char* lastFailure() const override { return failure_.text; }

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
  enum class Follow { LINKS, NEVER };

  // Bare names only: a name with a slash would reach outside the directory.
  static bool isBareName(const char* name) {
    return name[0] != '\0' && std::string_view(name).find('/') == std::string_view::npos;
  }

  std::unique_ptr<FileHandle> handle(int fd) {
    if (fd < 0) return nullptr;
    return std::make_unique<PosixFileHandle>(fd, failure_);
  }

  // Opens a regular file and returns its descriptor, or -1 with errno set and the reason noted.
  // A FIFO would block the open until a writer or reader came, and a device may do anything when
  // opened: the look before the open keeps such names from being opened at all; O_NONBLOCK covers
  // a name that changes kind in between, and is cleared again for the file. A file to be written
  // is never reached through a link (a link planted beside the list would have the save write
  // wherever it points), and must be ours alone: a second name (a hard link) would put the bytes
  // in a file elsewhere, and another user's file is one they could change behind our back.
  int open(const char* name, int flags, Follow follow) {
    if (!isBareName(name)) return refuse(ENOENT, nullptr);
    const bool writing = follow == Follow::NEVER;
    struct stat status = {};
    if (::fstatat(directoryFd_, name, &status, writing ? AT_SYMLINK_NOFOLLOW : 0) == 0) {
      if ((flags & O_EXCL) != 0) return refuse(EEXIST, nullptr);
      if (const char* why = refusal(status, writing)) return refuse(EPERM, why);
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
      return refuse(errno, nullptr);
    }
    const int extra = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (writing ? O_NOFOLLOW : 0);
    int fd = ::openat(directoryFd_, name, flags | extra, 0666);
    if (fd < 0) {
      const int error = errno;
      // The name became a link between the look and the open.
      if (error == ELOOP && writing) return refuse(EPERM, "a symbolic link");
      return refuse(error, nullptr);
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    const char* why = ::fstat(fd, &status) != 0 ? "cannot be examined" : refusal(status, writing);
    if (why == nullptr && (statusFlags < 0 || ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0)) {
      why = "cannot be opened for blocking reads and writes";
    }
    if (why != nullptr) {
      ::close(fd);
      return refuse(EPERM, why);
    }
    return fd;
  }

  // Why an entry is not a file to open this way, or null when it is.
  static const char* refusal(const struct stat& status, bool writing) {
    if (S_ISLNK(status.st_mode)) return "a symbolic link";
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (!writing) return nullptr;
    if (status.st_nlink > 1) return "a file with other names (hard links)";
    if (status.st_uid != ::geteuid()) return "a file of another user";
    return nullptr;
  }

  int refuse(int error, const char* why) {
    if (why != nullptr) {
      failure_.set(why);
    } else {
      failure_.setErrno(error);
    }
    errno = error;
    return -1;
  }

  int directoryFd_;
  FailureNote failure_;
};

}  // namespace

std::unique_ptr<FileSystem> openPosixFileSystem(const char* directory) {
  int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFileSystem>(fd);
}

}  // namespace vyr
