#include "mend.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "check.h"
#include "chunk_read.h"
#include "follow.h"
#include "inflater.h"
#include "join.h"
#include "png_extract.h"

namespace pngcarve {

namespace {

constexpr size_t kMaxChunks = 1 << 20;

// The bytes of an image rebuilt from `mended`'s pieces; none when the input
// can't be read.
std::string mended_bytes(Reader* in, const Mended& mended) {
  uint64_t total = 16 + sizeof kIendChunk;
  for (const Piece& p : mended.pieces) total += p.length;
  std::string bytes;
  if (total > bytes.max_size() || total > SIZE_MAX / 2) throw std::bad_alloc();
  bytes.reserve(static_cast<size_t>(total));
  bytes.assign(reinterpret_cast<const char*>(kSignature), 8);
  bytes.append(reinterpret_cast<const char*>(kIhdrHeader), 8);
  for (const Piece& p : mended.pieces) {
    const size_t from = bytes.size();
    bytes.resize(from + static_cast<size_t>(p.length));
    if (!in->read(p.offset, reinterpret_cast<unsigned char*>(&bytes[from]),
                  static_cast<size_t>(p.length)))
      return {};
  }
  if (!mended.own_iend)
    bytes.append(reinterpret_cast<const char*>(kIendChunk), sizeof kIendChunk);
  return bytes;
}

// Feeds `n` input bytes from `at` to `inflater`; false if they can't be
// read or be the image's.
bool feed_from(Reader* in, Inflater* inflater, uint64_t at, uint64_t n) {
  unsigned char buf[kReadBlock];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, sizeof buf));
    if (!in->read(at, buf, take) || !inflater->feed(buf, take)) return false;
    at += take;
    n -= take;
  }
  return true;
}

}  // namespace

uint64_t mend_budget(uint64_t input_size, size_t broken, uint64_t run_length) {
  const uint64_t share = (kBudgetFloor + kBudgetPerByte * input_size) /
                         std::max<size_t>(broken, 1);
  return share + kBudgetPerRunByte * run_length;
}

Mended mend(const ReadAt& read, const TagIndex& tags, uint64_t ihdr_tag,
            uint64_t budget) {
  Reader search(read, budget);
  Mended mended;
  auto stopped = [&](Reader* in) {
    mended = Mended();
    mended.stopped = in->stopped();
    mended.failed_at = in->failed_at();
    return mended;
  };
  // The IHDR chunk after its tag: data and CRC, where the carve found them.
  std::vector<Piece> pieces{{ihdr_tag + 4, kIhdrTail}};
  unsigned char ihdr[kIhdrDataSize];
  if (!ihdr_whole(&search, ihdr_tag, ihdr)) return stopped(&search);
  // Where the image data lies, as far as the pieces go: to inflate it, and
  // follow a chunk broken more than once, if one is.
  std::vector<Piece> data;
  uint64_t at = ihdr_tag + 4 + kIhdrTail;  // the next chunk
  for (size_t chunks = 0; chunks < kMaxChunks && search.going(); ++chunks) {
    std::optional<Chunk> c = header_at(&search, at);
    if (c && whole_at(&search, at, *c)) {
      if (c->is(kIdatTag)) data.push_back({at + kChunkHeaderSize, c->length});
      pieces.back().length += kChunkOverhead + c->length;
      at += kChunkOverhead + c->length;
      if (c->is(kIendTag)) {
        mended.own_iend = true;
        break;
      }
      continue;
    }
    if (pieces.size() == kMaxPieces || !search.going()) break;
    std::optional<Join> join;
    if (c) join = split_chunk(&search, tags, pieces, at, *c);
    if (join) {
      const uint64_t data_end = kChunkHeaderSize + c->length;
      const uint64_t rest = kChunkOverhead + c->length - join->split;
      if (c->is(kIdatTag)) {
        const uint64_t first = std::min(join->split, data_end);
        data.push_back({at + kChunkHeaderSize, first - kChunkHeaderSize});
        if (first < data_end) data.push_back({join->rest, data_end - first});
      }
      pieces.back().length += join->split;
      pieces.push_back({join->rest, rest, join->uncertain});
      at = join->rest + rest;
      continue;
    }
    // The image's data before this chunk, inflated, for the joins that
    // check what comes next by its rows.
    std::unique_ptr<Inflater> guide;
    auto guided = [&]() -> Inflater* {
      if (guide) return guide.get();
      guide = std::make_unique<Inflater>(ihdr);
      for (const Piece& d : data)
        if (!feed_from(&search, guide.get(), d.offset, d.length)) break;
      return guide.get();
    };
    if (c && c->is(kIdatTag) && search.going() && guided()->ok()) {
      std::vector<Piece> followed;
      std::optional<uint64_t> next;
      if (search.going())
        next =
            follow_chunk(&search, tags, ihdr_tag - 4 - 8, at, *c, pieces,
                         guide->clone(), kMaxPieces - pieces.size(), &followed);
      if (next) {
        uint64_t done = 0;  // of the chunk's bytes
        for (const Piece& p : followed) {
          const uint64_t from = std::max<uint64_t>(done, kChunkHeaderSize);
          const uint64_t to =
              std::min<uint64_t>(done + p.length, kChunkHeaderSize + c->length);
          if (from < to) data.push_back({p.offset + (from - done), to - from});
          done += p.length;
        }
        pieces.back().length += followed.front().length;
        pieces.insert(pieces.end(), followed.begin() + 1, followed.end());
        at = *next;
        continue;
      }
    }
    // A break inside the chunk's length: the chunk joined must go on with
    // the image's rows.
    auto rows_go_on = [&](const Chunk& chunk, uint64_t data_at) {
      if (!chunk.is(kIdatTag)) return true;
      Inflater* before = guided();
      if (!before->ok()) return false;
      std::unique_ptr<Inflater> trial = before->clone();
      return search.spend(kCloneCost) &&
             feed_from(&search, trial.get(), data_at, chunk.length);
    };
    Chunk split;
    if (std::optional<Join> header =
            split_header(&search, tags, pieces, at, rows_go_on, &split)) {
      const uint64_t rest = kChunkOverhead - header->split + split.length;
      if (split.is(kIdatTag))
        data.push_back(
            {header->rest + kChunkHeaderSize - header->split, split.length});
      pieces.back().length += header->split;
      pieces.push_back({header->rest, rest, header->uncertain});
      at = header->rest + rest;
      if (split.is(kIendTag)) {
        mended.own_iend = true;
        break;
      }
      continue;
    }
    std::optional<Join> next;
    if (at % kSector == 0 && search.going())
      next = chunk_at_boundary(&search, tags, pieces, at);
    if (!next) break;  // the image ends here, whole or not
    pieces.push_back({next->rest, 0, next->uncertain});
    at = next->rest;
  }
  if (!search.going()) return stopped(&search);
  if (pieces.back().length == 0) pieces.pop_back();
  if (pieces.size() < 2) return {};
  mended.pieces = pieces;
  // The final test: every chunk whole, and the data inflates to its size.
  // Its reads are the proof's, not the search's, so no budget holds them.
  Reader proof(read, UINT64_MAX);
  mended.bytes = mended_bytes(&proof, mended);
  if (!proof.going()) return stopped(&proof);
  StructureCheck check;
  check.start();
  check.push(reinterpret_cast<const unsigned char*>(mended.bytes.data()),
             mended.bytes.size());
  if (std::strcmp(check.end(false), "ok") != 0) return {};
  return mended;
}

}  // namespace pngcarve
