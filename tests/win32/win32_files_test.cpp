// Catches a Windows file layer that breaks what the survey files rely on: the contract every file
// layer keeps (file_system_contract.h, run here on a real folder), 8-bit names, names that reach
// outside the directory, and saves that tear or lose files when another program holds them or
// they are read-only.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/memory/memory_network.h"
#include "platform/win32/win32_files.h"
#include "core/survey_driver.h"
#include "support/faulty_files.h"
#include "survey/lifecycle.h"
#include "survey/list_files.h"
#include "survey/report_files.h"
#include "platform/file_system_contract.h"
#include "win32/temporary_directory.h"

namespace vyr::testing {
namespace {

class Win32FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(files_, nullptr); }

  void put(const char* name, const std::string& bytes) {
    auto file = files_->create(name);
    ASSERT_NE(file, nullptr) << name;
    ASSERT_EQ(file->write(bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
  }
  std::optional<std::string> get(const char* name) { return readWholeFile(*files_, name); }
  std::wstring path(const wchar_t* name) const { return directory_.path() + name; }

  TemporaryDirectory directory_;
  std::unique_ptr<FileSystem> files_ = openWin32FileSystem(directory_.path());
};

// The file layer's common contract, on a folder of the system's temporary one.
class Win32Place : public FileSystemPlace {
 public:
  FileSystem& files() override { return *files_; }
  void makeFolder(const char* name) override {
    const std::string ascii(name);
    ::CreateDirectoryW((directory_.path() + std::wstring(ascii.begin(), ascii.end())).c_str(),
                       nullptr);
  }
  // Made only where the system makes a real one: the call may also report success and leave
  // nothing, or a plain file, behind.
  bool makeLink(const char* name, const char* target) override {
    const std::wstring link = path(name);
    ::CreateSymbolicLinkW(link.c_str(), widen(target).c_str(),
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  }
  bool makeHardLink(const char* existing, const char* name) override {
    if (!::CreateHardLinkW(path(name).c_str(), path(existing).c_str(), nullptr)) return false;
    HANDLE file = ::CreateFileW(path(name).c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    const bool counted = file != INVALID_HANDLE_VALUE &&
                         ::GetFileInformationByHandle(file, &information) &&
                         information.nNumberOfLinks == 2;
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return counted;
  }
  bool makeReadOnly(const char* name) override {
    return ::SetFileAttributesW(path(name).c_str(), FILE_ATTRIBUTE_READONLY) != 0;
  }
  bool opened() const { return files_ != nullptr; }

 private:
  static constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  static std::wstring widen(const char* ascii) {
    const std::string text(ascii);
    return std::wstring(text.begin(), text.end());
  }
  std::wstring path(const char* name) const { return directory_.path() + widen(name); }

  TemporaryDirectory directory_;
  std::unique_ptr<FileSystem> files_ = openWin32FileSystem(directory_.path());
};

std::unique_ptr<FileSystemPlace> openWin32Place() {
  auto place = std::make_unique<Win32Place>();
  return place->opened() ? std::move(place) : nullptr;
}

INSTANTIATE_TEST_SUITE_P(Win32, FileSystemContract,
                         ::testing::Values(FileSystemKind{"Win32", openWin32Place}),
                         fileSystemKindName);

// A name no 8-bit name can stand for: listing it would offer a file that cannot be opened.
TEST_F(Win32FilesTest, EightBitNamesAreLatin1AndWiderOnesAreNotListed) {
  put("caf\xE9.IPs", "");
  HANDLE wide = ::CreateFileW(path(L"\u0416.IPs").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(wide, INVALID_HANDLE_VALUE);
  ::CloseHandle(wide);

  EXPECT_EQ(files_->listMatching("*.IPs"), std::vector<std::string>{"caf\xE9.IPs"});
  EXPECT_NE(::GetFileAttributesW(path(L"caf\u00E9.IPs").c_str()), INVALID_FILE_ATTRIBUTES)
      << "each byte is the Latin-1 character of its number";
}

TEST_F(Win32FilesTest, NamesThatLeaveTheDirectoryAreRefused) {
  TemporaryDirectory outside;
  const std::string out(outside.path().begin(), outside.path().end());  // ASCII temp path
  put("inside", "x");
  const std::string names[] = {"", ".", "..", "sub\\x", "sub/x", "..\\x", "../x", "C:x",
                               "inside:stream", out + "x"};
  for (const std::string& name : names) {
    SCOPED_TRACE("name \"" + name + "\"");
    EXPECT_EQ(files_->create(name.c_str()), nullptr);
    EXPECT_EQ(files_->openForReading(name.c_str()), nullptr);
    EXPECT_EQ(files_->openForWriting(name.c_str()), nullptr);
    EXPECT_FALSE(files_->rename("inside", name.c_str()));
    EXPECT_FALSE(files_->rename(name.c_str(), "elsewhere"));
    EXPECT_FALSE(files_->remove(name.c_str()));
  }
  EXPECT_EQ(get("inside"), "x");
  EXPECT_EQ(::GetFileAttributesW((outside.path() + L"x").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Win32FilesTest, ADeviceNameIsAFileOfTheDirectoryOrNothing) {
  for (const char* name : {"NUL", "CON", "AUX", "COM1.IPs"}) {
    SCOPED_TRACE(name);
    auto file = files_->create(name);
    if (!file) continue;
    ASSERT_EQ(file->write("abc", 3), 3);
    file.reset();
    EXPECT_EQ(get(name), "abc") << "the bytes went to a device";
  }
}

// A survey of three units over the Windows directory, about to be saved.
struct SaveWorld {
  explicit SaveWorld(FileSystem& base) : files(base) {
    std::unique_ptr<FileHandle> listFile = base.create("north.IPs");
    const std::string text = "10.0.0.1\r\n10.0.0.2\r\nA17/501\r\n";
    listFile->write(text.data(), static_cast<int32_t>(text.size()));
    listFile.reset();
    dialog.serverField = "127.0.0.1";
    fillListSelector(context);
    dialog.select(0);
    chooseListFile(context);
  }
  void surveyAndSave() {
    startSurvey(context, StartMode::FRESH);
    setFieldText(context.survey.deviceTable[0].id, "UNIT1");
    abortSurvey(context);
  }

  FaultyFileSystem files;
  MemoryDialog dialog;
  MemoryListView list;
  FakeClock clock;
  MemoryNetwork network{clock};
  Context context{files, dialog, list, clock, network.toolSocket()};
};

// A handle another program holds on `path`, sharing what `share` allows.
HANDLE holdOpen(const std::wstring& path, DWORD share) {
  return ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Marks the file read-only. Under Wine run as root the mark does not keep anyone from writing;
// the case is then passed over, as nothing could show it.
HANDLE makeReadOnly(const std::wstring& path) {
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
  HANDLE probe = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                               FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  ::CloseHandle(probe);
  return nullptr;  // not enforced here
}

TEST(Win32SaveTest, FilesOtherProgramsHoldOrProtectStayWhole) {
  enum class Expect { NOTHING_SAVED, REPORT_ONLY };
  const struct Case {
    const char* what;
    const wchar_t* file;
    // Returns a handle to close afterwards, or null when the system does not enforce it.
    HANDLE (*arrange)(const std::wstring& path);
    Expect expect;
  } cases[] = {
      {"report read-only", L"north.model", makeReadOnly, Expect::NOTHING_SAVED},
      {"report locked by another program", L"north.model",
       [](const std::wstring& path) { return holdOpen(path, 0); }, Expect::NOTHING_SAVED},
      {"progress file open elsewhere without delete sharing", L"north.soFar",
       [](const std::wstring& path) { return holdOpen(path, FILE_SHARE_READ); },
       Expect::REPORT_ONLY},
      {"progress file read-only", L"north.soFar", makeReadOnly, Expect::REPORT_ONLY},
  };
  int shown = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TemporaryDirectory directory;
    std::unique_ptr<FileSystem> base = openWin32FileSystem(directory.path());
    ASSERT_NE(base, nullptr);
    SaveWorld world(*base);
    world.surveyAndSave();  // a first survey leaves both files
    const std::optional<std::string> oldReport = readWholeFile(*base, "north.model");
    const std::optional<std::string> oldProgress = readWholeFile(*base, "north.soFar");
    ASSERT_TRUE(oldReport && oldProgress);
    ASSERT_EQ(oldProgress->size(), 8 + 3 * sizeof(DeviceRecord));

    HANDLE held = c.arrange(directory.path() + c.file);
    if (held == nullptr) {
      std::printf("passed over: %s is not enforced on this system\n", c.what);
      continue;
    }
    ++shown;
    world.surveyAndSave();
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);

    const std::optional<std::string> report = readWholeFile(*base, "north.model");
    EXPECT_EQ(readWholeFile(*base, "north.soFar"), oldProgress)
        << "the progress file must stay the old one, whole";
    EXPECT_EQ(readWholeFile(*base, "north.soFar.tmp"), std::nullopt) << "temporary file left";
    if (c.expect == Expect::NOTHING_SAVED) {
      EXPECT_EQ(report, oldReport);
    } else {
      ASSERT_TRUE(report.has_value());
      EXPECT_EQ(report->size(), 2 * oldReport->size()) << "the second section is appended";
    }
  }
  EXPECT_GE(shown, 2) << "the locks are enforced everywhere";
}

// Each single fault of the file layer at each step of a save, on a Windows directory: the
// progress file is the old one or the new one, never torn, and nothing is left behind.
TEST(Win32SaveTest, EveryFaultAtEveryStepLeavesTheOldOrTheNewProgressFile) {
  std::vector<FileOperation> trace;
  std::optional<std::string> before, after;
  {
    TemporaryDirectory directory;
    std::unique_ptr<FileSystem> base = openWin32FileSystem(directory.path());
    SaveWorld world(*base);
    world.surveyAndSave();
    before = readWholeFile(*base, "north.soFar");
    startSurvey(world.context, StartMode::FRESH);
    world.files.reset();
    abortSurvey(world.context);
    trace = world.files.trace;
    after = readWholeFile(*base, "north.soFar");
  }
  ASSERT_GE(trace.size(), 10u);
  ASSERT_TRUE(before && after);
  int cases = 0;
  for (size_t step = 0; step < trace.size(); ++step) {
    for (Fault fault : {Fault::FAIL, Fault::SHORT, Fault::DISK_FULL}) {
      if (fault != Fault::FAIL && trace[step].op != FileOp::WRITE) continue;
      SCOPED_TRACE("step " + std::to_string(step) + ": " + fileOpName(trace[step].op) + " of " +
                   trace[step].name + " " + faultName(fault));
      ++cases;
      TemporaryDirectory directory;
      std::unique_ptr<FileSystem> base = openWin32FileSystem(directory.path());
      SaveWorld world(*base);
      world.surveyAndSave();
      startSurvey(world.context, StartMode::FRESH);
      world.files.reset();
      world.files.failAt(step, fault);
      abortSurvey(world.context);
      const std::optional<std::string> progress = readWholeFile(*base, "north.soFar");
      // The offset may differ (the report could have been created anew); the table may not.
      EXPECT_TRUE(progress == before || (progress && progress->substr(4) == after->substr(4)))
          << "torn progress file";
      EXPECT_EQ(readWholeFile(*base, "north.soFar.tmp"), std::nullopt);
      EXPECT_LE(base->listMatching("*").size(), 3u) << "stray file left behind";
    }
  }
  EXPECT_GT(cases, 10);
}

}  // namespace
}  // namespace vyr::testing
