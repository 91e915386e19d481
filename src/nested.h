// The images that begin at an "IHDR" tag inside another image's run. The
// extractor searches only between runs, so a chance tag in data that is no
// PNG's (its length a random number, its run up to 4 GiB) hides every image
// after it; these are carved here, in the same forward pass, at any depth.
//
// NestedCarves is told every input byte once the extractor is done with it
// (push), in order, and where each image the extractor carves begins and
// ends (top_start, top_end). Every other tag begins a nested image: its
// run is walked as the extractor walks one, and its bytes are what the
// extractor would write for it. Its parent is the innermost image open at
// its tag, the one begun last, and its name is the parent's with "+NNNN"
// for the parent's Nth nested image: "in.0003.png" holds "in.0003+0000.png",
// which holds "in.0003+0000+0000.png". No name the extractor gives ends in
// a part with a '+', so the two never meet. A tag that begins in the chunk
// header that ended a run, which the extractor's search passes over, is
// inside that run.
//
// An image that ends in the same bytes pushed as another is told in the
// order they end; those that end at one byte, in the order they began.
//
// At most kMaxNested nested images are open at once; a tag found past that
// begins none, and the sink is told it was not carved. Memory is that of
// the open images' walks, whatever the input.
#ifndef PNGCARVE_NESTED_H_
#define PNGCARVE_NESTED_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chunk_walk.h"

namespace pngcarve {

constexpr size_t kMaxNested = 16;

// "<parent without .png>+NNNN.png", n zero-padded to four digits.
std::string nested_name(const std::string& parent, int64_t n);

// What is told of each nested image, by the slot (below kMaxNested) it is
// carved in while it is open.
class NestSink {
 public:
  virtual ~NestSink() = default;
  virtual void begin(size_t slot, uint64_t offset, const std::string& name,
                     const std::string& parent) = 0;
  // Its bytes, in order: the 16 constant bytes, its run, then kIendChunk
  // when the run ended at a chunk.
  virtual void bytes(size_t slot, const unsigned char* data, size_t n) = 0;
  // As the extractor's end(): the run's length, and whether it ended at a
  // chunk (else the input ended inside it).
  virtual void finish(size_t slot, uint64_t run_length, bool iend) = 0;
  // A tag inside `parent`'s run that begins no image: too many are open.
  virtual void not_carved(uint64_t offset, const std::string& parent) = 0;
};

class NestedCarves {
 public:
  // Images begin only at tags whose first byte lies before `before`.
  explicit NestedCarves(NestSink* sink, uint64_t before = UINT64_MAX)
      : sink_(sink), before_(before) {}

  // The extractor's image found by the tag at `offset`, named `name`, told
  // before the bytes from `offset` on are pushed.
  void top_start(uint64_t offset, const std::string& name);
  // Its end, told once the bytes up to its end (and the chunk header that
  // ended it) are pushed.
  void top_end();
  // The input's next bytes.
  void push(const unsigned char* data, size_t n);
  // The input has ended (or could be read no further): the nested images
  // still open are cut there.
  void finish();
  // Whether any nested image is still being carved.
  bool carving() const { return carving_ > 0; }

 private:
  struct Open {
    bool top = false;  // the extractor's, not carved here
    // Where its run ended (with the chunk header that ended it): a tag
    // that begins before that is still inside it, though seen after.
    uint64_t end_at = UINT64_MAX;
    size_t slot = 0;
    std::string name;
    int64_t children = 0;
    ChunkWalk walk;
    // Its data and CRC bytes fed and not yet told, in the bytes being
    // pushed: told in one piece however many tags split them.
    const unsigned char* untold = nullptr;
    size_t untold_size = 0;
  };

  // Feeds `n` bytes to every open nested image, in the order they began.
  void feed(const unsigned char* data, size_t n);
  // A tag whose first byte is at `offset`, once its bytes are fed.
  void tag(uint64_t offset);
  // Lets go of the images ended too long ago to hold a tag still to come.
  void forget();
  // A slot no nested image being carved holds, or kMaxNested.
  size_t free_slot() const;
  // Tells the sink an image's bytes fed and not yet told.
  void tell(Open* image);
  // The data index just past the next tag that ends after `from`, or npos.
  size_t next_tag_end(const unsigned char* data, size_t n, size_t from) const;

  NestSink* sink_;
  const uint64_t before_;
  std::vector<Open> open_;  // in the order they began
  size_t carving_ = 0;      // nested images not yet ended
  uint64_t offset_ = 0;     // of the next byte pushed
  uint64_t top_tag_ = UINT64_MAX;
  unsigned char carry_[3] = {};  // the last bytes pushed, for a tag across
  size_t carried_ = 0;
};

}  // namespace pngcarve

#endif  // PNGCARVE_NESTED_H_
