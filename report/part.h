// A part of one input's carve: what a carve of one range of it, or a hash
// of all its bytes, found, written as text for the merge (report/merge.h)
// to make the record one carve of the whole input writes.
//
// A range's carve begins images only at tags whose first byte lies in the
// range, with none open at its start, and reads on past its end as far as
// those images need. What it found of each image (its run, hashes, check)
// is the image's own, wherever the carve began; what depends on the images
// before it (its name, its parent, whether it was carved at all) is left to
// the merge. So the part holds each image it carved, with the file it wrote
// under a name of its own, every IHDR tag it began no image at, and its
// range's IDAT and IEND tags, for mending.
//
// The text: a first line "pngcarve-part 1", then one line a fact, its
// fields parted by spaces, each string with its spaces, controls and '%'
// as %XX, "" as "-"; the last line is "end", so that a part cut short by a
// worker's death is told from a whole one.
#ifndef PNGCARVE_REPORT_PART_H_
#define PNGCARVE_REPORT_PART_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "record.h"

namespace pngcarve {

// A range's length when it runs to the input's end.
constexpr uint64_t kToTheEnd = UINT64_MAX;

struct PartImage {
  ImageRecord record;  // but for its name, parent and not_carved
  std::string file;    // the file the range wrote it to, or "" for none
};

struct Part {
  std::string input;  // as given
  // Each file the input is read from, with its size and modification time,
  // as the part's carve began: the same for every part of one carve.
  std::string identity;
  // The command line's arguments but the part's own: those of the one
  // carve of the whole input the parts make.
  std::vector<std::string> args;
  bool source = false;  // all the input's bytes hashed, not a range carved
  uint64_t start = 0;
  uint64_t length = kToTheEnd;
  std::vector<PartImage> images;
  std::vector<uint64_t> not_carved;  // IHDR tags that began no image
  std::vector<uint64_t> chunk_tags;  // IDAT and IEND tags, in order
  std::vector<std::string> failures;
  uint64_t read_to = 0;  // a range's: just past the last byte it read
  // A range's carve stopped there, past its end, with only junk open: the
  // images it cut there ran on, and the merge walks them to their ends.
  bool stopped = false;
  SourceRecord hashes;  // a source part's
};

// Each as a line of the part.
std::string part_head(const Part& part);
std::string part_image(const ImageRecord& record, const std::string& file);
std::string part_not_carved(uint64_t offset);
std::string part_chunk_tag(uint64_t offset);
std::string part_tail(const Part& part);  // failures, hashes, "end"

// Reads the part at `path`, or in `file` from its start, into `part`.
// Returns "" or what is wrong with it.
std::string read_part(const std::string& path, Part* part);
std::string read_part(std::FILE* file, Part* part);

// The input's identity now: each of its files, with its size and
// modification time.
std::string identity_of(const std::vector<std::string>& files);

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_PART_H_
