// What can be kept of an image that can't be mended: the rows whose data
// lies wholly before the break, as a PNG of its own at the image's full
// width, its data compressed again.
#ifndef PNGCARVE_RECORD_SALVAGE_H_
#define PNGCARVE_RECORD_SALVAGE_H_

#include <cstdint>
#include <string>

#include "reader.h"

namespace pngcarve {

// What salvage() kept: a PNG of `rows` of the image's `height` rows.
struct Salvaged {
  std::string png;  // empty when nothing could be kept
  uint32_t rows = 0;
  uint32_t height = 0;
  Stop stopped = Stop::kNone;  // kReadFailed when a read failed: none kept
  uint64_t failed_at = 0;
};

// The rows of the image whose "IHDR" tag is at `ihdr_tag` that inflate,
// with valid filter types, from data that lies wholly before its first
// broken chunk's first sector boundary past the last whole row; none for an
// interlaced image, whose rows come in seven passes. Throws std::bad_alloc
// when memory runs out.
Salvaged salvage(const ReadAt& read, uint64_t ihdr_tag);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_SALVAGE_H_
