// The record of the images carved, as CSV or DFXML text, one image at a
// time, so that a record of any length is written in constant memory.
//
// CSV is the page's report format (doc/report.md). DFXML 2.0.0-beta.0 has each
// image as a `fileobject`: its output's name and size, one `byte_run` (the
// input bytes at `img_offset`, `len` long, are the output's from its offset
// 16), its SHA-256 and MD5, and in this tool's own namespace the input it came
// from, its IHDR tag's offset, how it ended, its structure check and the IHDR
// tags hidden in its run (how many, and where the first kHiddenListed lie). The
// inputs that failed are listed after the images.
#ifndef PNGCARVE_RECORD_RECORD_H_
#define PNGCARVE_RECORD_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pngcarve {

constexpr size_t kSha256Size = 32;
constexpr size_t kMd5Size = 16;
constexpr size_t kSha1Size = 20;  // only evidence that stores one has it
constexpr size_t kDigestsSize = kSha256Size + kMd5Size;

// Input bytes in image order: `length` bytes from `offset`.
struct Piece {
  uint64_t offset = 0;
  uint64_t length = 0;
  // Another place in the input holds the same bytes, so that this one may
  // not be where the image's lie.
  bool uncertain = false;
};

struct ImageRecord {
  std::string input;        // the input's path, as given
  std::string output;       // the output's name
  uint64_t offset = 0;      // of the IHDR tag in the input
  uint64_t run_length = 0;  // input bytes copied, from offset + 4 on
  uint64_t size = 0;        // of the output
  bool iend = false;        // ended at a chunk and got an IEND; else cut
  bool sized = false;       // long enough to hold a width and height
  uint32_t width = 0;
  uint32_t height = 0;
  // Its SHA-256, then its MD5, as bytes; the record writes them as hex,
  // or nothing for an image that was not hashed (junk not written).
  std::array<unsigned char, kDigestsSize> digests{};
  bool hashed = true;
  std::string check;  // "ok" or the first fault
  // The IHDR tags inside the run, after the one the image was found by:
  // how many, and the offsets of the first kHiddenListed.
  uint64_t hidden_count = 0;
  std::vector<uint64_t> hidden;
  // An image rebuilt from a carved one, `from`: mended, its bytes those of
  // `pieces` in order, from the output's offset 16 on (then kIendChunk,
  // when the pieces end without the input's IEND chunk); or salvaged,
  // `rows` of its `height` rows in data of its own, and no pieces.
  std::string from;
  std::vector<Piece> pieces;
  uint32_t rows = 0;
  // What cut a twin's search short ("not mended: search bound reached").
  std::string note;
  // The output of the image whose run held its tag, for an image carved
  // inside another's; else "".
  std::string parent;
  // Why no output was made for it: "junk", "small" or "copy"; else "".
  std::string not_written;
  // The IHDR tags inside its run that began no image of their own, because
  // too many were being carved at once.
  uint64_t not_carved = 0;
};

constexpr size_t kHiddenListed = 1000;

// What the record says of an input itself, once it is read: what it was
// read from, how many bytes, their hashes, and how those compare with the
// ones the evidence stores (an EWF image's).
struct SourceRecord {
  std::string input;                  // as given
  std::string container;              // "raw", "split raw" or "EWF"
  std::vector<std::string> segments;  // the files read, in order
  uint64_t bytes_read = 0;
  bool whole = false;       // read to its end
  std::string md5, sha256;  // lower-case hexadecimal, or "" when not made
  std::string stored_md5, stored_sha1;  // or "" when none is stored
  std::string sha1;                     // made only when one is stored
  // "verified: md5 sha1", "failed: md5", "not read to its end", or ""
  // when nothing is stored.
  std::string verification;
};

// Fills in `source`'s verification from its hashes.
void verify(SourceRecord* source);

// Where a record was made, for DFXML's `creator`: the command line is left
// out when there is none (the web page's).
struct Creator {
  std::string program;
  std::string version;
  std::string command_line;
  std::string start_time;  // ISO 8601, UTC
};

// Now, as Creator's start_time has it.
std::string utc_now();

// What the record says of an input that could not be read to its end.
constexpr char kReadFailedText[] =
    "could not be read to its end; the images before the error are recorded";
// What it says of an input whose IDAT and IEND tags were too many to keep
// (kMaxTags).
constexpr char kTagsOverflowedText[] =
    "holds more IDAT and IEND tags than mending keeps (4194304), so its "
    "broken images were mended without them: only chunks broken more than "
    "once were followed";

std::string csv_header();
std::string csv_row(const ImageRecord& image);

// The source's record: a row under csv_source_header(), for a side file
// beside the images, or an element for the DFXML's end (its hashes are
// known only once it is read, after every image).
std::string csv_source_header();
std::string csv_source_row(const SourceRecord& source);
std::string dfxml_source(const SourceRecord& source);

std::string dfxml_begin(const Creator& creator,
                        const std::vector<std::string>& inputs);
std::string dfxml_fileobject(const ImageRecord& image);
// `failures` are (input, what went wrong) pairs, `notes` (input, what was
// left undone) pairs.
std::string dfxml_end(
    const std::vector<std::pair<std::string, std::string>>& failures,
    const std::vector<std::pair<std::string, std::string>>& notes = {});

// `n` bytes as lower-case hexadecimal.
std::string hex(const unsigned char* bytes, size_t n);

// `text` fit for XML: &, <, > and " escaped, and what XML 1.0 can't hold
// (control characters but tab, LF and CR, and bytes that are not UTF-8)
// as U+FFFD.
std::string xml_text(const std::string& text);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_RECORD_H_
