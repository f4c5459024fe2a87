// Catches a file layer that breaks what the survey files rely on; see file_system_contract.h.

#include "platform/file_system_contract.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace vyr::testing {

void FileSystemContract::SetUp() {
  place_ = GetParam().open();
  ASSERT_NE(place_, nullptr);
  files_ = &place_->files();
}

void FileSystemContract::put(const char* name, const std::string& bytes) {
  auto file = files_->create(name);
  ASSERT_NE(file, nullptr) << name;
  ASSERT_EQ(file->write(bytes.data(), static_cast<int32_t>(bytes.size())),
            static_cast<int32_t>(bytes.size()));
}

std::string FileSystemContract::get(const char* name) {
  auto file = files_->openForReading(name);
  if (!file) return "<none>";
  std::string bytes;
  char buffer[7];  // small on purpose: reads come in pieces
  for (int32_t count = 0; (count = file->read(buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<size_t>(count));
  }
  return bytes;
}

std::string fileSystemKindName(const ::testing::TestParamInfo<FileSystemKind>& info) {
  return info.param.name;
}

void PrintTo(const FileSystemKind& kind, std::ostream* out) { *out << kind.name; }

namespace {

TEST_P(FileSystemContract, HandlesMoveReadWriteAndCut) {
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
  ASSERT_NE(reader, nullptr);
  char buffer[4];
  EXPECT_EQ(reader->write("q", 1), -1) << "a file opened for reading takes no writes";
  EXPECT_EQ(reader->seek(11, SeekFrom::START), 11);
  EXPECT_EQ(reader->read(buffer, 4), 2);
  EXPECT_EQ(reader->read(buffer, 4), 0) << "end of file";
}

// The survey reads its files a line or a record at a time, moving back after every line: reads
// and moves of every size, within what was read ahead and beyond it, land where the file says.
TEST_P(FileSystemContract, AReaderReadsAndMovesAsTheFileLies) {
  std::string bytes(200000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  put("big", bytes);
  auto reader = files_->openForReading("big");
  ASSERT_NE(reader, nullptr);
  const struct Step {
    SeekFrom from;  // the move before the read
    int64_t offset;
    int64_t position;  // where it lands, or -1 when refused
    int32_t size;      // then read this many
  } steps[] = {
      {SeekFrom::CURRENT, 0, 0, 7},
      {SeekFrom::CURRENT, -3, 4, 30},
      {SeekFrom::CURRENT, -34, 0, 100},
      {SeekFrom::CURRENT, -101, -1, 10},
      {SeekFrom::CURRENT, 60000, 60110, 9000},
      {SeekFrom::CURRENT, -9000, 60110, 5},
      {SeekFrom::START, 3, 3, 70000},
      {SeekFrom::CURRENT, -69000, 1003, 1},
      {SeekFrom::END, -10, 199990, 64},
      {SeekFrom::CURRENT, 5, 200005, 4},
      {SeekFrom::START, 131000, 131000, 20},
      {SeekFrom::CURRENT, -20, 131000, 200000},
  };
  int64_t at = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::Message() << "to " << step.position << ", " << step.size << " bytes");
    ASSERT_EQ(reader->seek(step.offset, step.from), step.position);
    if (step.position >= 0) at = step.position;
    // All that is asked comes in one read unless the file ends first, as the line reader expects.
    std::vector<char> buffer(static_cast<size_t>(step.size));
    const int32_t count = reader->read(buffer.data(), step.size);
    ASSERT_GE(count, 0);
    const std::string got(buffer.data(), static_cast<size_t>(count));
    const size_t from =
        static_cast<size_t>(std::min<int64_t>(at, static_cast<int64_t>(bytes.size())));
    EXPECT_EQ(got, bytes.substr(from, static_cast<size_t>(step.size)));
    at += static_cast<int64_t>(got.size());
    EXPECT_EQ(reader->seek(0, SeekFrom::CURRENT), at);
  }
}

TEST_P(FileSystemContract, OpenAndCreateTreatExistingFilesAndFoldersDifferently) {
  EXPECT_EQ(files_->openForReading("missing"), nullptr);
  EXPECT_EQ(files_->openForWriting("missing"), nullptr) << "opening for writing never creates";
  put("b", "old contents");
  {
    auto file = files_->openForWriting("b");
    ASSERT_NE(file, nullptr);
    file->write("OLD", 3);
  }
  EXPECT_EQ(get("b"), "OLD contents") << "opening for writing does not empty";
  { ASSERT_NE(files_->create("b"), nullptr); }
  EXPECT_EQ(get("b"), "") << "create empties";

  place_->makeFolder("dir.IPs");
  EXPECT_EQ(files_->openForReading("dir.IPs"), nullptr) << "a folder is not a file";
  EXPECT_EQ(files_->openForWriting("dir.IPs"), nullptr);
  EXPECT_EQ(files_->create("dir.IPs"), nullptr);
  EXPECT_EQ(files_->create(""), nullptr) << "the folder itself";
}

TEST_P(FileSystemContract, RenameReplacesTheTargetAndRemoveDeletes) {
  put("new", "fresh");
  put("target", "stale");
  EXPECT_TRUE(files_->rename("new", "target"));
  EXPECT_EQ(get("target"), "fresh");
  EXPECT_EQ(get("new"), "<none>");
  EXPECT_FALSE(files_->rename("new", "target")) << "nothing left to rename";
  EXPECT_EQ(get("target"), "fresh") << "a failed rename leaves the target alone";
  EXPECT_TRUE(files_->remove("target"));
  EXPECT_FALSE(files_->remove("target"));
}

// Windows also lets a long name match through its short alias ("gamma.IPsx" as GAMMA~1.IPS): a
// listing must match the real name only.
TEST_P(FileSystemContract, ListingMatchesTheRealNameWithoutRegardToCaseAndIncludesFolders) {
  for (const char* name : {"north.IPs", "south.ips", "EAST.IPS", "gamma.IPsx", "LONGNAMEFILE.IPsx",
                           "west.IPs.txt", "IPs", "notes.txt", "caf\xE9.IPs"}) {
    put(name, "");
  }
  place_->makeFolder("sites.IPs");
  std::vector<std::string> names = files_->listMatching("*.IPs");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"EAST.IPS", "caf\xE9.IPs", "north.IPs", "sites.IPs",
                                             "south.ips"}));
  EXPECT_EQ(get("caf\xE9.IPs"), "") << "an eight-bit name opens as listed";
}

