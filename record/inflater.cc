#include "inflater.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace pngcarve {

namespace {

constexpr int kFilterTypes = 5;  // None, Sub, Up, Average, Paeth
constexpr size_t kOutBlock = 1 << 16;

// A search clones an inflater for each place it tries, and drops the clone
// when the place fails, mostly within a sector: zlib's state and window
// (some 40 KiB) are taken from the blocks the last clones freed, not from
// the heap each time.
class Blocks {
 public:
  ~Blocks() {
    for (Header* h : free_) std::free(h);
  }
  void* take(size_t n) {
    for (size_t k = free_.size(); k-- > 0;) {
      if (free_[k]->size != n) continue;
      Header* h = free_[k];
      free_[k] = free_.back();
      free_.pop_back();
      return h + 1;
    }
    auto* h = static_cast<Header*>(std::malloc(sizeof(Header) + n));
    if (h == nullptr) return nullptr;
    h->size = n;
    return h + 1;
  }
  void give(void* p) {
    Header* h = static_cast<Header*>(p) - 1;
    if (free_.size() < kKept) {
      free_.push_back(h);
    } else {
      std::free(h);
    }
  }

 private:
  struct alignas(std::max_align_t) Header {
    size_t size;
  };
  static constexpr size_t kKept = 16;
  std::vector<Header*> free_;
};

thread_local Blocks blocks;

voidpf take_block(voidpf, uInt items, uInt size) {
  if (size != 0 && items > SIZE_MAX / 2 / size) return Z_NULL;
  return blocks.take(size_t{items} * size);
}

void give_block(voidpf, voidpf p) { blocks.give(p); }

}  // namespace

Inflater::Inflater(const unsigned char* ihdr_data,
                   std::vector<unsigned char>* keep)
    : passes_(row_passes(ihdr_data)), keep_(keep) {
  if (passes_.empty()) return;  // an IHDR of no image: never ok
  z_.zalloc = take_block;
  z_.zfree = give_block;
  const int status = inflateInit(&z_);
  if (status == Z_MEM_ERROR) throw std::bad_alloc();
  live_ = ok_ = status == Z_OK;
}

Inflater::~Inflater() {
  if (live_) inflateEnd(&z_);
}

std::unique_ptr<Inflater> Inflater::clone() const {
  auto copy = std::unique_ptr<Inflater>(new Inflater(passes_));
  if (ok_) {
    const int status = inflateCopy(&copy->z_, const_cast<z_stream*>(&z_));
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    copy->live_ = status == Z_OK;
  }
  copy->ok_ = copy->live_;
  copy->ended_ = ended_;
  copy->pass_ = pass_;
  copy->row_ = row_;
  copy->next_ = next_;
  copy->raw_ = raw_;
  copy->rows_ = rows_;
  return copy;
}

bool Inflater::feed(const unsigned char* p, size_t n) {
  unsigned char out[kOutBlock];
  z_.next_in = const_cast<unsigned char*>(p);
  z_.avail_in = static_cast<uInt>(n);
  // Bytes after the stream's end go unchecked; the final test sees them.
  while (ok_ && !ended_ && z_.avail_in > 0) {
    z_.next_out = out;
    z_.avail_out = sizeof out;
    const int status = inflate(&z_, Z_NO_FLUSH);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    const uint64_t got = sizeof out - z_.avail_out;
    bool valid = true;
    for (; pass_ < passes_.size() && next_ < raw_ + got; ++rows_) {
      if (out[next_ - raw_] >= kFilterTypes) {
        valid = false;
        break;
      }
      next_ += passes_[pass_].size;
      if (++row_ == passes_[pass_].rows) {
        ++pass_;
        row_ = 0;
      }
    }
    if (keep_) keep_->insert(keep_->end(), out, out + got);
    raw_ += got;
    if (!valid || raw_ > next_ || (status != Z_OK && status != Z_STREAM_END))
      return ok_ = false;
    ended_ = status == Z_STREAM_END;
  }
  return ok_;
}

}  // namespace pngcarve
