// The parts of one input's carve (report/part.h) put together: the images
// one carve of the whole input makes, named and in the order it records
// them, with what it mends by.
//
// Which tags begin images, and under what names, is played again here as
// the carve decides it (src/png_extract.h, src/nested.h), from each tag's
// place and where its image ends, both of which a part tells: the
// extractor's images are found between its runs; every other tag begins a
// nested image of the innermost one open at it, while fewer than
// kMaxNested are. Images are recorded in the order they end (those that
// end together, the nested ones first, then in the order they began), the
// ones cut by the input's end last. A range's carve began with no image
// open, so it may have carved a tag the whole carve does not (it is left
// out), or not carved one the whole carve does: that one is carved again
// here, alone, by `carve_one`. A range that stopped past its end with only
// junk open left those images cut there; each is walked on here, by its
// chunk headers, to its end, and its hidden tags are the parts' tags in
// its run.
#ifndef PNGCARVE_REPORT_MERGE_H_
#define PNGCARVE_REPORT_MERGE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mending.h"
#include "part.h"

namespace pngcarve {

struct Merged {
  // The carved images' records, in the order the carve records them,
  // with their names, parents and not_carved; each with the file its part
  // wrote it to, or "".
  std::vector<PartImage> images;
  // Those whose check failed and that are to be mended, in that order.
  std::vector<Broken> broken;
  // Every IHDR tag inside another image's run that began no image.
  uint64_t not_carved = 0;
};

// Carves the image whose tag lies at `offset` alone, into `image`, with
// `*stopped` set as its part's. Returns "" or what went wrong.
using CarveOne = std::function<std::string(uint64_t offset, PartImage* image,
                                           bool* stopped)>;

// Puts `ranges`, the range parts of one input of `size` bytes, read at will
// through `read`, whose outputs are named after `stem`, together into
// `merged`, and their IDAT and IEND tags into `index`, which is then as the
// carve of the whole input leaves it for mending. Returns "" or what is wrong:
// ranges that do not cover the input once each, the last to its end, an image
// carve_one could not carve, or a read that failed.
std::string merge_ranges(std::vector<Part>& ranges, const std::string& stem,
                         const ReadAt& read, uint64_t size,
                         const CarveOne& carve_one, TagIndex* index,
                         Merged* merged);

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_MERGE_H_
