#include "platform/win32/win32_files.h"

#include <windows.h>

#include <cstdio>
#include <string_view>
#include <utility>

#include "platform/read_ahead_file.h"
#include "platform/wildcard.h"
#include "platform/win32/latin1_text.h"

namespace vyr {
namespace {

// Every handle lets others read, write, delete and rename the file, so that a file of ours held
// open never blocks the replacement of the progress file.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Where a file system and the handles it gave out keep the reason of their latest failure: the
// system's message in English (the reports are read by people who share logs), or ours.
struct FailureNote {
  char text[160] = "";

  void set(const char* why) {
    size_t length = 0;
    for (; why[length] != '\0' && length + 1 < sizeof text; ++length) {
      const auto c = static_cast<unsigned char>(why[length]);
      text[length] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : ' ';
    }
    // The system ends its messages with a line break; the text goes into a line of its own.
    while (length > 0 && text[length - 1] == ' ') --length;
    text[length] = '\0';
  }

  void setSystem(DWORD error) {
    char message[sizeof text] = "";
    constexpr DWORD FLAGS = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (::FormatMessageA(FLAGS, nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                         message, sizeof message, nullptr) == 0 &&
        ::FormatMessageA(FLAGS, nullptr, error, 0, message, sizeof message, nullptr) == 0) {
      std::snprintf(message, sizeof message, "system error %lu", static_cast<unsigned long>(error));
    }
    set(message);
    if (text[0] == '\0') {
      std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
    }
  }

  void setLast() { setSystem(::GetLastError()); }
};

class Win32FileHandle final : public FileHandle {
 public:
  Win32FileHandle(HANDLE handle, FailureNote& failure) : handle_(handle), failure_(failure) {}
  ~Win32FileHandle() override { close(); }
  Win32FileHandle(const Win32FileHandle&) = delete;
  Win32FileHandle& operator=(const Win32FileHandle&) = delete;

  int64_t seek(int64_t offset, SeekFrom from) override {
    const DWORD method = from == SeekFrom::START     ? FILE_BEGIN
                         : from == SeekFrom::CURRENT ? FILE_CURRENT
                                                     : FILE_END;
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER position{};
    if (::SetFilePointerEx(handle_, distance, &position, method)) return position.QuadPart;
    failure_.setLast();
    return -1;
  }

  int32_t read(void* buffer, int32_t size) override {
    if (size < 0) return -1;
    DWORD count = 0;
    if (::ReadFile(handle_, buffer, static_cast<DWORD>(size), &count, nullptr)) {
      return static_cast<int32_t>(count);
    }
    failure_.setLast();
    return -1;
  }

  int32_t write(const void* data, int32_t size) override {
    if (size < 0) return -1;
    // A write may land in part (a full disk); keep going until it all lands or fails.
    const auto* bytes = static_cast<const char*>(data);
    int32_t done = 0;
    while (done < size) {
      DWORD count = 0;
      if (!::WriteFile(handle_, bytes + done, static_cast<DWORD>(size - done), &count, nullptr)) {
        failure_.setLast();
        return done > 0 ? done : -1;
      }
      if (count == 0) {
        failure_.setSystem(ERROR_DISK_FULL);
        return done > 0 ? done : -1;
      }
      done += static_cast<int32_t>(count);
    }
    return done;
  }

  bool truncate() override { return succeeded(::SetEndOfFile(handle_)); }

  bool sync() override { return succeeded(::FlushFileBuffers(handle_)); }

  bool close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    const BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return succeeded(closed);
  }

 private:
  bool succeeded(BOOL result) {
    if (result == 0) failure_.setLast();
    return result != 0;
  }

