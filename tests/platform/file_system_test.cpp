// Catches file layers that break the contract the survey files rely on (file_system_contract.h),
// run against the POSIX directory and the in-memory stand-in alike; and on POSIX a FIFO, socket
// or device under a name that blocks the program in open() or gets opened at all.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system_contract.h"
#include "platform/memory/memory_files.h"
#include "platform/posix/posix_files.h"
#include "platform/wildcard.h"
#include "support/unprivileged.h"

namespace vyr {
namespace {

// A fresh folder under the system's temporary one, removed with what the test left in it.
class PosixPlace : public testing::FileSystemPlace {
 public:
  PosixPlace() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vyr-files-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    directory_ = pattern;
    files_ = openPosixFileSystem(pattern.c_str());
  }
  PosixPlace(const PosixPlace&) = delete;
  PosixPlace& operator=(const PosixPlace&) = delete;
  ~PosixPlace() override {
    files_.reset();
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }
  FileSystem& files() override { return *files_; }
  void makeFolder(const char* name) override {
    std::filesystem::create_directory(directory_ / name);
  }
  bool makeLink(const char* name, const char* target) override {
    return ::symlink(target, (directory_ / name).c_str()) == 0;
  }
  bool makeHardLink(const char* existing, const char* name) override {
    return ::link((directory_ / existing).c_str(), (directory_ / name).c_str()) == 0;
  }
  bool makeReadOnly(const char* name) override {
    return ::chmod((directory_ / name).c_str(), 0444) == 0 && ::geteuid() != 0;
  }
  bool opened() const { return files_ != nullptr; }
  const std::filesystem::path& directory() const { return directory_; }

 private:
  std::filesystem::path directory_;
  std::unique_ptr<FileSystem> files_;
};

class MemoryPlace : public testing::FileSystemPlace {
 public:
  FileSystem& files() override { return files_; }
  void makeFolder(const char* name) override { files_.makeFolder(name); }
  bool makeLink(const char* name, const char*) override {
    files_.makeLink(name);
    return true;
  }
  bool makeHardLink(const char* existing, const char* name) override {
    files_.makeHardLink(existing, name);
    return true;
  }
  bool makeReadOnly(const char* name) override {
    files_.refuseWriting.insert(name);
    return true;
  }

 private:
  MemoryFileSystem files_;
};

std::unique_ptr<testing::FileSystemPlace> openPosixPlace() {
  auto place = std::make_unique<PosixPlace>();
  return place->opened() ? std::move(place) : nullptr;
}

std::unique_ptr<testing::FileSystemPlace> openMemoryPlace() {
  return std::make_unique<MemoryPlace>();
}

using testing::FileSystemContract;
INSTANTIATE_TEST_SUITE_P(Both, FileSystemContract,
                         ::testing::Values(testing::FileSystemKind{"Posix", openPosixPlace},
                                           testing::FileSystemKind{"Memory", openMemoryPlace}),
                         testing::fileSystemKindName);

// The status flags of this process's open descriptors of `path`; none when it is not open.
std::vector<int> openFlagsOf(const std::filesystem::path& path) {
  std::vector<int> flags;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) != path) continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    for (std::string key; info >> key;) {
      if (key == "flags:") {
        std::string octal;
        info >> octal;
        flags.push_back(std::stoi(octal, nullptr, 8));
      }
    }
  }
  return flags;
}

// Closes a descriptor of the test's own when it goes, whatever ends the test.
struct Descriptor {
  explicit Descriptor(int value) : fd(value) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  const int fd;
};

