// Images a disk broke into pieces, put back together from their input, and
// what can be kept of those that can't.
//
// A file system stores a file in clusters, so where a carved image breaks
// off, the break lies at a sector boundary (a multiple of kSector bytes from
// the start of the input), inside the first chunk whose CRC-32 fails. The
// rest of that chunk lies at another sector boundary, before or after, where
// its bytes make the chunk's CRC match and the next chunk's type follows
// them. mend() looks for it among the IDAT and IEND tags of the input
// (TagIndex), nearest first, chunk by chunk, for up to kMaxPieces pieces.
// An IDAT chunk broken more than once is followed by its image data
// instead: where the data stops inflating into rows of valid filter types,
// the break is at a sector boundary just before, and the data goes on at a
// cluster nearby where it inflates into valid rows again, up to the chunk's
// CRC. The image is called mended only when every chunk's CRC matches and
// its data inflates to the size its IHDR gives (the structure check says
// "ok"). A wrongly joined piece passes a chunk's CRC with odds of 1 in
// 2^32.
//
// salvage() keeps, of an image that can't be mended, the rows whose data
// lies wholly before the break: a valid PNG of those rows at the image's
// full width, its data compressed again.
#ifndef PNGCARVE_RECORD_MEND_H_
#define PNGCARVE_RECORD_MEND_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record.h"

namespace pngcarve {

constexpr uint64_t kSector = 512;
constexpr size_t kMaxPieces = 5;
// Beyond this many tags an input is not mended: the index stays bounded
// (8 bytes a tag) whatever the input holds.
constexpr size_t kMaxTags = size_t{1} << 22;

// Reads up to `n` bytes of the input at `offset` into `out`; returns how
// many it read (fewer only at the input's end or on an error).
using ReadAt =
    std::function<size_t(uint64_t offset, unsigned char* out, size_t n)>;

// The offsets of every "IDAT" and "IEND" tag in an input, noted as its
// bytes go by in order, in pieces of any size.
class TagIndex {
 public:
  void push(const unsigned char* data, size_t n);
  // Drops the tags in the bytes of a whole image, found by its IHDR tag at
  // `ihdr_tag` and holding `run_length` input bytes after it (as a
  // CarveSink is told): they can be no other image's piece. Called as each
  // whole image ends, it keeps the index to the tags of broken images and
  // of bytes no whole image holds.
  void claim(uint64_t ihdr_tag, uint64_t run_length);
  // Sorted; empty once the input held more than kMaxTags.
  const std::vector<uint64_t>& tags() const { return tags_; }
  bool overflowed() const { return overflowed_; }

 private:
  std::vector<uint64_t> tags_;
  uint64_t offset_ = 0;         // of the next byte pushed
  unsigned char last_[3] = {};  // the three bytes before it
  bool overflowed_ = false;
};

// An image rebuilt: the 16 constant bytes (signature, IHDR length and tag),
// then its pieces' bytes, then kIendChunk unless the pieces end with the
// input's own IEND chunk.
struct Mended {
  std::vector<Piece> pieces;  // two or more; none when it was not mended
  bool own_iend = false;
  std::string bytes;  // as the final test read them
};

// Rebuilds the image whose "IHDR" tag is at `ihdr_tag`, from `tags` (a
// TagIndex's) and the input, read at will through `read`.
Mended mend(const ReadAt& read, const std::vector<uint64_t>& tags,
            uint64_t ihdr_tag);

// What salvage() kept: a PNG of `rows` of the image's `height` rows.
struct Salvaged {
  std::string png;  // empty when nothing could be kept
  uint32_t rows = 0;
  uint32_t height = 0;
};

// The rows of the image whose "IHDR" tag is at `ihdr_tag` that inflate,
// with valid filter types, from data that lies wholly before its first
// broken chunk's first sector boundary past the last whole row; none for an
// interlaced image, whose rows come in seven passes.
Salvaged salvage(const ReadAt& read, uint64_t ihdr_tag);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_MEND_H_