  HANDLE handle_;
  FailureNote& failure_;
};

// One byte far beyond any data the survey writes: a byte-range lock on Windows keeps every other
// handle, this process's own too, from the bytes it covers, so the report's bytes stay free.
constexpr DWORD LOCK_OFFSET_HIGH = 1u << 30;  // 2^62

class Win32FileLock final : public FileLock {
 public:
  explicit Win32FileLock(HANDLE handle) : handle_(handle) {}
  ~Win32FileLock() override {
    // Released here rather than left to the close: the system frees a closed handle's locks
    // only when it gets round to it.
    OVERLAPPED at{};
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    ::UnlockFileEx(handle_, 0, 1, 0, &at);
    ::CloseHandle(handle_);
  }
  Win32FileLock(const Win32FileLock&) = delete;
  Win32FileLock& operator=(const Win32FileLock&) = delete;

 private:
  HANDLE handle_;
};

class Win32FileSystem final : public FileSystem {
 public:
  explicit Win32FileSystem(std::wstring directory) : directory_(std::move(directory)) {}

  std::unique_ptr<FileHandle> openForReading(const char* name) override {
    std::unique_ptr<FileHandle> file = handle(open(name, Use::READ, OPEN_EXISTING));
    if (!file) return nullptr;
    return std::make_unique<ReadAheadFile>(std::move(file));
  }

  std::unique_ptr<FileHandle> openForWriting(const char* name) override {
    return handle(open(name, Use::WRITE, OPEN_EXISTING));
  }

