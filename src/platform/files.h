#pragma once
// Whole-file handles and the working directory, as the core sees them. Every file is named by a
// bare name in one directory; no path is ever built by the core.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vyr {

enum class SeekFrom { START, CURRENT, END };

// An open file with one position. Destroying the handle closes the file.
class FileHandle {
 public:
  virtual ~FileHandle() = default;

  // Moves the position by `offset` from `from` and returns the new position from the start of the
  // file, or -1 when the move is refused. Moving to the end therefore yields the file's size.
  virtual int64_t seek(int64_t offset, SeekFrom from) = 0;

  // Reads up to `size` bytes at the position and advances it. Returns the number of bytes read,
  // 0 at the end of the file, or -1 on an error.
  virtual int32_t read(void* buffer, int32_t size) = 0;

  // Writes `size` bytes at the position (growing the file, with zeros in any gap) and advances it.
  // Returns the number of bytes written, which is less than `size` when the device is full, or -1.
  virtual int32_t write(const void* data, int32_t size) = 0;

  // Cuts the file at the position, so that it ends there. Returns false when it could not.
  virtual bool truncate() = 0;

  // Forces what was written onto the storage device. Returns false when it could not.
  virtual bool sync() = 0;

  // Closes the file; later calls fail. Returns false when the system reported an error on close.
  virtual bool close() = 0;
};

// A lock on a file, held for as long as the object lives. The system drops it when the process
// ends, however it ends, so no lock is ever left behind.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

enum class LockResult {
  TAKEN,   // the lock is ours
  HELD,    // someone else holds it: another process, or another lock of this one
  FAILED,  // the file could not be opened or created as a file of ours; lastFailure() says why
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens an existing file for reading at position 0, or returns null. Only regular files are
  // files: a folder, FIFO, socket or device under the name gives null at once, never a wait. A
  // link in the name is followed: a list may be read through one.
  virtual std::unique_ptr<FileHandle> openForReading(const char* name) = 0;

  // Opens an existing file for writing at position 0 without emptying it, or returns null. Only a
  // file of ours is written: never through a link in the name, and only a regular file that has no
  // other name (and, where the system has owners, belongs to the user). Anything else is refused
  // and left as it was.
  virtual std::unique_ptr<FileHandle> openForWriting(const char* name) = 0;

  // Creates a file for writing, emptying it when it exists, or returns null; an existing entry
  // that openForWriting would refuse is refused, and left as it was (not emptied).
  virtual std::unique_ptr<FileHandle> create(const char* name) = 0;

  // Creates a file for writing under a name that is free, or returns null when anything at all
  // stands under it: a file, a folder, a link (even one that points nowhere). Never reuses what is
  // there and never follows a link.
  virtual std::unique_ptr<FileHandle> createNew(const char* name) = 0;

  // Whether rename may replace what stands under `name` (see rename): true when nothing does, or a
  // link, or a regular file the user may write.
  virtual bool canReplace(const char* name) = 0;

  // Takes the exclusive lock of file `name`, opened as openForWriting opens it, or created as
  // createNew creates it when nothing stands under the name (`created` is then true). On HELD,
  // `holder` gets who holds the lock where the system tells ("vyr-survey, process 1234"), or "".
  // The lock never stands in the way of this process's reads and writes of the file.
  virtual LockResult lock(const char* name, std::unique_ptr<FileLock>& lock, bool& created,
                          char* holder, int32_t holderSize) = 0;

  // Renames `from` to `to`, replacing `to` in one step if it exists. A `to` that the user may not
  // write, or that is no regular file (a folder, a pipe, a device), is not replaced, and a replaced
  // file's access rights pass to the file that replaces it. Returns false when it could not; `to`
  // is then untouched.
  virtual bool rename(const char* from, const char* to) = 0;

  // Removes a file. Returns false when it could not.
  virtual bool remove(const char* name) = 0;

  // Why the latest call of this file system, or of a handle it gave out, failed: the system's
  // words ("No space left on device") or ours ("a symbolic link"); "" before any failure. Valid
  // right after the failure: later calls may change it.
  virtual const char* lastFailure() const = 0;

  // Returns the bare names of the entries, files and folders alike, that match `pattern`
  // ("*" any run, "?" any one character, letters compared without regard to case), in the order
  // the directory yields them.
  virtual std::vector<std::string> listMatching(const char* pattern) = 0;
};

}  // namespace vyr
