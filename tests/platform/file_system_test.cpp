// Catches file layers that break the contract the survey files rely on: positions, growth with
// zeros, cutting, create versus open, replacing rename, and which names a directory listing gives.
// Every case runs against the POSIX directory and the in-memory stand-in alike. On POSIX also:
// a FIFO, socket or device under a name that blocks the program in open() or gets opened at all.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/memory/memory_files.h"
#include "platform/posix/posix_files.h"
#include "platform/wildcard.h"

namespace vyr {
namespace {

class FileSystemTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "vyr-files-XXXXXX").string();
      ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
      directory_ = pattern;
      files_ = openPosixFileSystem(pattern.c_str());
      ASSERT_NE(files_, nullptr);
    } else {
      files_ = std::make_unique<MemoryFileSystem>();
    }
  }
  void TearDown() override {
    files_.reset();
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }

  void put(const char* name, const std::string& bytes) {
    auto file = files_->create(name);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->write(bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
  }
  std::string get(const char* name) {
    auto file = files_->openForReading(name);
    if (!file) return "<none>";
    std::string bytes;
    char buffer[7];  // small on purpose: reads come in pieces
    for (int32_t count = 0; (count = file->read(buffer, sizeof buffer)) > 0;) {
      bytes.append(buffer, static_cast<size_t>(count));
    }
    return bytes;
  }
  void makeFolder(const char* name) {
    if (GetParam()) {
      std::filesystem::create_directory(directory_ / name);
    } else {
      dynamic_cast<MemoryFileSystem&>(*files_).makeFolder(name);
    }
  }

  std::filesystem::path directory_;
  std::unique_ptr<FileSystem> files_;
};

TEST_P(FileSystemTest, HandlesMoveReadWriteAndCut) {
  put("a", "0123456789");
  auto file = files_->openForWriting("a");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->seek(0, SeekFrom::END), 10) << "moving to the end gives the size";
  EXPECT_EQ(file->seek(-4, SeekFrom::CURRENT), 6);
  EXPECT_EQ(file->write("xy", 2), 2);
  EXPECT_EQ(file->seek(0, SeekFrom::CURRENT), 8);
  EXPECT_TRUE(file->truncate());
  EXPECT_EQ(file->seek(12, SeekFrom::START), 12);
  EXPECT_EQ(file->write("z", 1), 1);
  EXPECT_EQ(file->seek(-1, SeekFrom::START), -1) << "before the start is refused";
  EXPECT_TRUE(file->sync());
  EXPECT_TRUE(file->close());
  EXPECT_FALSE(file->close());
  EXPECT_EQ(get("a"), std::string("012345xy\0\0\0\0z", 13)) << "cut at 8, then grown with zeros";

  auto reader = files_->openForReading("a");
  char buffer[4];
  EXPECT_EQ(reader->seek(11, SeekFrom::START), 11);
  EXPECT_EQ(reader->read(buffer, 4), 2);
  EXPECT_EQ(reader->read(buffer, 4), 0) << "end of file";
}

TEST_P(FileSystemTest, OpenAndCreateTreatExistingFilesDifferently) {
  EXPECT_EQ(files_->openForReading("missing"), nullptr);
  EXPECT_EQ(files_->openForWriting("missing"), nullptr) << "opening for writing never creates";
  put("b", "old contents");
  {
    auto file = files_->openForWriting("b");
    ASSERT_NE(file, nullptr);
    file->write("OLD", 3);
  }
  EXPECT_EQ(get("b"), "OLD contents") << "opening for writing does not empty";
  {
    auto file = files_->create("b");
    ASSERT_NE(file, nullptr);
  }
  EXPECT_EQ(get("b"), "") << "create empties";

  makeFolder("dir.IPs");
  EXPECT_EQ(files_->openForReading("dir.IPs"), nullptr) << "a folder is not a file";
  EXPECT_EQ(files_->create(""), nullptr);
}

TEST_P(FileSystemTest, RenameReplacesTheTargetAndRemoveDeletes) {
  put("new", "fresh");
  put("target", "stale");
  EXPECT_TRUE(files_->rename("new", "target"));
  EXPECT_EQ(get("target"), "fresh");
  EXPECT_EQ(get("new"), "<none>");
  EXPECT_FALSE(files_->rename("new", "target")) << "nothing left to rename";
  EXPECT_TRUE(files_->remove("target"));
  EXPECT_FALSE(files_->remove("target"));
}

TEST_P(FileSystemTest, ListingMatchesWithoutRegardToCaseAndIncludesFolders) {
  for (const char* name :
       {"north.IPs", "south.ips", "EAST.IPS", "west.IPs.txt", "ips", "notes.txt"})
    put(name, "");
  makeFolder("sites.IPs");
  std::vector<std::string> names = files_->listMatching("*.IPs");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"EAST.IPS", "north.IPs", "sites.IPs", "south.ips"}));
}

INSTANTIATE_TEST_SUITE_P(Both, FileSystemTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Posix" : "Memory";
                         });

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
