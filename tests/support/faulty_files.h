#pragma once
// A FileSystem over another one that counts every operation, of the file system and of the handles
// it gave out, and makes a chosen one fail the way a real disk can: an open, create, rename or
// remove refused, a seek, truncate, sync or close that fails, a read or write that fails outright
// or moves only part of the bytes, a disk that fills up and a device that gives out mid-read.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace vyr::testing {

enum class FileOp : uint8_t {
  OPEN_FOR_READING,
  OPEN_FOR_WRITING,
  CREATE,
  CREATE_EXCLUSIVE,  // createNew (CREATE_NEW is a macro of windows.h)
  LOCK,
  RENAME,
  REMOVE,
  LIST_MATCHING,
  SEEK,
  READ,
  WRITE,
  TRUNCATE,
  SYNC,
  CLOSE,
};

inline const char* fileOpName(FileOp op) {
  switch (op) {
    case FileOp::OPEN_FOR_READING:
      return "openForReading";
    case FileOp::OPEN_FOR_WRITING:
      return "openForWriting";
    case FileOp::CREATE:
      return "create";
    case FileOp::CREATE_EXCLUSIVE:
      return "createNew";
    case FileOp::LOCK:
      return "lock";
    case FileOp::RENAME:
      return "rename";
    case FileOp::REMOVE:
      return "remove";
    case FileOp::LIST_MATCHING:
      return "listMatching";
    case FileOp::SEEK:
      return "seek";
    case FileOp::READ:
      return "read";
    case FileOp::WRITE:
      return "write";
    case FileOp::TRUNCATE:
      return "truncate";
    case FileOp::SYNC:
      return "sync";
    case FileOp::CLOSE:
      return "close";
  }
  return "?";
}

enum class Fault : uint8_t {
  FAIL,       // the operation fails its own way: null handle, false, -1; a close still closes
  SHORT,      // a read or write moves half of what was asked and says so
  DISK_FULL,  // a write lands in part and every later write fails: the disk is full
  GIVES_OUT,  // a read gets part of what was asked and every later read fails: a failing device
};

inline const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::FAIL:
      return "fails";
    case Fault::SHORT:
      return "is short";
    case Fault::DISK_FULL:
      return "fills the disk";
    case Fault::GIVES_OUT:
      return "gives out";
  }
  return "?";
}

struct FileOperation {
  FileOp op;
  std::string name;  // the file named, or the one the handle was opened on; `from` of a rename
};

class FaultyFileSystem final : public FileSystem {
 public:
  explicit FaultyFileSystem(FileSystem& inner) : inner_(inner) {}

  // Starts counting afresh: the next operation is number 0. Clears the trace, the armed fault and
  // a full disk; `refuseNames` stays.
  void reset() {
    trace.clear();
    armed_ = false;
    diskFull_ = false;
    deviceFailed_ = false;
  }

  // Makes operation number `index` (counted from the last reset) fail with `fault`.
  void failAt(size_t index, Fault fault) {
    armed_ = true;
    armedIndex_ = index;
    armedFault_ = fault;
  }

  // Every operation so far, in order.
  std::vector<FileOperation> trace;
  // Opens, creates, renames (either name) and removes of these names are refused.
  std::set<std::string> refuseNames;
  // Every operation of these kinds fails.
  std::set<FileOp> failEvery;
  // Called before each operation runs, with its number: a test can look at the directory there,
  // as a crash at that moment would leave it.
  std::function<void(size_t)> beforeEach;

  std::unique_ptr<FileHandle> openForReading(const char* name) override {
    if (refused(FileOp::OPEN_FOR_READING, name)) return nullptr;
    return wrap(inner_.openForReading(name), name);
  }
  std::unique_ptr<FileHandle> openForWriting(const char* name) override {
    if (refused(FileOp::OPEN_FOR_WRITING, name)) return nullptr;
    return wrap(inner_.openForWriting(name), name);
  }
  std::unique_ptr<FileHandle> create(const char* name) override {
    if (refused(FileOp::CREATE, name)) return nullptr;
    return wrap(inner_.create(name), name);
  }
  std::unique_ptr<FileHandle> createNew(const char* name) override {
    if (refused(FileOp::CREATE_EXCLUSIVE, name)) return nullptr;
    return wrap(inner_.createNew(name), name);
  }
  bool canReplace(const char* name) override {
    return !refuseNames.contains(name) && inner_.canReplace(name);
  }
  LockResult lock(const char* name, std::unique_ptr<FileLock>& lock, bool& created, char* holder,
                  int32_t holderSize) override {
    created = false;
    if (holderSize > 0) holder[0] = '\0';
    if (refused(FileOp::LOCK, name)) return LockResult::FAILED;
    return inner_.lock(name, lock, created, holder, holderSize);
  }
  const char* lastFailure() const override {
    return injected_ ? "an injected fault" : inner_.lastFailure();
  }
  bool rename(const char* from, const char* to) override {
    if (refused(FileOp::RENAME, from)) return false;
    if (refuseNames.contains(to)) {
      injected_ = true;
      return false;
    }
    return inner_.rename(from, to);
  }
  bool remove(const char* name) override {
    if (refused(FileOp::REMOVE, name)) return false;
    return inner_.remove(name);
  }
  std::vector<std::string> listMatching(const char* pattern) override {
    if (begin(FileOp::LIST_MATCHING, pattern)) return {};
    return inner_.listMatching(pattern);
  }

