#pragma once
// A fresh directory under the system's temporary folder for one test, removed with its contents.

#include <windows.h>

#include <string>

namespace vyr::testing {

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, base);
    for (unsigned attempt = 0; path_.empty(); ++attempt) {
      std::wstring candidate = std::wstring(base) + L"vyr-test-" +
                               std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(::GetTickCount() + attempt);
      if (::CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate + L"\\";
    }
  }
  ~TemporaryDirectory() { removeTree(path_); }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  // The path with a trailing backslash.
  const std::wstring& path() const { return path_; }

 private:
  static void removeTree(const std::wstring& directory) {
    WIN32_FIND_DATAW entry{};
    HANDLE search = ::FindFirstFileW((directory + L"*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = directory + name;
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          removeTree(path + L"\\");
        } else {
          ::DeleteFileW(path.c_str());
        }
      } while (::FindNextFileW(search, &entry));
      ::FindClose(search);
    }
    ::RemoveDirectoryW(directory.c_str());
  }

  std::wstring path_;
};

}  // namespace vyr::testing
