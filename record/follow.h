// An IDAT chunk whose CRC fails, broken more than once, followed from its
// header by its image data: where the data stops inflating into valid
// rows, the break is at one of the sector boundaries just before, and the
// data goes on at the start of a cluster (a power of two of sectors that
// divides the piece's distance from the image's start, up to kMaxCluster)
// nearby, where it inflates into valid rows again; each such piece is
// followed in turn, nearest first, up to the chunk's CRC, which must match.
// At each break, the rest of the chunk is first looked for in one piece
// that ends just before an IDAT or IEND tag (the index's), where it makes
// the CRC match.
#ifndef PNGCARVE_RECORD_FOLLOW_H_
#define PNGCARVE_RECORD_FOLLOW_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "chunk_read.h"
#include "inflater.h"
#include "tag_index.h"

namespace pngcarve {

// The chunk at `at`, of header `c`, of the image that begins at
// `image_start`, whose pieces so far are `before`: its pieces from its
// header on go into `pieces`, and where the next chunk begins is returned;
// nothing when no `pieces_left` pieces or fewer make it whole, or `in`
// stops. `inflater` has been fed the image's data before the chunk.
std::optional<uint64_t> follow_chunk(Reader* in, const TagIndex& tags,
                                     uint64_t image_start, uint64_t at,
                                     const Chunk& c,
                                     const std::vector<Piece>& before,
                                     std::unique_ptr<Inflater> inflater,
                                     size_t pieces_left,
                                     std::vector<Piece>* pieces);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_FOLLOW_H_
