#include "join.h"

#include <zlib.h>

#include <algorithm>

#include "stream_copy.h"

namespace pngcarve {

namespace {

// Of two joins, the one whose second piece lies nearer after the first's
// end, or failing any after it, nearer before it.
bool nearer(uint64_t end, uint64_t a, uint64_t b) {
  if ((a >= end) != (b >= end)) return a >= end;
  return a >= end ? a < b : a > b;
}

// Whether the `n` input bytes at `a` are those at `b`.
bool same_bytes(Reader* in, uint64_t a, uint64_t b, uint64_t n) {
  unsigned char x[kSector], y[kSector];
  for (uint64_t done = 0; done < n;) {
    const size_t take = static_cast<size_t>(std::min(n - done, kSector));
    if (!in->read(a + done, x, take) || !in->read(b + done, y, take) ||
        std::memcmp(x, y, take) != 0)
      return false;
    done += take;
  }
  return true;
}

// Whether the `n` bytes that end `shift` bytes past the start of the chunk
// of one of the `tags` but the one that ends at `chosen`, outside
// `pieces`, are those that end at `chosen`.
bool held_elsewhere(Reader* in, const std::vector<uint64_t>& tags,
                    uint64_t shift, const std::vector<Piece>& pieces,
                    uint64_t chosen, uint64_t n) {
  for (uint64_t tag : tags) {
    const uint64_t end = tag - 4 + shift;
    if (end == chosen || end < n || overlaps(pieces, end - n, end)) continue;
    if (same_bytes(in, end - n, chosen - n, n)) return true;
  }
  return false;
}

}  // namespace

std::optional<Join> split_chunk(Reader* in, const TagIndex& tags,
                                const std::vector<Piece>& pieces, uint64_t at,
                                const Chunk& c) {
  const uint64_t size = kChunkOverhead + c.length;
  const uint64_t data_end = size - kCrcSize;  // where the CRC field starts
  // The splits: every sector boundary past the header, inside the chunk.
  std::vector<uint64_t> splits;
  for (uint64_t s = round_up_to_sector(at + kChunkHeaderSize) - at; s < size;
       s += kSector)
    splits.push_back(s);
  if (splits.empty()) return std::nullopt;
  // The CRC of the type and data up to each split, from one read.
  std::vector<uint32_t> prefix(splits.size());
  uint32_t crc = 0;
  uint64_t done = 4;
  for (size_t k = 0; k < splits.size(); ++k) {
    const uint64_t upto = std::min(splits[k], data_end);
    std::optional<uint32_t> more = crc_of(in, at + done, upto - done, crc);
    if (!more) {
      if (!in->going()) return std::nullopt;
      splits.resize(k);  // the input ends there
      break;
    }
    crc = *more;
    done = upto;
    prefix[k] = crc;
  }
  // The splits whose rest starts in the data, and those inside the CRC
  // field, where all the data lies in the first piece.
  const size_t in_data = static_cast<size_t>(
      std::upper_bound(splits.begin(), splits.end(), data_end) -
      splits.begin());
  std::optional<Join> best;
  uint64_t best_end = 0;
  const uint64_t residue = (at + size) % kSector;
  // For a split s whose rest lies at q, up to `end`: with R the rest's
  // data from the first split's q on, and W the CRC of R's bytes before q,
  // the chunk's CRC is shift(prefix ^ W, end - 4 - q) ^ crc(R), as
  // crc32_combine has it, so one read of R tries every split.
  const uLong step = crc32_combine_gen(kSector);
  std::vector<uint32_t> before(splits.size());
  // Every split tried with a tag lies as far from its rest as any other,
  // so the first tag that fits gives the nearest join.
  const std::vector<uint64_t> candidates =
      tags.near(residue, at + size, kCandidates);
  for (uint64_t tag : candidates) {
    if (best || !in->going()) break;
    const uint64_t end = tag - 4;    // where the chunk's rest ends
    if (end == at + size) continue;  // the chunk as it lies, already failed
    size_t first = 0;
    while (first < splits.size() && end + splits[first] < size) ++first;
    if (first == splits.size()) continue;
    auto rest_of = [&](size_t k) { return end - size + splits[k]; };
    auto usable = [&](size_t k) {
      const uint64_t rest = rest_of(k);
      return !overlaps(pieces, rest, end) &&
             !(rest < at + splits[k] && at < end);
    };
    auto take = [&](size_t k) {
      if (!best || nearer(at + splits[k], rest_of(k), best->rest)) {
        best = Join{splits[k], rest_of(k)};
        best_end = end;
      }
    };
    std::optional<uint32_t> crc = 0;
    uint64_t read_to = rest_of(first);
    for (size_t k = first; crc && k < in_data; ++k) {
      crc = crc_of(in, read_to, rest_of(k) - read_to, *crc);
      read_to = rest_of(k);
      if (crc) before[k] = *crc;
    }
    if (!crc) continue;
    unsigned char stored[kCrcSize];
    if (first < in_data) {
      crc = crc_of(in, read_to, end - kCrcSize - read_to, *crc);
      if (crc && in->read(end - kCrcSize, stored, kCrcSize) &&
          in->spend(kCombineCost * (in_data - first + 1))) {
        uLong shift = crc32_combine_gen(
            static_cast<z_off_t>(end - kCrcSize - rest_of(in_data - 1)));
        for (size_t k = in_data; k-- > first;) {
          const uint32_t whole = static_cast<uint32_t>(
              crc32_combine_op(prefix[k] ^ before[k], *crc, shift));
          shift = crc32_combine_op(shift, 0, step);
          if (whole == load_be32(stored) && usable(k)) take(k);
        }
      }
    }
    for (size_t k = std::max(first, in_data); k < splits.size(); ++k) {
      const size_t head = static_cast<size_t>(splits[k] - data_end);
      if (usable(k) && in->read(at + data_end, stored, head) &&
          in->read(rest_of(k), stored + head, kCrcSize - head) &&
          load_be32(stored) == prefix[k])
        take(k);
    }
  }
  if (!best || !in->going()) return std::nullopt;
  best->uncertain =
      held_elsewhere(in, candidates, 0, pieces, best_end, size - best->split);
  if (!in->going()) return std::nullopt;
  return best;
}

std::optional<Join> split_header(
    Reader* in, const TagIndex& tags, const std::vector<Piece>& pieces,
    uint64_t at, const std::function<bool(const Chunk&, uint64_t)>& fits,
    Chunk* c) {
  const uint64_t boundary = round_up_to_sector(at);
  const uint64_t split = boundary - at;
  if (split == 0 || split >= 4) return std::nullopt;
  unsigned char header[kChunkHeaderSize];
  if (!in->read(at, header, static_cast<size_t>(split))) return std::nullopt;
  // The chunk's tag lies 4 - split bytes into its rest, so its chunk would
  // begin `split` bytes before a sector boundary.
  const std::vector<uint64_t> candidates =
      tags.near(kSector - split, boundary, kCandidates);
  for (uint64_t tag : candidates) {
    const uint64_t rest = tag - 4 + split;
    if (!in->read(rest, header + split,
                  static_cast<size_t>(kChunkHeaderSize - split)))
      continue;
    Chunk chunk;
    chunk.length = load_be32(header);
    std::memcpy(chunk.type, header + 4, 4);
    const uint64_t n = kChunkOverhead - split + chunk.length;
    if (chunk.length > kMaxChunk || overlaps(pieces, rest, rest + n) ||
        !whole_at(in, tag - 4, chunk) || !fits(chunk, tag + 4))
      continue;
    Join join{split, rest, false};
    join.uncertain =
        held_elsewhere(in, candidates, split + n, pieces, rest + n, n);
    if (!in->going()) return std::nullopt;
    *c = chunk;
    return join;
  }
  return std::nullopt;
}

std::optional<Join> chunk_at_boundary(Reader* in, const TagIndex& tags,
                                      const std::vector<Piece>& pieces,
                                      uint64_t at) {
  const std::vector<uint64_t> candidates = tags.near(0, at, kCandidates);
  for (uint64_t tag : candidates) {
    const uint64_t start = tag - 4;
    std::optional<Chunk> c = header_at(in, start);
    if (!in->going()) return std::nullopt;
    if (!c || !c->is(kIdatTag)) continue;
    const uint64_t size = kChunkOverhead + c->length;
    if (overlaps(pieces, start, start + size) || !whole_at(in, start, *c))
      continue;
    // The others end where their chunk would, `size` bytes on.
    Join join{0, start, false};
    join.uncertain =
        held_elsewhere(in, candidates, size, pieces, start + size, size);
    if (!in->going()) return std::nullopt;
    return join;
  }
  return std::nullopt;
}

}  // namespace pngcarve
