// The structure check of one carved image, as the page's report has it
// (doc/report.md): "ok", or the first fault found, in this order:
//   "cut"      the input ended inside the image;
//   "crc"      a chunk's CRC-32 does not match its type and data, or its
//              length leaves no room for one;
//   "inflate"  its IDAT data, joined, is not one complete zlib stream (its
//              end reached and its Adler-32 right; bytes after the end are
//              let be, as PNG decoders let them be);
//   "size"     the stream inflates to a size other than the one the IHDR's
//              width, height, bit depth, colour type and interlace imply, or
//              the IHDR implies none.
// Before all of these, "junk": the IHDR's CRC fails and its fields are no
// image's (is_junk), so the tag it was found by is one that other data
// holds by chance.
// Inflating stops once it has more bytes than the IHDR implies, so a small
// image can't make the check inflate gigabytes. zlib inflates, so the check
// fails exactly where zlib does, as the page's (pako, zlib's port) does.
#ifndef PNGCARVE_RECORD_CHECK_H_
#define PNGCARVE_RECORD_CHECK_H_

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chunk_walk.h"

namespace pngcarve {

// The bytes an image of the 13-byte IHDR data `ihdr` inflates to (a filter
// byte and the packed pixels for each row of each pass), or -1 when it
// allows no image. In floating point, as the page computes it, so that the
// two agree on any IHDR; it is exact up to 2^53.
double raw_size(const unsigned char* ihdr);

// Whether the IHDR's fields can be an image's: width and height from 1 to
// 2^31 - 1, a bit depth its colour type allows, and compression, filter
// and interlace methods 0, 0 and 0 or 1.
bool sound_fields(const unsigned char* ihdr);

// Whether the 17 bytes after an "IHDR" tag, `tail` (`n` of them, fewer
// when the input ended first), are junk: all there, their CRC wrong, and
// their fields no image's. A real image with a damaged IHDR CRC but sound
// fields is no junk.
bool is_junk(const unsigned char* tail, size_t n);

// The rows that data is, pass by pass (one pass, or Adam7's seven), each
// pass with rows: the size of its rows, filter byte included, and how many
// there are. None when the IHDR allows no image.
struct RowPass {
  uint64_t size = 0;
  uint64_t rows = 0;
};
std::vector<RowPass> row_passes(const unsigned char* ihdr);

// The answers, in the order the page's kChecks (web/protocol.js) has them,
// and an answer's index among them.
constexpr const char* kCheckNames[] = {"ok",      "cut",  "crc",
                                       "inflate", "size", "junk"};
int check_code(const char* check);

class StructureCheck {
 public:
  StructureCheck();
  ~StructureCheck();
  StructureCheck(const StructureCheck&) = delete;
  StructureCheck& operator=(const StructureCheck&) = delete;

  // Starts on a new image.
  void start();
  // Takes the image's next bytes, in pieces of any size.
  void push(const unsigned char* data, size_t n);
  // The answer, once every byte is pushed, `cut` when the input ended
  // inside the image: "junk", "ok", "cut", "crc", "inflate" or "size".
  const char* end(bool cut) const;
  // Whether the image is whole but for the CRCs of ancillary chunks (a
  // type whose first letter is lower case), which browsers let be: they
  // show such an image, and the page need not decode it to know.
  bool sound(bool cut) const;

 private:
  void inflate_some(const unsigned char* data, size_t n);

  z_stream stream_{};
  std::vector<unsigned char> out_;  // inflated bytes, counted and dropped
  uint64_t skip_ = 0;               // of the signature, still to pass over
  ChunkWalk walk_;           // a chunk whose length wraps has no CRC, no data
  unsigned char crc_at_[4];  // the chunk's CRC field
  size_t crc_have_ = 0;
  uint32_t crc_ = 0;
  uint64_t chunks_ = 0;  // headers whole, the IHDR's first
  bool ihdr_crc_bad_ = false;
  bool crc_bad_ = false;
  bool critical_crc_bad_ = false;  // in a chunk whose type is upper case first
  bool critical_ = false;
  bool idat_ = false;
  unsigned char ihdr_[13] = {};
  size_t ihdr_have_ = 0;
  double expected_ = -2;  // raw_size, once the first IDAT data comes
  uint64_t inflated_ = 0;
  bool stream_ended_ = false;
  bool stream_failed_ = false;
  bool too_long_ = false;
};

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_CHECK_H_