// A reason to show the operator on a line of its own: words, no line break.
bool isAReason(const std::string& text) {
  return !text.empty() && text.back() != '\n' && text.back() != '\r' && text.back() != ' ' &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

enum class Verb { OPEN_FOR_WRITING, CREATE, CREATE_NEW, LOCK };

// Whether `verb` accepted `name`, on a file system that has seen no failure yet; a refusal must
// leave a reason.
bool accepts(FileSystem& files, Verb verb, const char* name) {
  EXPECT_STREQ(files.lastFailure(), "") << "a fresh file system has no failure to tell";
  bool accepted = false;
  std::unique_ptr<FileLock> lock;
  bool created = false;
  char holder[64] = "?";
  switch (verb) {
    case Verb::OPEN_FOR_WRITING:
      accepted = files.openForWriting(name) != nullptr;
      break;
    case Verb::CREATE:
      accepted = files.create(name) != nullptr;
      break;
    case Verb::CREATE_NEW:
      accepted = files.createNew(name) != nullptr;
      break;
    case Verb::LOCK:
      accepted = files.lock(name, lock, created, holder, sizeof holder) == LockResult::TAKEN;
      break;
  }
  if (!accepted) {
    EXPECT_TRUE(isAReason(files.lastFailure())) << "reason \"" << files.lastFailure() << "\"";
  }
  return accepted;
}

// What stands under "x" before each verb, and which verbs may write it. A link planted where the
// survey writes must never have the bytes land where it points, nor a second name put them in a
// file elsewhere; and none of them is emptied on the way to a refusal.
TEST_P(FileSystemContract, OnlyFilesOfOursAreWritten) {
  enum class Entry { FILE, FOLDER, LINK, DANGLING_LINK, HARD_LINK };
  const struct Case {
    const char* what;
    Entry entry;
    bool writable;  // by openForWriting, create and lock; createNew takes none of them
  } cases[] = {
      {"a file", Entry::FILE, true},
      {"a folder", Entry::FOLDER, false},
      {"a link to a file", Entry::LINK, false},
      {"a link to nothing", Entry::DANGLING_LINK, false},
      {"a second name of a file", Entry::HARD_LINK, false},
  };
  int shown = 0;
  for (const Case& c : cases) {
    for (Verb verb : {Verb::OPEN_FOR_WRITING, Verb::CREATE, Verb::CREATE_NEW, Verb::LOCK}) {
      SCOPED_TRACE(::testing::Message() << c.what << ", verb " << static_cast<int>(verb));
      place_ = GetParam().open();  // fresh, so that the reason checked is this refusal's
      ASSERT_NE(place_, nullptr);
      files_ = &place_->files();
      FileSystemPlace& place = *place_;
      bool made = true;
      switch (c.entry) {
        case Entry::FILE:
          put("x", "x bytes");
          break;
        case Entry::FOLDER:
          place.makeFolder("x");
          break;
        case Entry::LINK:
          put("target", "target bytes");
          made = place.makeLink("x", "target");
          break;
        case Entry::DANGLING_LINK:
          made = place.makeLink("x", "nowhere");
          break;
        case Entry::HARD_LINK:
          put("first", "first bytes");
          made = place.makeHardLink("first", "x");
          break;
      }
      if (!made) {
        std::printf("passed over on %s: %s cannot be made here\n", GetParam().name, c.what);
        break;
      }
      ++shown;
      files_ = &place_->files();
      const bool expected = c.writable && verb != Verb::CREATE_NEW;
      ASSERT_EQ(accepts(*files_, verb, "x"), expected);
      if (expected) continue;
      // The file behind the name, as it was: not emptied, not written, not created.
      const struct Behind {
        Entry entry;
        const char* name;
        const char* bytes;
      } behind[] = {{Entry::FILE, "x", "x bytes"},
                    {Entry::LINK, "target", "target bytes"},
                    {Entry::DANGLING_LINK, "nowhere", "<none>"},
                    {Entry::HARD_LINK, "first", "first bytes"}};
      for (const Behind& b : behind) {
        if (b.entry == c.entry) {
          EXPECT_EQ(get(b.name), b.bytes) << b.name;
        }
      }
    }
  }
  EXPECT_GE(shown, 8) << "files and folders at least";
}

TEST_P(FileSystemContract, CanReplaceWhatRenameMayReplace) {
  put("file", "");
  put("protected", "");
  place_->makeFolder("folder");
  const bool links = place_->makeLink("link", "file") && place_->makeLink("dangling", "nowhere");
  const bool readOnly = place_->makeReadOnly("protected");
  const struct Case {
    const char* name;
    bool replaceable;
    bool shown;
  } cases[] = {
      {"missing", true, true},      {"file", true, true},      {"folder", false, true},
      {"link", true, links},        {"dangling", true, links}, {"protected", false, readOnly},
  };
  for (const Case& c : cases) {
    if (!c.shown) {
      std::printf("passed over on %s: %s cannot be made here\n", GetParam().name, c.name);
      continue;
    }
    EXPECT_EQ(files_->canReplace(c.name), c.replaceable) << c.name;
  }
}

// Two surveys of one list never run at once; and on a system whose locks keep other handles
// from the locked bytes, the survey's own saves through other handles still land.
TEST_P(FileSystemContract, ALockIsHeldOnceAndKeepsNoWriteOut) {
  std::unique_ptr<FileLock> first;
  std::unique_ptr<FileLock> second;
  bool created = false;
  char holder[64] = "?";
  ASSERT_EQ(files_->lock("list.model", first, created, holder, sizeof holder), LockResult::TAKEN);
  EXPECT_TRUE(created) << "nothing stood under the name";
  EXPECT_EQ(files_->lock("list.model", second, created, holder, sizeof holder), LockResult::HELD)
      << "a second lock in the same process";
  EXPECT_FALSE(created);
  EXPECT_EQ(second, nullptr);

  {
    auto file = files_->openForWriting("list.model");
    ASSERT_NE(file, nullptr) << files_->lastFailure();
    EXPECT_EQ(file->write("0123456789", 10), 10);
    EXPECT_EQ(file->seek(4, SeekFrom::START), 4);
    EXPECT_TRUE(file->truncate());
    EXPECT_EQ(file->seek(0, SeekFrom::END), 4);
  }
  EXPECT_EQ(get("list.model"), "0123");
  { ASSERT_NE(files_->create("list.model"), nullptr) << files_->lastFailure(); }
  EXPECT_EQ(get("list.model"), "");

  first.reset();
  EXPECT_EQ(files_->lock("list.model", second, created, holder, sizeof holder), LockResult::TAKEN)
      << "free again once the first lock goes";
  EXPECT_FALSE(created) << "the file was there";
}

}  // namespace
}  // namespace vyr::testing
