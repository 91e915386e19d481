// Carving PNG images out of one input file.
//
// An image is found by its "IHDR" chunk tag alone. Each image is written to
// "<path>.NNNN.png" beside the input: the PNG signature and IHDR header from
// constants, the 17 bytes after the tag (IHDR data and CRC), every chunk up
// to the end of the first run of IDAT chunks, and a standard IEND chunk when
// that run ends at a chunk of another type. When the input ends inside an
// image, the file keeps what it holds and gets no IEND chunk.
//
// Console text: "\rExtracting: <path> -> <n>" as each image begins, and one
// "\n" when an input that could be opened is finished, or instead
// "\n  Failed to read file !!\n" when reading it failed. On a terminal, the
// path's control characters show as '?', so a file's name can't send the
// terminal commands; to a file or pipe, it goes byte for byte.
#ifndef PNGCARVE_PNG_EXTRACT_H_
#define PNGCARVE_PNG_EXTRACT_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "stream_copy.h"

namespace pngcarve {

constexpr unsigned char kSignature[8] = {0x89, 'P',  'N',  'G',
                                         '\r', '\n', 0x1A, '\n'};
constexpr unsigned char kIhdrHeader[8] = {0, 0, 0, 13, 'I', 'H', 'D', 'R'};
constexpr unsigned char kIendChunk[12] = {0,   0,   0,    0,    'I',  'E',
                                          'N', 'D', 0xAE, 0x42, 0x60, 0x82};
constexpr unsigned char kIdatTag[4] = {'I', 'D', 'A', 'T'};
constexpr const unsigned char* kIendTag = kIendChunk + 4;
// A chunk: its length (4 bytes, big-endian) and type, its data, then the
// CRC-32 of its type and data.
constexpr uint32_t kChunkHeaderSize = 8;
constexpr uint32_t kCrcSize = 4;
constexpr uint32_t kIhdrDataSize = 13;
// IHDR data and its CRC, copied after the found tag.
constexpr uint32_t kIhdrTail = kIhdrDataSize + kCrcSize;

enum class ExtractResult {
  kOk,            // done; also when the input could not be opened
  kReadFailed,    // reading the input failed; it was carved up to the error
  kCreateFailed,  // an output file could not be created
  kWriteFailed,   // a write, flush or close of an output file failed
};

// Advances `in` to just after the next "IHDR" tag whose first byte lies
// before the offset `before`. Returns false at the end of the input, or
// when there is none before `before`.
bool search_ihdr(Input& in, uint64_t before = UINT64_MAX);

// Returns `path` as a terminal may be shown it, as `ls -q` shows names:
// each control character, C0 (0x00-0x1F), DEL (0x7F) and C1 as UTF-8
// encodes it (U+0080-U+009F, C2 80 to C2 9F), becomes one '?'. Anything
// else, invalid UTF-8 too, is kept.
std::string terminal_safe(const std::string& path);

// Returns "<path>.<n>.png" with n in decimal, zero-padded to four digits.
std::string output_name(const std::string& path, int64_t n);

// What a carve tells its caller of each image, in order: the one seam
// between the extractor and what is made of its images (pngcarve-report's
// record, the web page's catalog). Each call does nothing unless
// overridden.
class CarveSink {
 public:
  virtual ~CarveSink() = default;
  // As the image begins, before its output is created: the offset in the
  // input of the "IHDR" tag it was found by.
  virtual void start(uint64_t /*offset*/) {}
  // Each piece of the image's bytes, in order, as it goes to the output.
  virtual void bytes(const unsigned char* /*data*/, size_t /*n*/) {}
  // Once its output is written and closed, where the image lies in the
  // input: the output is the 16 constant bytes (signature and IHDR chunk
  // header), then `run_length` input bytes from just after the "IHDR" tag,
  // then kIendChunk when `iend` is set. `iend` is false when the input
  // ended inside the image. So an image is a place in its input, and can
  // be built again from it.
  virtual void end(uint64_t /*run_length*/, bool /*iend*/) {}
  // Whether the outputs are written: when not, no file is created, and the
  // images go only to bytes(), as they would have been written.
  virtual bool writes() const { return true; }
  // Whether input() is to be told every byte of the input, in order, as it
  // is read: for what looks at the whole input, images or not.
  virtual bool sees_input() const { return false; }
  virtual void input(const unsigned char* /*data*/, size_t /*n*/) {}
  // Whether an image's output is written, given the bytes after its tag:
  // its IHDR's 13 bytes and CRC, fewer when the input ends first. When not,
  // no file is made for it, and its bytes still go to bytes(). Asked only
  // when writes() is true.
  virtual bool keeps(const unsigned char* /*tail*/, size_t /*n*/) {
    return true;
  }
  // Whether the images that begin inside other images' runs are carved
  // too (src/nested.h), each written as the others are and told by the
  // slot it is carved in while it is open.
  virtual bool nests() const { return false; }
  virtual void nested_start(size_t /*slot*/, uint64_t /*offset*/,
                            const std::string& /*name*/,
                            const std::string& /*parent*/) {}
  virtual void nested_bytes(size_t /*slot*/, const unsigned char* /*data*/,
                            size_t /*n*/) {}
  virtual void nested_end(size_t /*slot*/, uint64_t /*run_length*/,
                          bool /*iend*/) {}
  // A tag inside `parent`'s run that begins no image: too many were open.
  virtual void not_carved(uint64_t /*offset*/, const std::string& /*parent*/) {}
  // The output that could not be created or written, as the carve stops.
  virtual void output_failed(const std::string& /*name*/) {}
  // Images begin only at tags whose first byte lies before this offset:
  // the carve of the input's first part, which reads on past it only as
  // far as the images begun in it need.
  virtual uint64_t begins_before() const { return UINT64_MAX; }
};

// A sink for every image alike, the extractor's and those carved inside
// other images' runs: each by the slot it is carved in while it is open,
// 0 for the extractor's and 1 + k for nested slot k, with its name (the
// extractor's numbered as its outputs are) and its parent's ("" for the
// extractor's). It counts the tags in each open image's run that began no
// image, for its end to read.
class SlotSink : public CarveSink {
 public:
  static constexpr size_t kSlots = 17;  // 1 + kMaxNested (src/nested.h)

