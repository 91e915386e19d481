// Where a broken chunk's image goes on, found among the input's IDAT and
// IEND tags: the two joins mend() tries first.
//
// split_chunk(): a chunk whose CRC fails, as two pieces: its first bytes
// where they lie, up to a sector boundary, and the rest at another sector
// boundary, just before a tag's chunk, where they make the chunk's CRC
// match. split_header(): the same, for a break inside a chunk's length,
// where the rest begins just before the chunk's tag. chunk_at_boundary(): a
// whole IDAT chunk that starts at a sector boundary, for an image whose next
// chunk should have started at one.
//
// Each tries at most kCandidates tags each side of the break, nearest
// first, and takes the first that fits. Where another candidate holds the
// same bytes (a copy of the file, say), the join can't tell which is the
// image's, and says so: its bytes are right either way, but not its place.
#ifndef PNGCARVE_RECORD_JOIN_H_
#define PNGCARVE_RECORD_JOIN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "chunk_read.h"
#include "tag_index.h"

namespace pngcarve {

constexpr size_t kCandidates = 128;

struct Join {
  uint64_t split = 0;      // the chunk's bytes in its first piece
  uint64_t rest = 0;       // where the rest lies
  bool uncertain = false;  // another place holds the same bytes
};

// The chunk at `at`, of header `c`, whose CRC fails, split in two; its rest
// overlaps none of `pieces`.
std::optional<Join> split_chunk(Reader* in, const TagIndex& tags,
                                const std::vector<Piece>& pieces, uint64_t at,
                                const Chunk& c);

// A chunk whose length field the break cut, at `at`: its first `split`
// bytes where they lie, up to a sector boundary, and the rest of the chunk
// at another, whole with its CRC right from there, and with what
// `fits(chunk, where its data lies)` (what the image's data before it
// makes of it: a whole chunk elsewhere whose length begins with the same
// byte fits the CRC as well); `c` is told its header.
std::optional<Join> split_header(
    Reader* in, const TagIndex& tags, const std::vector<Piece>& pieces,
    uint64_t at, const std::function<bool(const Chunk&, uint64_t)>& fits,
    Chunk* c);

// A whole IDAT chunk at a sector boundary, the nearest to `at` that
// overlaps none of `pieces`: where it starts, and whether another holds the
// same bytes (`rest`, `uncertain`; `split` is 0).
std::optional<Join> chunk_at_boundary(Reader* in, const TagIndex& tags,
                                      const std::vector<Piece>& pieces,
                                      uint64_t at);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_JOIN_H_
