#include "platform/memory/memory_files.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/wildcard.h"

namespace vyr {

// A handle shares the file's bytes, so like a real open file it survives a rename or removal.
class MemoryFileHandle final : public FileHandle {
 public:
  MemoryFileHandle(MemoryFileSystem& volume, std::shared_ptr<std::string> data, bool writable)
      : volume_(volume), data_(std::move(data)), writable_(writable) {}

  int64_t seek(int64_t offset, SeekFrom from) override {
    if (!data_) return -1;
    int64_t base = from == SeekFrom::START     ? 0
                   : from == SeekFrom::CURRENT ? position_
                                               : static_cast<int64_t>(data_->size());
    if (base + offset < 0) return -1;
    position_ = base + offset;
    return position_;
  }

  int32_t read(void* buffer, int32_t size) override {
    if (!data_ || writable_ || size < 0) return -1;
    int64_t available = static_cast<int64_t>(data_->size()) - position_;
    int32_t count = static_cast<int32_t>(std::clamp<int64_t>(available, 0, size));
    if (count > 0) std::memcpy(buffer, data_->data() + position_, static_cast<size_t>(count));
    position_ += count;
    return count;
  }

  int32_t write(const void* data, int32_t size) override {
    if (!data_ || !writable_ || size < 0) return -1;
    int64_t end = position_ + size;
    auto oldSize = static_cast<int64_t>(data_->size());
    int32_t count = size;
    if (volume_.spaceLeft >= 0 && end > oldSize + volume_.spaceLeft) {
      count = static_cast<int32_t>(std::max<int64_t>(0, oldSize + volume_.spaceLeft - position_));
      // A write that lands in part fails as a real disk's does, with its reason.
      volume_.lastFailure_ = "No space left on device";
      if (count == 0) return -1;
      end = position_ + count;
    }
    if (end > oldSize) {
      if (volume_.spaceLeft >= 0) volume_.spaceLeft -= end - oldSize;
      data_->resize(static_cast<size_t>(end), '\0');
    }
    std::memcpy(data_->data() + position_, data, static_cast<size_t>(count));
    position_ = end;
    return count;
  }

  bool truncate() override {
    if (!data_ || !writable_) return false;
    const auto oldSize = static_cast<int64_t>(data_->size());
    if (position_ < oldSize) {
      if (volume_.spaceLeft >= 0) volume_.spaceLeft += oldSize - position_;
      data_->resize(static_cast<size_t>(position_));
    }
    return true;
  }

  bool sync() override { return data_ != nullptr; }

  bool close() override {
    bool open = data_ != nullptr;
    data_.reset();
    return open;
  }

 private:
  MemoryFileSystem& volume_;
  std::shared_ptr<std::string> data_;
  bool writable_;
  int64_t position_ = 0;
};

class MemoryFileLock final : public FileLock {
 public:
  MemoryFileLock(MemoryFileSystem& volume, std::string name)
      : volume_(volume), name_(std::move(name)) {
    volume_.locks_.insert(name_);
  }
  ~MemoryFileLock() override { volume_.locks_.erase(name_); }
  MemoryFileLock(const MemoryFileLock&) = delete;
  MemoryFileLock& operator=(const MemoryFileLock&) = delete;

