#include "nested.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "png_extract.h"
#include "tag_search.h"

namespace pngcarve {

namespace {
constexpr size_t kNone = SIZE_MAX;
constexpr char kPng[] = ".png";
}  // namespace

std::string nested_name(const std::string& parent, int64_t n) {
  std::string stem = parent;
  if (stem.size() >= 4 && stem.compare(stem.size() - 4, 4, kPng) == 0)
    stem.resize(stem.size() - 4);
  char number[32];
  std::snprintf(number, sizeof number, "+%04" PRId64 ".png", n);
  return stem + number;
}

void NestedCarves::top_start(uint64_t offset, const std::string& name) {
  top_tag_ = offset;
  Open top;
  top.top = true;
  top.name = name;
  open_.push_back(std::move(top));
}

void NestedCarves::top_end() {
  for (Open& image : open_)
    if (image.top && image.end_at == UINT64_MAX) image.end_at = offset_;
  forget();
}

void NestedCarves::forget() {
  // A tag ends at most 3 bytes past the run it began in.
  std::erase_if(open_, [this](const Open& image) {
    return image.end_at != UINT64_MAX && image.end_at + 3 <= offset_;
  });
}

size_t NestedCarves::free_slot() const {
  if (carving_ == kMaxNested) return kMaxNested;
  for (size_t slot = 0; slot < kMaxNested; ++slot) {
    bool held = false;
    for (const Open& image : open_)
      held = held ||
             (!image.top && image.end_at == UINT64_MAX && image.slot == slot);
    if (!held) return slot;
  }
  return kMaxNested;
}

size_t NestedCarves::next_tag_end(const unsigned char* data, size_t n,
                                  size_t from) const {
  if (from == 0 && carried_ > 0) {
    // A tag begun in the bytes pushed before these.
    for (size_t q = 1; q <= 3 && q <= n; ++q) {
      if (carried_ + q < 4) continue;
      unsigned char window[4];
      const size_t old = 4 - q;  // of its bytes in the carry
      std::memcpy(window, carry_ + carried_ - old, old);
      std::memcpy(window + old, data, q);
      if (std::memcmp(window, kIhdrTag, 4) == 0) return q;
    }
  }
  const unsigned char* hit = find_ihdr(data + from, data + n);
  return hit == data + n ? kNone : static_cast<size_t>(hit - data) + 4;
}

void NestedCarves::push(const unsigned char* data, size_t n) {
  size_t from = 0;
  while (from < n) {
    forget();
    // Between runs the extractor's search has seen every tag: the next one
    // is its image's, told before its bytes come.
    if (open_.empty()) {
      offset_ += n - from;
      break;
    }
    // Once every image here has ended, only a tag that begins before the
    // last end can be inside one.
    size_t limit = n;
    uint64_t last_end = 0;
    for (const Open& image : open_) last_end = std::max(last_end, image.end_at);
    if (last_end != UINT64_MAX)
      limit = static_cast<size_t>(
          std::min<uint64_t>(n, from + (last_end + 3 - offset_)));
    const size_t end = next_tag_end(data, limit, from);
    const size_t to = end == kNone ? limit : end;
    feed(data + from, to - from);
    if (end != kNone) tag(offset_ - 4);  // feed() counted the bytes
    from = to;
  }
  for (Open& image : open_) tell(&image);
  if (n >= 3) {
    std::memcpy(carry_, data + n - 3, 3);
    carried_ = 3;
  } else {
    const size_t keep = std::min<size_t>(carried_, 3 - n);
    std::memmove(carry_, carry_ + carried_ - keep, keep);
    std::memcpy(carry_ + keep, data, n);
    carried_ = keep + n;
  }
}

void NestedCarves::feed(const unsigned char* data, size_t n) {
  // The images that end in these bytes are told in the order they end
  // (those that end together, in the order they began), however the
  // input's bytes came in pieces.
  std::array<std::pair<uint64_t, Open*>, kMaxNested> ended;
  size_t ends = 0;
  for (Open& image : open_) {
    if (image.top || image.end_at != UINT64_MAX) continue;
    const unsigned char* at = data;
    size_t left = n;
    while (left > 0 && !image.walk.ended()) {
      const size_t took = image.walk.push(at, left);
      if (image.walk.part() != ChunkWalk::Part::kHeader) {
        if (image.untold + image.untold_size != at) {
          tell(&image);
          image.untold = at;
        }
        image.untold_size += took;
      } else if (image.walk.done() && !image.walk.ended()) {
        tell(&image);
        sink_->bytes(image.slot, image.walk.header(), 8);
      }
      at += took;
      left -= took;
    }
    if (image.walk.ended()) {
      image.end_at = offset_ + (n - left);
      tell(&image);
      ended[ends++] = {image.end_at, &image};
    }
  }
  std::stable_sort(
      ended.begin(), ended.begin() + ends,
      [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t k = 0; k < ends; ++k) {
    Open& image = *ended[k].second;
    sink_->bytes(image.slot, kIendChunk, sizeof kIendChunk);
    sink_->finish(image.slot, image.walk.run(), true);
    --carving_;
  }
  offset_ += n;
}

void NestedCarves::tell(Open* image) {
  if (image->untold_size > 0)
    sink_->bytes(image->slot, image->untold, image->untold_size);
  image->untold = nullptr;
  image->untold_size = 0;
}

void NestedCarves::tag(uint64_t offset) {
  if (offset == top_tag_) return;  // the extractor's own
  if (offset >= before_) return;   // past the part being carved
  // The image begun last whose run holds the tag.
  size_t k = open_.size();
  while (k > 0 && open_[k - 1].end_at <= offset) --k;
  if (k == 0) return;  // between runs: the extractor's next
  Open& parent = open_[k - 1];
  const size_t slot = free_slot();
  if (slot == kMaxNested) {
    sink_->not_carved(offset, parent.name);
    return;
  }
  Open image;
  image.slot = slot;
  image.name = nested_name(parent.name, parent.children++);
  image.walk.start_run();
  ++carving_;
  const std::string parent_name = parent.name;
  open_.push_back(std::move(image));
  sink_->begin(slot, offset, open_.back().name, parent_name);
  sink_->bytes(slot, kSignature, sizeof kSignature);
  sink_->bytes(slot, kIhdrHeader, sizeof kIhdrHeader);
}

void NestedCarves::finish() {
  for (Open& image : open_)
    if (!image.top && image.end_at == UINT64_MAX)
      sink_->finish(image.slot, image.walk.run(), false);
  open_.clear();
  carving_ = 0;
}

}  // namespace pngcarve
