// PNG chunks read from the input at any offset, for mending: a header that
// can be one, a chunk whole with its CRC right, and CRCs of input bytes.
// All reads go through a Reader, so all are checked and counted.
#ifndef PNGCARVE_RECORD_CHUNK_READ_H_
#define PNGCARVE_RECORD_CHUNK_READ_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "png_extract.h"
#include "reader.h"
#include "record.h"

namespace pngcarve {

// A file system stores a file in clusters of whole sectors.
constexpr uint64_t kSector = 512;
constexpr uint64_t kChunkOverhead = kChunkHeaderSize + kCrcSize;
// A length past this is taken for bytes that are no chunk's: a real chunk
// this long can't be mended, and a false one costs no long read.
constexpr uint32_t kMaxChunk = 1u << 26;
// The size of the reads that go through a chunk's bytes.
constexpr size_t kReadBlock = 1 << 16;
// What one CRC combine (crc32_combine and its kin) costs, in bytes' worth
// of a Reader's budget.
constexpr uint64_t kCombineCost = 64;

struct Chunk {
  uint32_t length = 0;
  unsigned char type[4] = {};
  bool is(const unsigned char* tag) const {
    return std::memcmp(type, tag, 4) == 0;
  }
};

inline uint64_t round_up_to_sector(uint64_t n) {
  return (n + kSector - 1) / kSector * kSector;
}

// The CRC-32 of `n` input bytes from `at`, continuing `crc`; nothing when
// the input ends first or the reader stops.
std::optional<uint32_t> crc_of(Reader* in, uint64_t at, uint64_t n,
                               uint32_t crc = 0);

// The chunk header at `at`, if it can be one: four ASCII letters, and a
// length short of kMaxChunk.
std::optional<Chunk> header_at(Reader* in, uint64_t at);

// Whether the chunk at `at`, of header `c`, is in the input whole with its
// CRC right.
bool whole_at(Reader* in, uint64_t at, const Chunk& c);

// Whether the IHDR chunk of the image found by the tag at `ihdr_tag` is
// whole (the tag, then its 13 bytes of data and their CRC), with its data
// read into `data`.
bool ihdr_whole(Reader* in, uint64_t ihdr_tag, unsigned char* data);

// Whether [from, to) overlaps any of `pieces`.
bool overlaps(const std::vector<Piece>& pieces, uint64_t from, uint64_t to);

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_CHUNK_READ_H_
