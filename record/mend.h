// Images a disk broke into pieces, put back together from their input.
//
// A file system stores a file in clusters, so where a carved image breaks
// off, the break lies at a sector boundary (a multiple of kSector bytes from
// the start of the input), inside the first chunk whose CRC-32 fails. The
// rest of that chunk lies at another sector boundary, before or after, where
// its bytes make the chunk's CRC match and the next chunk's type follows
// them (record/join.h). An IDAT chunk broken more than once is followed by
// its image data instead (record/follow.h). mend() goes chunk by chunk, for
// up to kMaxPieces pieces. The image is called mended only when every
// chunk's CRC matches and its data inflates to the size its IHDR gives (the
// structure check says "ok"). A wrongly joined piece passes a chunk's CRC
// with odds of 1 in 2^32.
//
// The search is held to a budget (mend_budget()): for all the broken
// images of an input together, a small constant times the input's size,
// whatever its bytes. A search that spends it, or whose read fails, stops
// there and says so.
#ifndef PNGCARVE_RECORD_MEND_H_
#define PNGCARVE_RECORD_MEND_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reader.h"
#include "record.h"
#include "tag_index.h"

namespace pngcarve {

constexpr size_t kMaxPieces = 12;

// The budget of one broken image's search, of `broken` in an input of
// `input_size` bytes, the image's run `run_length` bytes long: its share
// of kBudgetFloor and kBudgetPerByte times the input's bytes, and
// kBudgetPerRunByte times its run's.
constexpr uint64_t kBudgetFloor = uint64_t{128} << 20;
constexpr uint64_t kBudgetPerByte = 8;
constexpr uint64_t kBudgetPerRunByte = 16;
uint64_t mend_budget(uint64_t input_size, size_t broken, uint64_t run_length);

// An image rebuilt: the 16 constant bytes (signature, IHDR length and tag),
// then its pieces' bytes, then kIendChunk unless the pieces end with the
// input's own IEND chunk.
struct Mended {
  std::vector<Piece> pieces;  // two or more; none when it was not mended
  bool own_iend = false;
  std::string bytes;           // as the final test read them
  Stop stopped = Stop::kNone;  // why the search ended short, if it did
  uint64_t failed_at = 0;      // where, for kReadFailed
};

// Rebuilds the image whose "IHDR" tag is at `ihdr_tag`, from `tags` and
// the input, read at will through `read`, within `budget`. Throws
// std::bad_alloc when memory runs out.
// REQUIRES: tags.done().
Mended mend(const ReadAt& read, const TagIndex& tags, uint64_t ihdr_tag,
            uint64_t budget);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_MEND_H_
