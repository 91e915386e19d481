// The "IDAT" and "IEND" tags of an input, the places where a broken
// image's next piece may begin, noted as the input is carved. Once it is,
// they are kept by where their chunk begins modulo kSector, so that a
// break finds its candidates, nearest first, without a look at the rest.
#ifndef PNGCARVE_RECORD_TAG_INDEX_H_
#define PNGCARVE_RECORD_TAG_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pngcarve {

// Beyond this many tags an input's are not kept: the index stays bounded
// (8 bytes a tag) whatever the input holds.
constexpr size_t kMaxTags = size_t{1} << 22;

class TagIndex {
 public:
  // Notes the tags in the input's next `n` bytes, in pieces of any size.
  void push(const unsigned char* data, size_t n);
  // Drops the tags in the bytes of a whole image, found by its IHDR tag at
  // `ihdr_tag` and holding `run_length` input bytes after it (as a
  // CarveSink is told): they can be no other image's piece. Called as each
  // whole image ends, it keeps the index to the tags of broken images and
  // of bytes no whole image holds.
  void claim(uint64_t ihdr_tag, uint64_t run_length);
  // Notes a tag that a carve of one of the input's ranges found, as
  // pushing its bytes would; in order, as push() notes them.
  void add(uint64_t tag) {
    if (!overflowed_) note(tag);
  }
  // The input's size, for tags added, not pushed.
  void set_size(uint64_t size) { offset_ = size; }
  // The tags noted so far, in order, less those claimed. REQUIRES: not
  // done().
  const std::vector<uint64_t>& noted() const { return tags_; }
  // Once the input is carved: the tags from then on kept for near(); push
  // and claim no more.
  void done();

  // The tags whose chunk begins at `residue` modulo kSector, in the order
  // they are tried as the place that follows `end`: up to `most` at or
  // after it, nearest first, then up to `most` before it, nearest first.
  // REQUIRES: done().
  std::vector<uint64_t> near(uint64_t residue, uint64_t end, size_t most) const;

  // How many there are; none once the input held more than kMaxTags.
  size_t count() const { return tags_.size(); }
  bool overflowed() const { return overflowed_; }
  // Bytes pushed: the input's size, once it is carved.
  uint64_t size() const { return offset_; }

 private:
  // In order until done(), then by residue and in order within each.
  void note(uint64_t at);  // a tag found, or the index overflowed

  std::vector<uint64_t> tags_;
  std::vector<size_t> residue_start_;  // kSector + 1 of them, after done()
  uint64_t offset_ = 0;                // of the next byte pushed
  unsigned char last_[3] = {};         // the three bytes before it
  bool overflowed_ = false;
};

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_TAG_INDEX_H_
