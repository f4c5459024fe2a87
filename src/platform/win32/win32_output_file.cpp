// Output files on Windows: handles, and a file's volume serial and file index.

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>

#include "platform/output_file.h"
#include "platform/win32/latin1_text.h"

namespace vyr {
namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILE_ID_INFO and its class (Windows 8), spelt out: the build targets Windows 7, where the call
// fails and the identity stays unknown.
struct FileIdInformation {
  ULONGLONG volume;
  uint8_t identifier[16];
};
constexpr auto FILE_ID_INFORMATION = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// Wine gives no file information for a handle it made of an inherited descriptor (standard
// output sent to a file), but it gives the file's 128-bit ID, with the volume as 0: unknown.
FileIdentity identityById(HANDLE handle) {
  FileIdInformation info{};
  if (!::GetFileInformationByHandleEx(handle, FILE_ID_INFORMATION, &info, sizeof info)) return {};
  FileIdentity identity;
  uint64_t high = 0;
  std::memcpy(&identity.file, info.identifier, sizeof identity.file);
  std::memcpy(&high, info.identifier + 8, sizeof high);
  identity.volume = info.volume;
  identity.volumeKnown = info.volume != 0;
  identity.known = high == 0;  // an ID that does not fit is not compared
  return identity;
}

FileIdentity identityOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return identityById(handle);
  FileIdentity identity;
  identity.volume = info.dwVolumeSerialNumber;
  identity.file = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  identity.known = true;
  return identity;
}

HANDLE handleOf(const OutputFile& file) { return reinterpret_cast<HANDLE>(file.native); }

}  // namespace

FileIdentity identifyFile(const std::string& path) {
  // No access asked for, so that even a file open for writing elsewhere can be looked at; a
  // folder needs the backup flag to be opened at all.
  const HANDLE handle = ::CreateFileW(widenLatin1(path).c_str(), 0, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  const FileIdentity identity = identityOf(handle);
  ::CloseHandle(handle);
  return identity;
}

bool openOutputFile(const std::string& path, OutputFile& file) {
  file = {};
  HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (path == "-") {
    file.standardOutput = true;
  } else {
    const std::wstring name = widenLatin1(path);
    handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    file.created = handle != INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) {
      handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) return false;
  }
  file.native = reinterpret_cast<intptr_t>(handle);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    file.identity = identityOf(handle);
    file.regular = ::GetFileType(handle) == FILE_TYPE_DISK;
  }
  return true;
}

bool beginOutputFile(OutputFile& file) {
  if (file.stream != nullptr) return true;
  if (file.standardOutput) {
    // Lines end in a line feed alone, as on every other system.
    _setmode(_fileno(stdout), _O_BINARY);
    file.stream = stdout;
    return true;
  }
  if (file.regular && !file.created &&
      (::SetFilePointer(handleOf(file), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
       !::SetEndOfFile(handleOf(file)))) {
    return false;
  }
  const int fd = _open_osfhandle(file.native, _O_WRONLY | _O_BINARY);
  if (fd < 0) return false;
  file.stream = _fdopen(fd, "wb");
  if (file.stream == nullptr) {
    _close(fd);
    file.native = -1;
  }
  return file.stream != nullptr;
}

void closeOutputFile(OutputFile& file) {
  if (file.stream == nullptr && !file.standardOutput && file.native != -1) {
    ::CloseHandle(handleOf(file));
  }
  file.native = -1;
}

bool removeFile(const std::string& path) {
  return ::DeleteFileW(widenLatin1(path).c_str()) != 0;
}

}  // namespace vyr
