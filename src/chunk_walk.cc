#include "chunk_walk.h"

#include <algorithm>
#include <cstring>

#include "png_extract.h"
#include "stream_copy.h"

namespace pngcarve {

void ChunkWalk::start_run() {
  *this = ChunkWalk();
  run_mode_ = true;
  std::memcpy(header_, kIhdrHeader, sizeof header_);
  length_ = kIhdrDataSize;
  at_ = Part::kData;
  data_left_ = kIhdrDataSize;
  crc_left_ = kCrcSize;
}

void ChunkWalk::start_chunks() { *this = ChunkWalk(); }

bool ChunkWalk::is(const unsigned char* type) const {
  return std::memcmp(header_ + 4, type, 4) == 0;
}

void ChunkWalk::begin_chunk() {
  have_ = 0;
  const bool idat = is(kIdatTag);
  if (run_mode_ && idat_seen_ && !idat) {
    ended_ = true;  // the header is dropped; what follows is searched
    return;
  }
  idat_seen_ = idat_seen_ || idat;
  run_ += kChunkHeaderSize;
  length_ = load_be32(header_);
  const uint32_t body = length_ + kCrcSize;  // wraps modulo 2^32
  data_left_ = wraps() ? body : length_;
  crc_left_ = wraps() ? 0 : kCrcSize;
  at_ = Part::kData;
  settle();
}

void ChunkWalk::settle() {
  if (at_ == Part::kData && data_left_ == 0) at_ = Part::kCrc;
  if (at_ == Part::kCrc && crc_left_ == 0) at_ = Part::kHeader;
}

size_t ChunkWalk::push(const unsigned char* data, size_t n) {
  if (ended_ || n == 0) return 0;
  part_ = at_;
  if (at_ == Part::kHeader) {
    const size_t take = std::min(n, sizeof header_ - have_);
    std::memcpy(header_ + have_, data, take);
    have_ += take;
    done_ = have_ == sizeof header_;
    if (done_) begin_chunk();
    return take;
  }
  // Data or CRC: as far as the part goes.
  uint64_t& left = at_ == Part::kData ? data_left_ : crc_left_;
  const size_t take = static_cast<size_t>(std::min<uint64_t>(n, left));
  return static_cast<size_t>(pass(take));
}

uint64_t ChunkWalk::pass(uint64_t n) {
  uint64_t taken = 0;
  while (!ended_ && at_ != Part::kHeader && taken < n) {
    part_ = at_;
    uint64_t& left = at_ == Part::kData ? data_left_ : crc_left_;
    const uint64_t take = std::min(n - taken, left);
    left -= take;
    taken += take;
    done_ = left == 0;
    if (done_) {
      if (at_ == Part::kData) at_ = Part::kCrc;
      settle();
    }
  }
  run_ += taken;
  return taken;
}

}  // namespace pngcarve
