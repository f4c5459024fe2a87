#pragma once
// A file opened for reading, read ahead in large pieces. The list file is read a line at a time
// (a read, then a move back to just past the line end) and the progress file a record at a time:
// with a system call for each, a list of a hundred thousand units took a third of a second to load.
// Reads and moves within the piece are served from memory; everything else goes to the file.

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/files.h"

namespace vyr {

class ReadAheadFile final : public FileHandle {
 public:
  static constexpr int32_t PIECE_BYTES = 64 * 1024;

  explicit ReadAheadFile(std::unique_ptr<FileHandle> inner) : inner_(std::move(inner)) {}

  int64_t seek(int64_t offset, SeekFrom from) override;
  int32_t read(void* buffer, int32_t size) override;
  int32_t write(const void* data, int32_t size) override;
  bool truncate() override;
  bool sync() override { return inner_->sync(); }
  bool close() override;

 private:
  // Puts the file's own position where the reader is and forgets the piece.
  bool settle();
  // With the piece read out: reads a new piece, or straight into the reader's buffer when it
  // asks for a piece or more or no piece can be had (the piece then stays empty). Returns the
  // count read.
  int32_t refill(char* into, int32_t size);

  std::unique_ptr<FileHandle> inner_;
  std::unique_ptr<char[]> piece_;  // had at the first read
  // While the piece holds bytes, the file's position is at its end and the reader's is
  // pieceStart_ + piecePosition_; otherwise the two are the same.
  int64_t pieceStart_ = 0;
  int32_t pieceLength_ = 0;
  int32_t piecePosition_ = 0;
};

}  // namespace vyr