 private:
  class Handle final : public FileHandle {
   public:
    Handle(FaultyFileSystem& owner, std::unique_ptr<FileHandle> inner, std::string name)
        : owner_(owner), inner_(std::move(inner)), name_(std::move(name)) {}

    int64_t seek(int64_t offset, SeekFrom from) override {
      if (owner_.begin(FileOp::SEEK, name_)) return -1;
      return inner_->seek(offset, from);
    }
    int32_t read(void* buffer, int32_t size) override {
      std::optional<Fault> fault = owner_.begin(FileOp::READ, name_);
      if (owner_.deviceFailed_) return -1;
      if (!fault) return inner_->read(buffer, size);
      if (*fault == Fault::GIVES_OUT) owner_.deviceFailed_ = true;
      if (*fault == Fault::FAIL || size / 2 <= 0) return -1;
      return inner_->read(buffer, size / 2);
    }
    int32_t write(const void* data, int32_t size) override {
      std::optional<Fault> fault = owner_.begin(FileOp::WRITE, name_);
      if (owner_.diskFull_) return -1;
      if (!fault) return inner_->write(data, size);
      if (*fault == Fault::FAIL) return -1;
      if (*fault == Fault::DISK_FULL) owner_.diskFull_ = true;
      // What fits: half of it; nothing at all is a failure.
      if (size / 2 <= 0) return -1;
      return inner_->write(data, size / 2);
    }
    bool truncate() override {
      if (owner_.begin(FileOp::TRUNCATE, name_)) return false;
      return inner_->truncate();
    }
    bool sync() override {
      if (owner_.begin(FileOp::SYNC, name_)) return false;
      return inner_->sync();
    }
    bool close() override {
      const bool failed = owner_.begin(FileOp::CLOSE, name_).has_value();
      const bool closed = inner_->close();
      return closed && !failed;
    }

   private:
    FaultyFileSystem& owner_;
    std::unique_ptr<FileHandle> inner_;
    std::string name_;
  };

  // Records the operation and tells how it is to fail, if it is.
  std::optional<Fault> begin(FileOp op, const std::string& name) {
    const size_t index = trace.size();
    if (beforeEach) beforeEach(index);
    trace.push_back({op, name});
    injected_ = true;
    if (armed_ && index == armedIndex_) return armedFault_;
    if (failEvery.contains(op)) return Fault::FAIL;
    injected_ = diskFull_ || deviceFailed_;
    return std::nullopt;
  }

  bool refused(FileOp op, const char* name) {
    if (begin(op, name).has_value()) return true;
    injected_ = refuseNames.contains(name);
    return injected_;
  }

  std::unique_ptr<FileHandle> wrap(std::unique_ptr<FileHandle> handle, const char* name) {
    if (!handle) return nullptr;
    return std::make_unique<Handle>(*this, std::move(handle), name);
  }

  FileSystem& inner_;
  bool armed_ = false;
  size_t armedIndex_ = 0;
  Fault armedFault_ = Fault::FAIL;
  bool diskFull_ = false;
  bool deviceFailed_ = false;
  bool injected_ = false;  // the latest failure was one of ours
};

// The whole contents of a file read through `files`, or nothing when it cannot be opened.
inline std::optional<std::string> readWholeFile(FileSystem& files, const char* name) {
  std::unique_ptr<FileHandle> file = files.openForReading(name);
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[64 * 1024];
  for (int32_t count = 0; (count = file->read(buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<size_t>(count));
  }
  return bytes;
}

}  // namespace vyr::testing
