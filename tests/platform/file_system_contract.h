#pragma once
// The promises every file layer keeps for the survey files, written once and run by each
// platform's test program against its own folders: positions, growth with zeros, cutting, create
// versus open, a replacing rename, which names a listing gives, writes only to files of ours,
// and the survey lock.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "platform/files.h"

namespace vyr::testing {

// An empty folder of the platform under test, seen through its file layer.
class FileSystemPlace {
 public:
  virtual ~FileSystemPlace() = default;
  virtual FileSystem& files() = 0;
  // Makes a folder as another program would, beside the files the layer writes.
  virtual void makeFolder(const char* name) = 0;
  // A symbolic link `name` to `target` (which need not exist), as another user could plant it;
  // false where this system cannot make one here.
  virtual bool makeLink(const char* name, const char* target) = 0;
  // A second name for the file `existing`; false where this system cannot make one here.
  virtual bool makeHardLink(const char* existing, const char* name) = 0;
  // Marks the file so that the user may not write it; false where nothing enforces the mark (on
  // POSIX, for root).
  virtual bool makeReadOnly(const char* name) = 0;
};

struct FileSystemKind {
  const char* name;
  std::unique_ptr<FileSystemPlace> (*open)();
};

// Each platform's test program instantiates it with its kinds:
//   INSTANTIATE_TEST_SUITE_P(Posix, FileSystemContract, ::testing::Values(...),
//                            fileSystemKindName);
class FileSystemContract : public ::testing::TestWithParam<FileSystemKind> {
 protected:
  void SetUp() override;
  void put(const char* name, const std::string& bytes);
  // The file's bytes read in small pieces, or "<none>" when it cannot be opened.
  std::string get(const char* name);

  std::unique_ptr<FileSystemPlace> place_;
  FileSystem* files_ = nullptr;
};

std::string fileSystemKindName(const ::testing::TestParamInfo<FileSystemKind>& info);
// Names the kind in test listings (instead of its bytes, which change from build to build).
void PrintTo(const FileSystemKind& kind, std::ostream* out);

}  // namespace vyr::testing
