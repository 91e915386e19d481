#include "inflater.h"

#include <new>

namespace pngcarve {

namespace {

constexpr int kFilterTypes = 5;  // None, Sub, Up, Average, Paeth
constexpr size_t kOutBlock = 1 << 16;

}  // namespace

Inflater::Inflater(const unsigned char* ihdr_data,
                   std::vector<unsigned char>* keep)
    : passes_(row_passes(ihdr_data)), keep_(keep) {
  if (passes_.empty()) return;  // an IHDR of no image: never ok
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
