#include "reader.h"

#include <algorithm>
#include <cstring>

namespace pngcarve {

size_t Reader::fetch(uint64_t at, unsigned char* out, size_t n) {
  if (at >= end_) return 0;
  const size_t got = read_(at, out, n);
  if (got < n) end_ = std::min(end_, at + got);
  if (got <= n) return got;
  stop_ = Stop::kReadFailed;  // kReadAtError, or more than there is room for
  failed_at_ = at;
  return 0;
}

const Reader::Block* Reader::block(uint64_t at) {
  ++clock_;
  Block* oldest = nullptr;
  for (Block& b : blocks_) {
    if (b.at == at) {
      b.used = clock_;
      return &b;
    }
    if (!oldest || b.used < oldest->used) oldest = &b;
  }
  if (blocks_.size() < kCacheBlocks) {
    blocks_.emplace_back();
    oldest = &blocks_.back();
    // Not zeroed: every byte is read before it is used.
    oldest->bytes.reset(new unsigned char[kCacheBlock]);
  }
  oldest->at = UINT64_MAX;
  oldest->size = fetch(at, oldest->bytes.get(), kCacheBlock);
  if (!going()) return nullptr;
  oldest->at = at;
  oldest->used = clock_;
  return oldest;
}

size_t Reader::read_some(uint64_t at, unsigned char* out, size_t n) {
  if (!spend(n)) return 0;
  if (n >= kCacheBlock) return fetch(at, out, n);
  size_t done = 0;
  while (done < n) {
    const uint64_t from = at + done;
    const uint64_t start = from / kCacheBlock * kCacheBlock;
    const Block* b = block(start);
    if (b == nullptr) return 0;
    const size_t skip = static_cast<size_t>(from - start);
    if (skip >= b->size) break;  // the input's end
    const size_t take = std::min(n - done, b->size - skip);
    std::memcpy(out + done, b->bytes.get() + skip, take);
    done += take;
    if (b->size < kCacheBlock) break;
  }
  return done;
}

bool Reader::spend(uint64_t work) {
  if (stop_ != Stop::kNone) return false;
  if (work > left_) {
    stop_ = Stop::kBound;
    left_ = 0;
    return false;
  }
  left_ -= work;
  return true;
}

}  // namespace pngcarve
