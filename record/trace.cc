#include "trace.h"

#include <algorithm>
#include <cstring>

#include "stream_copy.h"
#include "tag_search.h"

namespace pngcarve {

void ImageTrace::start(uint64_t offset, ImageRecord* record) {
  record_ = record;
  record->offset = offset;
  record->size = 0;
  record->hidden_count = 0;
  record->hidden.clear();
  tail_size_ = 0;
  hashing_ = true;
  digests_.start();
}

void ImageTrace::hidden_at(uint64_t at) {
  if (at < kWidthAt) return;  // the tag it was found by
  ++record_->hidden_count;
  if (record_->hidden.size() < kHiddenListed)
    record_->hidden.push_back(record_->offset + 4 + (at - kWidthAt));
}

void ImageTrace::push(const unsigned char* data, size_t n) {
  if (hashing_) digests_.push(data, n);
  const uint64_t at = record_->size;
  for (size_t i = 0; at + i < sizeof head_ && i < n; ++i)
    head_[at + i] = data[i];
  // Tags that begin in the last bytes seen and end in these, then those
  // wholly inside these.
  unsigned char across[6];
  std::memcpy(across, tail_, tail_size_);
  const size_t lead = std::min<size_t>(n, 3);
  std::memcpy(across + tail_size_, data, lead);
  const size_t joined = tail_size_ + lead;
  for (const unsigned char* p = across;
       (p = find_ihdr(p, across + joined)) < across + tail_size_; ++p)
    hidden_at(at - tail_size_ + static_cast<uint64_t>(p - across));
  const unsigned char* end = data + n;
  for (const unsigned char* p = data; (p = find_ihdr(p, end)) != end; ++p)
    hidden_at(at + static_cast<uint64_t>(p - data));
  // The last three bytes seen, for the next piece.
  tail_size_ = std::min<size_t>(joined, 3);
  std::memcpy(tail_, n >= 3 ? end - 3 : across + joined - tail_size_,
              tail_size_);
  record_->size += n;
}

bool ImageTrace::end(ImageRecord* record) {
  record->sized = record->size >= kWidthAt + 8;
  if (record->sized) {
    record->width = load_be32(head_ + kWidthAt);
    record->height = load_be32(head_ + kWidthAt + 4);
  }
  record->digests.fill(0);  // none, if they could not be had
  record->hashed = hashing_;
  const bool had = digests_.end(record->digests.data());
  if (!hashing_) record->digests.fill(0);
  return had || !hashing_;
}

}  // namespace pngcarve
