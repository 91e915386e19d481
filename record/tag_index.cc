#include "tag_index.h"

#include <algorithm>
#include <cstring>

#include "chunk_read.h"
#include "png_extract.h"
#include "tag_search.h"

namespace pngcarve {

namespace {

// Where a tag's chunk begins, modulo kSector.
uint64_t residue_of(uint64_t tag) { return (tag - 4) % kSector; }

}  // namespace

void TagIndex::push(const unsigned char* data, size_t n) {
  if (overflowed_) {
    offset_ += n;
    return;
  }
  auto is_tag = [](const unsigned char* p) {
    return std::memcmp(p, kIdatTag, 4) == 0 || std::memcmp(p, kIendTag, 4) == 0;
  };
  // Tags begun in the bytes before these.
  unsigned char joined[6];
  const size_t head = std::min<size_t>(n, 3);
  std::memcpy(joined, last_, 3);
  std::memcpy(joined + 3, data, head);
  for (size_t k = 0; k < 3 && k + 4 <= 3 + head && !overflowed_; ++k)
    if (is_tag(joined + k) && offset_ >= 3 - k) note(offset_ - 3 + k);
  // Then those wholly in these bytes.
  for (const unsigned char* p = data;
       !overflowed_ &&
       (p = find_tag(p, data + n, kIdatTag, kIendTag)) != data + n;
       ++p)
    note(offset_ + static_cast<uint64_t>(p - data));
  std::memcpy(last_, n >= 3 ? data + n - 3 : joined + head, 3);
  offset_ += n;
}

void TagIndex::note(uint64_t at) {
  if (tags_.size() == kMaxTags) {
    overflowed_ = true;
    std::vector<uint64_t>().swap(tags_);
  } else {
    tags_.push_back(at);
  }
}

void TagIndex::claim(uint64_t ihdr_tag, uint64_t run_length) {
  const auto first = std::lower_bound(tags_.begin(), tags_.end(), ihdr_tag);
  tags_.erase(first,
              std::lower_bound(first, tags_.end(), ihdr_tag + 4 + run_length));
}

void TagIndex::done() {
  // No chunk begins before the input does.
  tags_.erase(tags_.begin(), std::lower_bound(tags_.begin(), tags_.end(), 4));
  std::stable_sort(tags_.begin(), tags_.end(), [](uint64_t a, uint64_t b) {
    return residue_of(a) < residue_of(b);
  });
  residue_start_.assign(kSector + 1, tags_.size());
  for (size_t k = tags_.size(); k-- > 0;)
    residue_start_[residue_of(tags_[k])] = k;
  for (size_t r = kSector; r-- > 0;)
    residue_start_[r] = std::min(residue_start_[r], residue_start_[r + 1]);
}

std::vector<uint64_t> TagIndex::near(uint64_t residue, uint64_t end,
                                     size_t most) const {
  std::vector<uint64_t> order;
  if (residue_start_.empty() || residue >= kSector) return order;
  const auto from = tags_.begin() + residue_start_[residue];
  const auto to = tags_.begin() + residue_start_[residue + 1];
  const auto after = std::lower_bound(from, to, end + 4);
  const auto limit = static_cast<ptrdiff_t>(most);
  order.assign(after, after + std::min(to - after, limit));
  for (auto b = after; b != from && after - b < limit;) order.push_back(*--b);
  return order;
}

}  // namespace pngcarve