// None of these may be opened, whichever way, and none may make an open wait: a FIFO with no
// reader or writer would block open() for ever. The alarm turns a hang into a failure.
TEST(PosixFileSystem, NamesThatAreNotRegularFilesAreRefusedAtOnce) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vyr-special-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path directory = pattern;
  auto files = openPosixFileSystem(pattern.c_str());
  ASSERT_NE(files, nullptr);
  ASSERT_EQ(::mkfifo((directory / "fifo.IPs").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((directory / "read.model").c_str(), 0644), 0);
  std::filesystem::create_symlink("/dev/null", directory / "device.soFar");
  std::filesystem::create_symlink("/dev/zero", directory / "zero.IPs");
  const Descriptor unixSocket(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un socketAddress{};
  socketAddress.sun_family = AF_UNIX;
  const std::string socketPath = (directory / "socket.IPs").string();
  ASSERT_LT(socketPath.size(), sizeof socketAddress.sun_path);
  std::memcpy(socketAddress.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(
      ::bind(unixSocket.fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress), 0);
  // A reader waiting on this FIFO: an open for writing would succeed at once, and the save would
  // then write into the pipe.
  const Descriptor waitingReader(::open((directory / "read.model").c_str(), O_RDONLY | O_NONBLOCK));
  ASSERT_GE(waitingReader.fd, 0);

  ::alarm(20);
  for (const char* name : {"fifo.IPs", "read.model", "device.soFar", "zero.IPs", "socket.IPs"}) {
    SCOPED_TRACE(name);
    const std::filesystem::path target = std::filesystem::canonical(directory / name);
    const size_t openBefore = openFlagsOf(target).size();
    EXPECT_EQ(files->openForReading(name), nullptr);
    EXPECT_EQ(files->openForWriting(name), nullptr);
    EXPECT_EQ(files->create(name), nullptr);
    EXPECT_EQ(openFlagsOf(target).size(), openBefore) << "left open";
  }
  // Nor is one replaced by a rename, as a progress file is replaced.
  for (const char* name : {"fifo.IPs", "socket.IPs"}) {
    files->create("new.tmp");
    EXPECT_FALSE(files->rename("new.tmp", name)) << name;
    files->remove("new.tmp");
  }
  ::alarm(0);
  EXPECT_TRUE(std::filesystem::is_fifo(directory / "fifo.IPs")) << "create must not replace it";
  EXPECT_TRUE(std::filesystem::is_socket(directory / "socket.IPs"));
  EXPECT_TRUE(std::filesystem::is_fifo(directory / "read.model"));
  EXPECT_TRUE(std::filesystem::is_symlink(directory / "device.soFar"));
  char byte = 0;
  EXPECT_EQ(::read(waitingReader.fd, &byte, 1), 0) << "nothing written into the pipe";

  // A regular file is opened for blocking I/O as before, through a link too.
  std::ofstream(directory / "plain.IPs") << "10.0.0.1\n";
  std::filesystem::create_symlink("plain.IPs", directory / "link.IPs");
  for (const char* name : {"plain.IPs", "link.IPs"}) {
    auto file = files->openForReading(name);
    ASSERT_NE(file, nullptr) << name;
    const std::vector<int> flags = openFlagsOf(directory / "plain.IPs");
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_EQ(flags[0] & O_NONBLOCK, 0) << "O_NONBLOCK left set";
  }
  EXPECT_NE(files->openForWriting("plain.IPs"), nullptr);
  EXPECT_NE(files->create("new.model"), nullptr) << "a name that is not there is created";
  files.reset();
  std::filesystem::remove_all(directory);
}

// Another user's file could be changed by them behind the survey's back, or be theirs to lose: it
// is not written, and a refused create leaves its bytes. Only root can give a file away.
TEST(PosixFileSystem, AFileOfAnotherUserIsNotWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a file of another user";
  PosixPlace place;
  ASSERT_TRUE(place.opened());
  const std::filesystem::path theirs = place.directory() / "theirs.model";
  std::ofstream(theirs) << "their bytes";
  ASSERT_EQ(::chown(theirs.c_str(), testing::NOBODY, testing::NOBODY), 0);
  FileSystem& files = place.files();
  std::unique_ptr<FileLock> lock;
  bool created = true;
  char holder[8];
  EXPECT_EQ(files.openForWriting("theirs.model"), nullptr);
  EXPECT_EQ(files.create("theirs.model"), nullptr);
  EXPECT_EQ(files.lock("theirs.model", lock, created, holder, sizeof holder), LockResult::FAILED);
  EXPECT_STREQ(files.lastFailure(), "a file of another user");
  EXPECT_FALSE(created);
  EXPECT_EQ(std::filesystem::file_size(theirs), 11u) << "emptied";
  EXPECT_NE(files.openForReading("theirs.model"), nullptr) << "reading it is fine";
}

// A survey in another process holds the list's lock: this one is told who holds it, and takes
// it once that process is gone, however it ended.
TEST(PosixFileSystem, ALockOfAnotherProcessIsHeldUntilItEnds) {
  PosixPlace place;
  ASSERT_TRUE(place.opened());
  int ready[2];
  int finish[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(finish), 0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(finish[1]);
    auto files = openPosixFileSystem(place.directory().c_str());
    std::unique_ptr<FileLock> lock;
    bool created = false;
    char holder[8];
    char taken = 'F';
    if (files &&
        files->lock("north.model", lock, created, holder, sizeof holder) == LockResult::TAKEN) {
      taken = 'T';
    }
    char byte = 0;
    if (::write(ready[1], &taken, 1) != 1 || ::read(finish[0], &byte, 1) < 0) ::_exit(2);
    ::_exit(0);  // the lock goes with the process, not with a destructor
  }
  const Descriptor readyIn(ready[0]);
  const Descriptor readyOut(ready[1]);
  const Descriptor finishIn(finish[0]);
  {
    // Closing it, however this block ends, lets the child read the end and exit.
    const Descriptor finishOut(finish[1]);
    char taken = 0;
    ASSERT_EQ(::read(ready[0], &taken, 1), 1);
    EXPECT_EQ(taken, 'T');

    std::unique_ptr<FileLock> lock;
    bool created = true;
    char holder[64] = "";
    EXPECT_EQ(place.files().lock("north.model", lock, created, holder, sizeof holder),
              LockResult::HELD);
    EXPECT_FALSE(created);
    EXPECT_NE(std::string(holder).find("process " + std::to_string(child)), std::string::npos)
        << "holder \"" << holder << "\"";
    char small[4] = "???";
    EXPECT_EQ(place.files().lock("north.model", lock, created, small, sizeof small),
              LockResult::HELD);
    EXPECT_EQ(std::strlen(small), 3u) << "the holder's text is cut to fit";
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::unique_ptr<FileLock> lock;
  bool created = true;
  char holder[64] = "";
  EXPECT_EQ(place.files().lock("north.model", lock, created, holder, sizeof holder),
            LockResult::TAKEN);
}

TEST(Wildcard, MatchesLikeDirectoryPatterns) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.IPs", "a.ips", true},
      {"*.IPs", ".IPs", true},
      {"*.IPs", "a.IPsx", false},
      {"*.IPs", "a.b.IPs", true},
      {"*.IPs", "IPs", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"*a*b", "xaxxb", true},
      {"*a*b", "xaxxbc", false},
      {"", "", true},
      {"*", "", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(matchesWildcard(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
}

}  // namespace
}  // namespace vyr
