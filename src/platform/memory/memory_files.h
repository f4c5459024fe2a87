#pragma once
// An in-memory directory for tests, with switches that make its operations fail the way a real
// disk can: refused opens and creates, a failing rename, a disk that fills up.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/files.h"

namespace vyr {

class MemoryFileSystem final : public FileSystem {
 public:
  std::unique_ptr<FileHandle> openForReading(const char* name) override;
  std::unique_ptr<FileHandle> openForWriting(const char* name) override;
  std::unique_ptr<FileHandle> create(const char* name) override;
  std::unique_ptr<FileHandle> createNew(const char* name) override;
  bool canReplace(const char* name) override;
  LockResult lock(const char* name, std::unique_ptr<FileLock>& lock, bool& created, char* holder,
                  int32_t holderSize) override;
  const char* lastFailure() const override { return lastFailure_.c_str(); }
  bool rename(const char* from, const char* to) override;
  bool remove(const char* name) override;
  std::vector<std::string> listMatching(const char* pattern) override;

  void setContents(const std::string& name, const std::string& bytes);
  // The file's bytes, or null when there is no such file.
  const std::string* contents(const std::string& name) const;
  void makeFolder(const std::string& name);
  // A symbolic link under `name`: it is never written through, and reads as missing.
  void makeLink(const std::string& name);
  // A second name for the file `existing`: both names share its bytes, and neither is written.
  void makeHardLink(const std::string& existing, const std::string& name);
  // Whether a lock of this file system holds `name`.
  bool locked(const std::string& name) const { return locks_.contains(name); }
  // Names of all files, in byte order.
  std::vector<std::string> fileNames() const;

  // Faults. Names in these sets cannot be opened or created in that way.
  std::set<std::string> refuseReading;
  std::set<std::string> refuseWriting;
  std::set<std::string> refuseCreating;
  bool refuseRename = false;
  // Bytes by which writes may still grow the files in all; -1 for no limit. A write that does not
  // fit lands in part, and one with no room at all fails. Removing, cutting, emptying or replacing
  // a file gives its bytes back.
  int64_t spaceLeft = -1;

 private:
  std::unique_ptr<FileHandle> open(const std::string& name, bool writable);
  // Records why a call failed; returns null for the caller to pass on.
  std::nullptr_t fail(const char* why);
  // Whether `name` may be written as a file of ours; records why not.
  bool writableEntry(const std::string& name);

  std::map<std::string, std::shared_ptr<std::string>> files_;
  std::set<std::string> folders_;
  std::set<std::string> links_;
  std::set<std::string> locks_;
  std::string lastFailure_;

  friend class MemoryFileLock;
  friend class MemoryFileHandle;
};

}  // namespace vyr
