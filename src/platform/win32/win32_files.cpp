#include "platform/win32/win32_files.h"

#include <windows.h>

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

class Win32FileHandle final : public FileHandle {
 public:
  explicit Win32FileHandle(HANDLE handle) : handle_(handle) {}
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
    if (!::SetFilePointerEx(handle_, distance, &position, method)) return -1;
    return position.QuadPart;
  }

  int32_t read(void* buffer, int32_t size) override {
    if (size < 0) return -1;
    DWORD count = 0;
    if (!::ReadFile(handle_, buffer, static_cast<DWORD>(size), &count, nullptr)) return -1;
    return static_cast<int32_t>(count);
  }

  int32_t write(const void* data, int32_t size) override {
    if (size < 0) return -1;
    // A write may land in part (a full disk); keep going until it all lands or fails.
    const auto* bytes = static_cast<const char*>(data);
    int32_t done = 0;
    while (done < size) {
      DWORD count = 0;
      if (!::WriteFile(handle_, bytes + done, static_cast<DWORD>(size - done), &count, nullptr) ||
          count == 0) {
        return done > 0 ? done : -1;
      }
      done += static_cast<int32_t>(count);
    }
    return done;
  }

  bool truncate() override { return ::SetEndOfFile(handle_) != 0; }

  bool sync() override { return ::FlushFileBuffers(handle_) != 0; }

  bool close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    const BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed != 0;
  }

 private:
  HANDLE handle_;
};

class Win32FileSystem final : public FileSystem {
 public:
  explicit Win32FileSystem(std::wstring directory) : directory_(std::move(directory)) {}

  std::unique_ptr<FileHandle> openForReading(const char* name) override {
    std::unique_ptr<FileHandle> file = open(name, GENERIC_READ, OPEN_EXISTING);
    if (!file) return nullptr;
    return std::make_unique<ReadAheadFile>(std::move(file));
  }

  std::unique_ptr<FileHandle> openForWriting(const char* name) override {
    return open(name, GENERIC_WRITE, OPEN_EXISTING);
  }

  std::unique_ptr<FileHandle> create(const char* name) override {
    return open(name, GENERIC_WRITE, CREATE_ALWAYS);
  }

  std::unique_ptr<FileHandle> createNew(const char* name) override {
    return open(name, GENERIC_WRITE, CREATE_NEW);
  }

  bool canReplace(const char*) override { return true; }

  LockResult lock(const char*, std::unique_ptr<FileLock>&, bool& created, char* holder,
                  int32_t holderSize) override {
    created = false;
    if (holderSize > 0) holder[0] = '\0';
    return LockResult::FAILED;
  }

  const char* lastFailure() const override { return ""; }

  bool rename(const char* from, const char* to) override {
    // The replacement is one step of the file system; write-through makes it durable before the
    // call returns.
    return isBareName(from) && isBareName(to) &&
           ::MoveFileExW(path(from).c_str(), path(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }

  bool remove(const char* name) override {
    return isBareName(name) && ::DeleteFileW(path(name).c_str()) != 0;
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

  std::unique_ptr<FileHandle> open(const char* name, DWORD access, DWORD disposition) {
    if (!isBareName(name)) return nullptr;
    // A folder cannot be opened this way at all; a device reached through a name is refused.
    HANDLE handle = ::CreateFileW(path(name).c_str(), access, SHARE_ALL, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
      ::CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<Win32FileHandle>(handle);
  }

  // The absolute path in its literal form ("\\?\C:\...\"), so that names reach the file system as
  // they are: no trailing dot or space dropped, no device name such as "CON" or "NUL" taken over.
  std::wstring directory_;
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
