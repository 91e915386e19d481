// pngcarve-report's second look at an input, once it is carved: each image
// whose structure check failed is rebuilt from the input's pieces
// (record/mend.h) and written as "<name>.mended.png" beside the carved
// "<name>.png", or failing that, its rows before the break as
// "<name>.salvaged.png". The carved image stays as it was written.
#ifndef PNGCARVE_REPORT_MENDING_H_
#define PNGCARVE_REPORT_MENDING_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "reader.h"
#include "record.h"
#include "tag_index.h"

namespace pngcarve {

// A carved image whose check failed: its IHDR tag's offset, its run's
// length and its output.
struct Broken {
  uint64_t offset = 0;
  uint64_t run_length = 0;
  std::string output;
};

// Whether a carved image is mended, by its check and why it is not
// written ("junk", "small" or ""): when its check failed, and it is
// neither junk nor too small to be written.
bool to_mend(const std::string& check, const std::string& skipped);

// How what is said of an image goes: a failure, a note for the record's
// end, or a note its own record holds, for standard error only.
enum class Said { kFailure, kNote, kAside };

// Mends or salvages each of `broken`, images of the input `path` (read
// again at any offset through `read`, which must be safe on several
// threads, and whose IDAT and IEND tags are `tags`, done), writing it unless
// `write` is false, and gives its record to `emit`, and what is to be said of
// it to `say`. Returns "" when it went through them all, or what stopped it: an
// output not written.
std::string mend_images(
    const ReadAt& read, const std::string& path, const TagIndex& tags,
    const std::vector<Broken>& broken, bool write,
    const std::function<void(const ImageRecord&)>& emit,
    const std::function<void(const std::string& what, Said how)>& say);

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_MENDING_H_