 private:
  MemoryFileSystem& volume_;
  std::string name_;
};

std::nullptr_t MemoryFileSystem::fail(const char* why) {
  lastFailure_ = why;
  return nullptr;
}

bool MemoryFileSystem::writableEntry(const std::string& name) {
  const auto found = files_.find(name);
  const bool otherNames =
      found != files_.end() && std::any_of(files_.begin(), files_.end(), [&](const auto& entry) {
        return entry.first != name && entry.second == found->second;
      });
  const char* why = links_.contains(name)          ? "a symbolic link"
                    : folders_.contains(name)      ? "not a regular file"
                    : otherNames                   ? "a file with other names (hard links)"
                    : refuseWriting.contains(name) ? "Permission denied"
                                                   : nullptr;
  if (why != nullptr) lastFailure_ = why;
  return why == nullptr;
}

std::unique_ptr<FileHandle> MemoryFileSystem::open(const std::string& name, bool writable) {
  auto found = files_.find(name);
  if (found == files_.end()) return fail("No such file or directory");
  return std::make_unique<MemoryFileHandle>(*this, found->second, writable);
}

std::unique_ptr<FileHandle> MemoryFileSystem::openForReading(const char* name) {
  if (refuseReading.contains(name)) return fail("Permission denied");
  return open(name, false);
}

std::unique_ptr<FileHandle> MemoryFileSystem::openForWriting(const char* name) {
  if (!writableEntry(name)) return nullptr;
  return open(name, true);
}

std::unique_ptr<FileHandle> MemoryFileSystem::createNew(const char* name) {
  if (files_.contains(name) || folders_.contains(name) || links_.contains(name)) {
    return fail("File exists");
  }
  return create(name);
}

bool MemoryFileSystem::canReplace(const char* name) {
  return !folders_.contains(name) && !(files_.contains(name) && refuseWriting.contains(name));
}

LockResult MemoryFileSystem::lock(const char* name, std::unique_ptr<FileLock>& lock,
                                  bool& created, char* holder, int32_t holderSize) {
  if (holderSize > 0) holder[0] = '\0';
  created = false;
  // A link or folder under the name is refused as openForWriting refuses it, with its reason.
  if (!files_.contains(name) && !links_.contains(name) && !folders_.contains(name)) {
    if (!createNew(name)) return LockResult::FAILED;
    created = true;
  } else if (!openForWriting(name)) {
    return LockResult::FAILED;
  }
  if (locks_.contains(name)) return LockResult::HELD;
  lock = std::make_unique<MemoryFileLock>(*this, name);
  return LockResult::TAKEN;
}

std::unique_ptr<FileHandle> MemoryFileSystem::create(const char* name) {
  if (name[0] == '\0') return fail("No such file or directory");
  if (refuseCreating.contains(name)) return fail("Permission denied");
  if (!writableEntry(name)) return nullptr;
  auto& data = files_[name];
  if (data) {
    if (spaceLeft >= 0) spaceLeft += static_cast<int64_t>(data->size());
    data->clear();
  } else {
    data = std::make_shared<std::string>();
  }
  return open(name, true);
}

bool MemoryFileSystem::rename(const char* from, const char* to) {
  auto found = files_.find(from);
  // A file that may not be written is not replaced, as on disk.
  if (refuseRename || found == files_.end() || !canReplace(to)) {
    lastFailure_ = "Permission denied";
    return false;
  }
  std::shared_ptr<std::string> data = found->second;
  files_.erase(found);
  links_.erase(to);  // a link is replaced itself, never what it points to
  auto& target = files_[to];
  // The replaced file's space is given back at once, as if no handle held it open.
  if (target && target != data && spaceLeft >= 0) {
    spaceLeft += static_cast<int64_t>(target->size());
  }
  target = std::move(data);
  return true;
}

bool MemoryFileSystem::remove(const char* name) {
  if (links_.erase(name) > 0) return true;
  auto found = files_.find(name);
  if (found == files_.end()) {
    lastFailure_ = "No such file or directory";
    return false;
  }
  if (spaceLeft >= 0) spaceLeft += static_cast<int64_t>(found->second->size());
  files_.erase(found);
  return true;
}

std::vector<std::string> MemoryFileSystem::listMatching(const char* pattern) {
  std::vector<std::string> names;
  for (const auto& [name, data] : files_) {
    if (matchesWildcard(pattern, name.c_str())) names.push_back(name);
  }
  for (const std::string& name : folders_) {
    if (matchesWildcard(pattern, name.c_str())) names.push_back(name);
  }
  return names;
}

void MemoryFileSystem::setContents(const std::string& name, const std::string& bytes) {
  files_[name] = std::make_shared<std::string>(bytes);
}

const std::string* MemoryFileSystem::contents(const std::string& name) const {
  auto found = files_.find(name);
  return found == files_.end() ? nullptr : found->second.get();
}

void MemoryFileSystem::makeFolder(const std::string& name) { folders_.insert(name); }

void MemoryFileSystem::makeLink(const std::string& name) { links_.insert(name); }

void MemoryFileSystem::makeHardLink(const std::string& existing, const std::string& name) {
  auto found = files_.find(existing);
  if (found != files_.end()) files_[name] = found->second;
}

std::vector<std::string> MemoryFileSystem::fileNames() const {
  std::vector<std::string> names;
  for (const auto& [name, data] : files_) names.push_back(name);
  return names;
}

}  // namespace vyr
