#include "chunk_read.h"

#include <zlib.h>

#include <algorithm>

#include "chunk_walk.h"
#include "stream_copy.h"

namespace pngcarve {

std::optional<uint32_t> crc_of(Reader* in, uint64_t at, uint64_t n,
                               uint32_t crc) {
  unsigned char buf[kReadBlock];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, kReadBlock));
    if (!in->read(at, buf, take)) return std::nullopt;
    crc = static_cast<uint32_t>(crc32(crc, buf, static_cast<uInt>(take)));
    at += take;
    n -= take;
  }
  return crc;
}

std::optional<Chunk> header_at(Reader* in, uint64_t at) {
  unsigned char h[kChunkHeaderSize];
  if (!in->read(at, h, sizeof h)) return std::nullopt;
  // Taken as the carve's walk takes a header; a length short of
  // kMaxChunk never wraps, so the chunk is kChunkOverhead + length bytes.
  ChunkWalk walk;
  walk.start_chunks();
  walk.push(h, sizeof h);
  Chunk c;
  c.length = walk.length();
  std::memcpy(c.type, walk.header() + 4, 4);
  for (unsigned char b : c.type)
    if (!((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')))
      return std::nullopt;
  if (c.length > kMaxChunk) return std::nullopt;
  return c;
}

bool whole_at(Reader* in, uint64_t at, const Chunk& c) {
  unsigned char stored[kCrcSize];
  std::optional<uint32_t> crc = crc_of(in, at + 4, 4 + uint64_t{c.length});
  return crc && in->read(at + kChunkHeaderSize + c.length, stored, kCrcSize) &&
         load_be32(stored) == *crc;
}

bool ihdr_whole(Reader* in, uint64_t ihdr_tag, unsigned char* data) {
  Chunk ihdr;
  std::memcpy(ihdr.type, kIhdrHeader + 4, 4);
  ihdr.length = kIhdrDataSize;
  return whole_at(in, ihdr_tag - 4, ihdr) &&
         in->read(ihdr_tag + 4, data, kIhdrDataSize);
}

bool overlaps(const std::vector<Piece>& pieces, uint64_t from, uint64_t to) {
  for (const Piece& p : pieces)
    if (from < p.offset + p.length && p.offset < to) return true;
  return false;
}

}  // namespace pngcarve