  std::unique_ptr<FileHandle> create(const char* name) override {
    // Emptied only once it is known to be ours: CREATE_ALWAYS would empty whatever the name
    // stood for, a second name of another file included. A new file is made only where nothing
    // stands, not even a link that points nowhere (Wine sees a Unix link as its target, and
    // OPEN_ALWAYS would create that target).
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int round = 0; round < 3 && file == INVALID_HANDLE_VALUE; ++round) {
      file = open(name, Use::WRITE, CREATE_NEW);
      if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) break;
      file = open(name, Use::WRITE, OPEN_EXISTING);
      if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_NOT_FOUND) break;
    }
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (!::SetEndOfFile(file)) {
      failure_.setLast();
      ::CloseHandle(file);
      return nullptr;
    }
    return handle(file);
  }

  std::unique_ptr<FileHandle> createNew(const char* name) override {
    return handle(open(name, Use::WRITE, CREATE_NEW));
  }

  bool canReplace(const char* name) override {
    if (!isBareName(name)) return false;
    const DWORD attributes = ::GetFileAttributesW(path(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;  // the link is replaced
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
  }

  LockResult lock(const char* name, std::unique_ptr<FileLock>& lock, bool& created, char* holder,
                  int32_t holderSize) override {
    created = false;
    if (holderSize > 0) holder[0] = '\0';
    HANDLE file = INVALID_HANDLE_VALUE;
    // Another survey may create the file between the two tries; the next round opens it.
    for (int round = 0; round < 3 && file == INVALID_HANDLE_VALUE; ++round) {
      file = open(name, Use::WRITE, OPEN_EXISTING);
      if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_NOT_FOUND) break;
      file = open(name, Use::WRITE, CREATE_NEW);
      created = file != INVALID_HANDLE_VALUE;
      if (!created && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) return LockResult::FAILED;
    OVERLAPPED at{};
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      const DWORD error = ::GetLastError();
      ::CloseHandle(file);
      if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return LockResult::HELD;
      failure_.setSystem(error);
      return LockResult::FAILED;
    }
    lock = std::make_unique<Win32FileLock>(file);
    return LockResult::TAKEN;
  }

  const char* lastFailure() const override { return failure_.text; }

  bool rename(const char* from, const char* to) override {
    if (!isBareName(from) || !isBareName(to)) {
      refuse(ERROR_INVALID_NAME, nullptr);
      return false;
    }
    // The replacement is one step of the file system; write-through makes it durable before the
    // call returns.
    if (::MoveFileExW(path(from).c_str(), path(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    failure_.setLast();
    return false;
  }

  bool remove(const char* name) override {
    if (!isBareName(name)) {
      refuse(ERROR_INVALID_NAME, nullptr);
      return false;
    }
    if (::DeleteFileW(path(name).c_str())) return true;
    failure_.setLast();
    return false;
  }

  std::vector<std::string> listMatching(const char* pattern) override {
    // The system's own matching also tries the short 8.3 alias, so "*.IPs" would give
    // "gamma.IPsx": every entry is listed and the pattern applied here, to the real name.
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry{};
    HANDLE search = ::FindFirstFileExW((directory_ + L"*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return names;
    std::string name;
    do {
      const std::wstring_view wide = entry.cFileName;
      if (wide == L"." || wide == L"..") continue;
      // A name with a character outside the 8-bit range could not be opened again by its bytes.
      if (!narrowLatin1(wide, name)) continue;
      if (matchesWildcard(pattern, name.c_str())) names.push_back(name);
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return names;
  }

 private:
  // Bare names only: a separator or a drive colon would reach outside the directory, and "." and
  // ".." are the directory itself and its parent.
  static bool isBareName(const char* name) {
    const std::string_view text = name;
    return !text.empty() && text != "." && text != ".." &&
           text.find_first_of("/\\:") == std::string_view::npos;
  }

  std::wstring path(const char* name) const { return directory_ + widenLatin1(name); }

  enum class Use { READ, WRITE };

  std::unique_ptr<FileHandle> handle(HANDLE file) {
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32FileHandle>(file, failure_);
  }

  // Opens a file on disk and returns its handle, or INVALID_HANDLE_VALUE with the reason noted
  // and the last error set. A folder cannot be opened this way at all, and a device reached
  // through a name is refused. A file to be written is never reached through a link (a link
  // planted beside the list would have the save write wherever it points): the link itself is
  // opened, seen for what it is and refused. Nor may it have a second name, which would put the
  // bytes in a file elsewhere. Nothing is written before these checks.
  HANDLE open(const char* name, Use use, DWORD disposition) {
    if (!isBareName(name)) return refuse(ERROR_INVALID_NAME, nullptr);
    const bool writing = use == Use::WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (writing ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE file = ::CreateFileW(path(name).c_str(), writing ? GENERIC_WRITE : GENERIC_READ,
                                SHARE_ALL, nullptr, disposition, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      failure_.setSystem(error);
      ::SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    const char* why = nullptr;
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file) != FILE_TYPE_DISK) {
      why = "not a regular file";
    } else if (!::GetFileInformationByHandle(file, &information)) {
      why = "cannot be examined";
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      why = "a symbolic link";
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      why = "not a regular file";
    } else if (writing && information.nNumberOfLinks > 1) {
      why = "a file with other names (hard links)";
    }
    if (why == nullptr) return file;
    ::CloseHandle(file);
    return refuse(ERROR_ACCESS_DENIED, why);
  }

  // Notes why (ours, or the system's words for `error`) and leaves `error` as the last error.
  HANDLE refuse(DWORD error, const char* why) {
    if (why != nullptr) {
      failure_.set(why);
    } else {
      failure_.setSystem(error);
    }
    ::SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }

  // The absolute path in its literal form ("\\?\C:\...\"), so that names reach the file system as
  // they are: no trailing dot or space dropped, no device name such as "CON" or "NUL" taken over.
  std::wstring directory_;
  FailureNote failure_;
};

}  // namespace

std::unique_ptr<FileSystem> openWin32FileSystem(const std::wstring& directory) {
  const DWORD needed = ::GetFullPathNameW(directory.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return nullptr;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(directory.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return nullptr;
  full.resize(length);
  const DWORD attributes = ::GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return nullptr;
  }
  if (full.back() != L'\\') full += L'\\';
  if (full.rfind(L"\\\\?\\", 0) == 0) {
    // Already literal.
  } else if (full.rfind(L"\\\\", 0) == 0) {
    full = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    full = L"\\\\?\\" + full;
  }
  return std::make_unique<Win32FileSystem>(std::move(full));
}

}  // namespace vyr
