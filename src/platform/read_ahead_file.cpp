#include "platform/read_ahead_file.h"

#include <cstring>
#include <new>

namespace vyr {

int64_t ReadAheadFile::seek(int64_t offset, SeekFrom from) {
  if (pieceLength_ == 0) return inner_->seek(offset, from);
  const int64_t here = pieceStart_ + piecePosition_;
  if (from == SeekFrom::CURRENT) {
    const int64_t target = here + offset;
    if (target >= pieceStart_ && target <= pieceStart_ + pieceLength_) {
      piecePosition_ = static_cast<int32_t>(target - pieceStart_);
      return target;
    }
    if (target < 0) return -1;  // refused, and the reader stays where it was
    offset = target;
    from = SeekFrom::START;
  }
  // The piece stays good until the file has moved.
  const int64_t moved = inner_->seek(offset, from);
  if (moved >= 0) pieceLength_ = piecePosition_ = 0;
  return moved;
}

// Reads all that is asked unless the file ends first, as a read of a regular file does: the line
// reader takes a short read for a line that ends there.
int32_t ReadAheadFile::read(void* buffer, int32_t size) {
  if (size <= 0) return size == 0 ? 0 : -1;
  auto* bytes = static_cast<char*>(buffer);
  int32_t done = 0;
  while (done < size) {
    if (piecePosition_ == pieceLength_) {
      const int32_t count = refill(bytes + done, size - done);
      if (count <= 0) return done > 0 ? done : count;
      if (pieceLength_ == 0) {  // went straight to the reader
        done += count;
        continue;
      }
    }
    const int32_t available = pieceLength_ - piecePosition_;
    const int32_t count = size - done < available ? size - done : available;
    std::memcpy(bytes + done, piece_.get() + piecePosition_, static_cast<size_t>(count));
    piecePosition_ += count;
    done += count;
  }
  return done;
}

int32_t ReadAheadFile::refill(char* into, int32_t size) {
  pieceLength_ = piecePosition_ = 0;  // all read: the file is where the reader is
  if (size < PIECE_BYTES) {
    if (!piece_) piece_.reset(new (std::nothrow) char[PIECE_BYTES]);
    const int64_t start = piece_ ? inner_->seek(0, SeekFrom::CURRENT) : -1;
    if (start >= 0) {
      const int32_t count = inner_->read(piece_.get(), PIECE_BYTES);
      if (count > 0) {
        pieceStart_ = start;
        pieceLength_ = count;
      }
      return count;
    }
  }
  return inner_->read(into, size);
}

bool ReadAheadFile::settle() {
  if (pieceLength_ == 0) return true;
  if (inner_->seek(pieceStart_ + piecePosition_, SeekFrom::START) < 0) return false;
  pieceLength_ = piecePosition_ = 0;
  return true;
}

int32_t ReadAheadFile::write(const void* data, int32_t size) {
  return settle() ? inner_->write(data, size) : -1;
}

bool ReadAheadFile::truncate() { return settle() && inner_->truncate(); }

bool ReadAheadFile::close() {
  pieceLength_ = piecePosition_ = 0;
  return inner_->close();
}

}  // namespace vyr
