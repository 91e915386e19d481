// The twin of a carved image whose structure check failed: the image
// rebuilt from its input's pieces (mend()), or failing that its rows before
// the break (salvage()), with its bytes and its record. One step from a
// broken image to what is kept of it, for pngcarve-report and the web page
// alike; each writes the bytes where it keeps its images, and says the
// twin's note or failure as it says an input's.
#ifndef PNGCARVE_RECORD_TWIN_H_
#define PNGCARVE_RECORD_TWIN_H_

#include <cstdint>
#include <string>

#include "mend.h"
#include "record.h"
#include "salvage.h"
#include "tag_index.h"

namespace pngcarve {

struct Twin {
  // Its output is "<name>.mended.png" or "<name>.salvaged.png" beside the
  // carved "<name>.png" it names in `from`; empty when nothing was kept.
  ImageRecord record;
  std::string bytes;
  // What is to be said of the image, beginning with its carved output's
  // name: `note` when its search was cut short, nothing lost (and the
  // twin's record says it too, if there is one); `failure` when something
  // was lost (a read of the input failed, or memory ran out), and then
  // nothing is kept.
  std::string note;
  std::string failure;
};

// "disk.img.0042.png" and "mended" give "disk.img.0042.mended.png".
std::string twin_name(const std::string& output, const char* kind);

// Sets `twin` to the twin of the carved image `output` of the input
// `input`, found by its IHDR tag at `offset`, from the input's `tags` and
// its bytes, read at will through `read`, the search within `budget`
// (mend_budget()).
void make_twin(const ReadAt& read, const TagIndex& tags,
               const std::string& input, uint64_t offset, uint64_t budget,
               const std::string& output, Twin* twin);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_TWIN_H_