  explicit SlotSink(const std::string& path) : path_(path) {}

  virtual void image_start(size_t slot, uint64_t offset,
                           const std::string& name,
                           const std::string& parent) = 0;
  virtual void image_bytes(size_t slot, const unsigned char* data,
                           size_t n) = 0;
  virtual void image_end(size_t slot, uint64_t run_length, bool iend) = 0;

  // Told of each tag, at `offset`, that began no image, as not_carved().
  virtual void tag_not_carved(uint64_t /*offset*/) {}

  // The tags inside the run of the image in `slot` that began no image.
  uint64_t not_carved_in(size_t slot) const { return not_carved_[slot]; }
  // All of them, in every image so far.
  uint64_t not_carved_count() const { return not_carved_all_; }

  void start(uint64_t offset) final;
  void bytes(const unsigned char* data, size_t n) final {
    image_bytes(0, data, n);
  }
  void end(uint64_t run_length, bool iend) final;
  bool nests() const final { return true; }
  void nested_start(size_t slot, uint64_t offset, const std::string& name,
                    const std::string& parent) final;
  void nested_bytes(size_t slot, const unsigned char* data, size_t n) final {
    image_bytes(slot + 1, data, n);
  }
  void nested_end(size_t slot, uint64_t run_length, bool iend) final;
  void not_carved(uint64_t offset, const std::string& parent) final;

 private:
  const std::string path_;
  int64_t count_ = 0;
  std::string names_[kSlots];  // of the open images; "" once ended
  uint64_t not_carved_[kSlots] = {};
  uint64_t not_carved_all_ = 0;
};

// Carves every image out of `in`, naming the outputs after `path`, and
// writes the console text to `console`; `sink`, when given, is told of each
// image. When `terminal` is set, the console is a terminal: it is flushed
// after each progress line so it shows as the image begins, and the path
// shows through terminal_safe(). On a create or write failure, prints its
// message, flushes the console and returns at once; the images already
// finished stay on disk. A read error ends the input as its end would (the
// image being written keeps what it holds, with no IEND chunk), and its
// message takes the place of the closing "\n". Does not close `in`.
ExtractResult png_extract_stream(std::FILE* in, const std::string& path,
                                 std::FILE* console, bool terminal,
                                 CarveSink* sink = nullptr);

// The same, for an input read through `read`.
ExtractResult png_extract_from(ReadSome read, const std::string& path,
                               std::FILE* console, bool terminal,
                               CarveSink* sink = nullptr);

// Opens `path` for binary reading and carves it with png_extract_stream,
// printing to standard output. An input that can't be opened, or that is a
// directory, is passed over in silence and returns kOk.
ExtractResult png_extract(const std::string& path);

}  // namespace pngcarve

#endif  // PNGCARVE_PNG_EXTRACT_H_
