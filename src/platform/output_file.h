#pragma once
// A file a command writes its output into, told apart from other files by what it is rather than
// by its name: a link or another spelling of a folder names the same file.

#include <cstdint>
#include <cstdio>
#include <string>

namespace vyr {

// A file whatever its name: device and inode on POSIX systems, volume serial and file index on
// Windows. Two identities that are both known and equal are the same file. Where the system did
// not tell the volume (Wine, for a handle made of an inherited descriptor), the file indexes alone
// decide, which at worst takes a file of another volume for the same one.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
  bool known = false;
  bool volumeKnown = true;

  bool sameAs(const FileIdentity& other) const {
    const bool volumes = volume == other.volume || !volumeKnown || !other.volumeKnown;
    return known && other.known && volumes && file == other.file;
  }
};

// The identity of the file at `path`, unknown when there is none.
FileIdentity identifyFile(const std::string& path);

struct OutputFile {
  intptr_t native = -1;  // the descriptor, or on Windows the handle; -1 for none
  FILE* stream = nullptr;
  FileIdentity identity;
  bool created = false;  // by the open: nothing stood under the name
  bool regular = false;
  bool standardOutput = false;
};

// Opens `path` ("-": standard output) for writing, creating it when absent and not emptying it,
// and learns which file it is. False with the system's error set (lastSystemError).
bool openOutputFile(const std::string& path, OutputFile& file);

// Empties a regular file that was there before and gives the opened file a stream that writes
// bytes as they are. False with the system's error set.
bool beginOutputFile(OutputFile& file);

// Closes a file that has no stream yet (one with a stream is closed with fclose).
void closeOutputFile(OutputFile& file);

// Removes the file at `path`; false when it could not.
bool removeFile(const std::string& path);

}  // namespace vyr
