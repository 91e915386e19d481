// One run of PNG chunks, walked as its bytes come: bytes in, in pieces of
// any size, and out what each byte is (a chunk's header, its data or its
// CRC) and where the run ends. The extractor, the nested carves, the
// structure check and mending all walk chunks with it, so the rules below
// are written once.
//
// A chunk is its 8-byte header (the length, big-endian, then the type),
// then `length` bytes of data and a 4-byte CRC. The bytes after a header
// are length + 4 modulo 2^32, as the carve has always counted them: a
// length of FF FF FF FC to FF FF FF FF leaves 0 to 3 bytes, taken as data,
// and no CRC.
//
// Walked as a run (start_run), the walk begins just after an "IHDR" tag,
// in the IHDR chunk's data, and ends at the header of the first chunk that
// is not IDAT after an IDAT: that header ends the run and is not part of
// it. Walked as chunks (start_chunks), it begins at a header and never
// ends.
//
//   walk.start_run();
//   while (n > 0 && !walk.ended()) {
//     const size_t took = walk.push(data, n);  // or pass(): bytes not seen
//     // walk.part(): what they were; walk.done(): whether it ended there
//     data += took;
//     n -= took;
//   }
#ifndef PNGCARVE_CHUNK_WALK_H_
#define PNGCARVE_CHUNK_WALK_H_

#include <cstddef>
#include <cstdint>

namespace pngcarve {

class ChunkWalk {
 public:
  enum class Part { kHeader, kData, kCrc };

  // Just after an "IHDR" tag: the IHDR chunk's 13 bytes of data and its
  // CRC come next.
  void start_run();
  // At a chunk's header.
  void start_chunks();

  // Takes bytes from the front of `data`, as many as `n` but no farther
  // than the end of the part being walked; none once the run has ended.
  // Returns how many it took.
  size_t push(const unsigned char* data, size_t n);
  // As push(), for up to `n` bytes of data or CRC that the caller moves
  // itself: it stops at the next header, whose bytes must be pushed.
  uint64_t pass(uint64_t n);

  // What the bytes last taken were, and whether that part ended with them.
  Part part() const { return part_; }
  bool done() const { return done_; }
  // Whether the run ended at the header last taken.
  bool ended() const { return ended_; }
  // Whether the walk is between chunks: no part of one taken.
  bool between() const { return at_ == Part::kHeader && have_ == 0; }

  // The chunk being walked: its header (the last one taken whole), its
  // length, whether its bytes after the header wrap (and so hold no CRC),
  // and the bytes still to come before the next header.
  const unsigned char* header() const { return header_; }
  uint32_t length() const { return length_; }
  bool wraps() const { return length_ > 0xFFFFFFFFu - 4; }
  bool is(const unsigned char* type) const;
  uint64_t to_header() const { return data_left_ + crc_left_; }

  // The bytes of the run so far, as the carve copies them: every byte
  // taken but the header that ended the run, and a header not yet whole.
  uint64_t run() const { return run_; }

 private:
  void begin_chunk();  // once a header is whole
  void settle();       // passes over parts that are empty

  Part at_ = Part::kHeader;  // the part the next byte is in
  Part part_ = Part::kHeader;
  bool done_ = false;
  bool ended_ = false;
  bool run_mode_ = false;
  bool idat_seen_ = false;
  unsigned char header_[8] = {};
  size_t have_ = 0;  // bytes of the header being taken
  uint32_t length_ = 0;
  uint64_t data_left_ = 0;
  uint64_t crc_left_ = 0;
  uint64_t run_ = 0;
};

}  // namespace pngcarve

#endif  // PNGCARVE_CHUNK_WALK_H_
