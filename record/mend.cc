#include "mend.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>

#include "check.h"
#include "png_extract.h"
#include "stream_copy.h"
#include "tag_search.h"

namespace pngcarve {

namespace {

constexpr uint64_t kHeaderSize = 8;  // a chunk's length and type
constexpr uint64_t kCrcSize = 4;
constexpr uint64_t kOverhead = kHeaderSize + kCrcSize;
constexpr uint64_t kIhdrDataSize = 13;
// A length past this is taken for bytes that are no chunk's: a real chunk
// this long can't be mended, and a false one costs no long read.
constexpr uint32_t kMaxChunk = 1u << 26;
constexpr size_t kMaxChunks = 1 << 20;
constexpr size_t kBlock = 1 << 16;
constexpr const unsigned char* kIendTag = kIendChunk + 4;
constexpr int kFilterTypes = 5;       // None, Sub, Up, Average, Paeth
constexpr size_t kStoredMax = 65535;  // bytes in a stored deflate block

void store_be32(unsigned char* p, uint32_t v) {
  for (int k = 3; k >= 0; --k, v >>= 8) p[k] = static_cast<unsigned char>(v);
}

uint64_t round_up(uint64_t n) { return (n + kSector - 1) / kSector * kSector; }

bool read_all(const ReadAt& read, uint64_t at, unsigned char* out, size_t n) {
  return read(at, out, n) == n;
}

// The CRC-32 of `n` input bytes from `at`, continuing `crc`; nothing when
// the input ends first.
std::optional<uint32_t> crc_of(const ReadAt& read, uint64_t at, uint64_t n,
                               uint32_t crc = 0) {
  unsigned char buf[kBlock];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, kBlock));
    if (!read_all(read, at, buf, take)) return std::nullopt;
    crc = static_cast<uint32_t>(crc32(crc, buf, static_cast<uInt>(take)));
    at += take;
    n -= take;
  }
  return crc;
}

struct Chunk {
  uint32_t length = 0;
  unsigned char type[4] = {};
  bool is(const unsigned char* tag) const {
    return std::memcmp(type, tag, 4) == 0;
  }
};

// The chunk header at `at`, if it can be one: four ASCII letters, and a
// length short of kMaxChunk.
std::optional<Chunk> header_at(const ReadAt& read, uint64_t at) {
  unsigned char h[kHeaderSize];
  if (!read_all(read, at, h, sizeof h)) return std::nullopt;
  Chunk c;
  c.length = load_be32(h);
  std::memcpy(c.type, h + 4, 4);
  for (unsigned char b : c.type)
    if (!((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')))
      return std::nullopt;
  if (c.length > kMaxChunk) return std::nullopt;
  return c;
}

// Whether the chunk at `at`, of header `c`, is in the input whole with its
// CRC right.
bool whole_at(const ReadAt& read, uint64_t at, const Chunk& c) {
  unsigned char stored[kCrcSize];
  std::optional<uint32_t> crc = crc_of(read, at + 4, 4 + uint64_t{c.length});
  return crc && read_all(read, at + kHeaderSize + c.length, stored, kCrcSize) &&
         load_be32(stored) == *crc;
}

// Whether the IHDR chunk of the image found by the tag at `ihdr_tag` is
// whole: the tag, then its 13 bytes of data and their CRC.
bool ihdr_whole(const ReadAt& read, uint64_t ihdr_tag) {
  Chunk ihdr;
  std::memcpy(ihdr.type, kIhdrHeader + 4, 4);
  ihdr.length = kIhdrDataSize;
  return whole_at(read, ihdr_tag - 4, ihdr);
}

// The bytes of an image rebuilt from `mended`'s pieces; none when the input
// can't be read.
std::string mended_bytes(const ReadAt& read, const Mended& mended) {
  std::string bytes(reinterpret_cast<const char*>(kSignature), 8);
  bytes.append(reinterpret_cast<const char*>(kIhdrHeader), 8);
  for (const Piece& p : mended.pieces) {
    const size_t from = bytes.size();
    bytes.resize(from + p.length);
    if (!read_all(read, p.offset,
                  reinterpret_cast<unsigned char*>(&bytes[from]), p.length))
      return {};
  }
  if (!mended.own_iend)
    bytes.append(reinterpret_cast<const char*>(kIendChunk), sizeof kIendChunk);
  return bytes;
}

bool overlaps(const std::vector<Piece>& pieces, uint64_t from, uint64_t to) {
  for (const Piece& p : pieces)
    if (from < p.offset + p.length && p.offset < to) return true;
  return false;
}

// Of two joins, the one whose second piece lies nearer after the first's
// end, or failing any after it, nearer before it.
bool nearer(uint64_t end, uint64_t a, uint64_t b) {
  if ((a >= end) != (b >= end)) return a >= end;
  return a >= end ? a < b : a > b;
}

// The tags of `residue` modulo kSector, in the order their chunks are to be
// tried as what follows the break at `end`: those after it, nearest first,
// then those before it, nearest first. The first that fits is taken.
std::vector<uint64_t> by_nearness(const std::vector<uint64_t>& tags,
                                  uint64_t residue, uint64_t end) {
  std::vector<uint64_t> order;
  for (uint64_t tag : tags)
    if (tag >= 4 && (tag - 4) % kSector == residue) order.push_back(tag);
  const auto after = std::lower_bound(order.begin(), order.end(), end + 4);
  std::reverse(order.begin(), after);
  std::rotate(order.begin(), after, order.end());
  return order;
}

struct Join {
  uint64_t split = 0;  // the chunk's bytes in its first piece
  uint64_t rest = 0;   // where the rest lies
};

// The chunk at `at` of header `c` whose CRC fails, as two pieces: its first
// `split` bytes where they are, up to a sector boundary, and the rest at
// another sector boundary, just before an IDAT or IEND tag's chunk.
std::optional<Join> split_chunk(const ReadAt& read,
                                const std::vector<uint64_t>& tags,
                                const std::vector<Piece>& pieces, uint64_t at,
                                const Chunk& c) {
  const uint64_t size = kOverhead + c.length;
  const uint64_t data_end = size - kCrcSize;  // where the CRC field starts
  // The splits: every sector boundary past the header, inside the chunk.
  std::vector<uint64_t> splits;
  for (uint64_t s = round_up(at + kHeaderSize) - at; s < size; s += kSector)
    splits.push_back(s);
  if (splits.empty()) return std::nullopt;
  // The CRC of the type and data up to each split, from one read.
  std::vector<uint32_t> prefix(splits.size());
  uint32_t crc = 0;
  uint64_t done = 4;
  for (size_t k = 0; k < splits.size(); ++k) {
    const uint64_t upto = std::min(splits[k], data_end);
    std::optional<uint32_t> more = crc_of(read, at + done, upto - done, crc);
    if (!more) {
      splits.resize(k);
      break;
    }
    crc = *more;
    done = upto;
    prefix[k] = crc;
  }
  std::optional<Join> best;
  const uint64_t residue = (at + size) % kSector;
  // For a split s whose rest lies at q, up to `end`: with R the rest's
  // data from the first split's q on, and W the CRC of R's bytes before q,
  // the chunk's CRC is shift(prefix ^ W, end - 4 - q) ^ crc(R), as
  // crc32_combine has it, so one read of R tries every split.
  const uLong step = crc32_combine_gen(kSector);
  std::vector<uint32_t> before(splits.size());
  // Every split tried with a tag lies as far from its rest as any other,
  // so the first tag that fits gives the nearest join.
  for (uint64_t tag : by_nearness(tags, residue, at + size)) {
    if (best) break;
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
    std::optional<uint32_t> crc = 0;
    uint64_t read_to = rest_of(first);
    size_t inside = first;  // the splits whose rest starts in the data
    for (; crc && inside < splits.size() && splits[inside] <= data_end;
         ++inside) {
      crc = crc_of(read, read_to, rest_of(inside) - read_to, *crc);
      read_to = rest_of(inside);
      if (crc) before[inside] = *crc;
    }
    unsigned char stored[kCrcSize];
    if (crc && inside > first) {
      crc = crc_of(read, read_to, end - kCrcSize - read_to, *crc);
      if (crc && read_all(read, end - kCrcSize, stored, kCrcSize)) {
        uLong shift = crc32_combine_gen(
            static_cast<z_off_t>(end - kCrcSize - rest_of(inside - 1)));
        for (size_t k = inside; k-- > first;) {
          const uint32_t whole = static_cast<uint32_t>(
              crc32_combine_op(prefix[k] ^ before[k], *crc, shift));
          shift = crc32_combine_op(shift, 0, step);
          if (whole != load_be32(stored) || !usable(k)) continue;
          if (!best || nearer(at + splits[k], rest_of(k), best->rest))
            best = Join{splits[k], rest_of(k)};
        }
      }
    }
    // A split inside the CRC field: all the data lies in the first piece.
    for (size_t k = std::max(first, inside); k < splits.size(); ++k) {
      const size_t head = static_cast<size_t>(splits[k] - data_end);
      if (!usable(k) || !read_all(read, at + data_end, stored, head) ||
          !read_all(read, rest_of(k), stored + head, kCrcSize - head) ||
          load_be32(stored) != prefix[k])
        continue;
      if (!best || nearer(at + splits[k], rest_of(k), best->rest))
        best = Join{splits[k], rest_of(k)};
    }
  }
  return best;
}

// A whole IDAT or IEND chunk that starts at a sector boundary, for an image
// whose next chunk should have started at one: the nearest.
std::optional<uint64_t> chunk_at_boundary(const ReadAt& read,
                                          const std::vector<uint64_t>& tags,
                                          const std::vector<Piece>& pieces,
                                          uint64_t at) {
  for (uint64_t tag : by_nearness(tags, 0, at)) {
    const uint64_t start = tag - 4;
    std::optional<Chunk> c = header_at(read, start);
    if (c && !overlaps(pieces, start, start + kOverhead + c->length) &&
        whole_at(read, start, *c))
      return start;
  }
  return std::nullopt;
}

// Image data inflated as it comes, each row's filter type checked: feed()
// is false from the first bytes that can't be the image's (an inflate
// error, a filter type past Paeth, data past the last row), and stays so.
// With `keep`, what it inflates is appended there, as far as it goes.
// clone() copies the whole state but `keep`, so that one stream can be
// tried on several continuations.
class Inflater {
 public:
  explicit Inflater(const unsigned char* ihdr_data,
                    std::vector<unsigned char>* keep = nullptr)
      : passes_(row_passes(ihdr_data)), keep_(keep) {
    live_ = !passes_.empty() && inflateInit(&z_) == Z_OK;
    ok_ = live_;
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (live_) inflateEnd(&z_);
  }

  std::unique_ptr<Inflater> clone() const {
    auto copy = std::unique_ptr<Inflater>(new Inflater(passes_));
    copy->live_ =
        ok_ && inflateCopy(&copy->z_, const_cast<z_stream*>(&z_)) == Z_OK;
    copy->ok_ = copy->live_;
    copy->ended_ = ended_;
    copy->pass_ = pass_;
    copy->row_ = row_;
    copy->next_ = next_;
    copy->raw_ = raw_;
    copy->rows_ = rows_;
    return copy;
  }

  bool ok() const { return ok_; }
  bool ended() const { return ended_; }    // the stream, its Adler-32 right
  uint64_t rows() const { return rows_; }  // row starts found valid
  uint64_t raw() const { return raw_; }    // bytes inflated

  bool feed(const unsigned char* p, size_t n) {
    unsigned char out[kBlock];
    z_.next_in = const_cast<unsigned char*>(p);
    z_.avail_in = static_cast<uInt>(n);
    // Bytes after the stream's end go unchecked; the final test sees them.
    while (ok_ && !ended_ && z_.avail_in > 0) {
      z_.next_out = out;
      z_.avail_out = sizeof out;
      const int status = inflate(&z_, Z_NO_FLUSH);
      const uint64_t got = sizeof out - z_.avail_out;
      bool valid = true;
      for (; pass_ < passes_.size() && next_ < raw_ + got; ++rows_) {
        if (out[next_ - raw_] >= kFilterTypes) {
          valid = false;
          break;
        }
        next_ += passes_[pass_].size;
        if (++row_ == passes_[pass_].rows) {
          ++pass_;
          row_ = 0;
        }
      }
      if (keep_) keep_->insert(keep_->end(), out, out + got);
      raw_ += got;
      if (!valid || raw_ > next_ || (status != Z_OK && status != Z_STREAM_END))
        return ok_ = false;
      ended_ = status == Z_STREAM_END;
    }
    return ok_;
  }

 private:
  explicit Inflater(const std::vector<RowPass>& passes) : passes_(passes) {}

  const std::vector<RowPass> passes_;
  std::vector<unsigned char>* const keep_ = nullptr;
  z_stream z_{};
  bool live_ = false, ok_ = false, ended_ = false;
  size_t pass_ = 0;    // the row to check next: its pass,
  uint64_t row_ = 0;   // its row in the pass,
  uint64_t next_ = 0;  // and its offset in the inflated data
  uint64_t raw_ = 0;   // bytes inflated
  uint64_t rows_ = 0;
};

// Feeds `n` input bytes from `at` to `inflater`; false if they can't be
// read or be the image's.
bool feed_from(const ReadAt& read, Inflater* inflater, uint64_t at,
               uint64_t n) {
  unsigned char buf[kBlock];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, kBlock));
    if (!read_all(read, at, buf, take) || !inflater->feed(buf, take))
      return false;
    at += take;
    n -= take;
  }
  return true;
}

// The limits of following a chunk broken more than once: the sector
// boundaries tried as its breaks, those from the row before the last that
// inflated valid before its bytes stopped being the image's, the last
// kBreaksKept at most; the clusters each side of a break where the next
// piece may begin; the rows a piece must give to be followed; the
// continuations tried for one break (and kMaxPieces times as many for one
// chunk).
constexpr uint64_t kRowsBack = 2;
constexpr size_t kBreaksKept = 32;
constexpr uint64_t kGapClusters = 1024;
constexpr uint64_t kMaxCluster = 4096;
constexpr uint64_t kRowsToTrust = 4;
constexpr size_t kTrials = 1 << 11;

// An IDAT chunk whose CRC fails, broken more than once, followed from its
// header by its image data: where the data stops inflating into valid rows,
// the break is at one of the sector boundaries just before, and the data
// goes on at the start of a cluster (a power of two of sectors that divides
// the piece's distance from the image's start, up to kMaxCluster) nearby,
// where it inflates into valid rows again; each such piece followed in
// turn, nearest first, up to the chunk's CRC, which must match.
class Follow {
 public:
  Follow(const ReadAt& read, uint64_t image_start, uint64_t at, const Chunk& c,
         const std::vector<Piece>& before)
      : read_(read),
        start_(image_start),
        at_(at),
        data_end_(kHeaderSize + c.length),
        before_(before) {}

  // The chunk's pieces from its header on, and where the next chunk
  // begins; nothing when no pieces make it whole within `pieces_left`.
  // `inflater` is at the chunk's data.
  std::optional<uint64_t> run(std::unique_ptr<Inflater> inflater,
                              size_t pieces_left, std::vector<Piece>* pieces) {
    left_ = pieces_left;
    pieces_ = pieces;
    unsigned char type[4];
    if (!read_all(read_, at_ + 4, type, 4)) return std::nullopt;
    return follow(std::move(inflater), at_, at_ + kHeaderSize, kHeaderSize,
                  static_cast<uint32_t>(crc32(0, type, 4)));
  }

 private:
  struct Place {
    std::unique_ptr<Inflater> inflater;
    uint64_t at;    // in the input
    uint64_t done;  // of the chunk's bytes
    uint32_t crc;   // of its type and data so far
    uint64_t rows;  // checked valid so far
  };

  // Feeds the chunk's bytes from `p->at` on, a sector at a time, until its
  // data ends, its bytes stop being the image's, or (with `rows`) the
  // inflater has checked that many rows more; each sector boundary passed
  // after `piece` is told to `boundary`. False if the bytes stopped.
  bool go(Place* p, uint64_t piece, uint64_t rows,
          std::deque<Place>* boundaries) {
    const uint64_t until = p->inflater->rows() + rows;
    unsigned char buf[kSector];
    while (p->done < data_end_ && (rows == 0 || p->inflater->rows() < until)) {
      if (boundaries && p->at % kSector == 0 && p->at > piece) {
        boundaries->push_back({p->inflater->clone(), p->at, p->done, p->crc,
                               p->inflater->rows()});
        if (boundaries->size() > kBreaksKept) boundaries->pop_front();
      }
      const size_t n = static_cast<size_t>(
          std::min(kSector - p->at % kSector, data_end_ - p->done));
      if (!read_all(read_, p->at, buf, n)) return false;
      p->crc = static_cast<uint32_t>(crc32(p->crc, buf, static_cast<uInt>(n)));
      p->at += n;
      p->done += n;
      if (!p->inflater->feed(buf, n)) return false;
    }
    return true;
  }

  bool claimed(uint64_t from, uint64_t to) const {
    return overlaps(before_, from, to) || overlaps(*pieces_, from, to);
  }

  std::optional<uint64_t> follow(std::unique_ptr<Inflater> inflater,
                                 uint64_t piece, uint64_t at, uint64_t done,
                                 uint32_t crc) {
    Place here{std::move(inflater), at, done, crc, 0};
    std::deque<Place> boundaries;
    if (go(&here, piece, 0, &boundaries)) {
      unsigned char stored[kCrcSize];
      if (read_all(read_, here.at, stored, kCrcSize) &&
          load_be32(stored) == here.crc &&
          !claimed(piece, here.at + kCrcSize)) {
        pieces_->push_back({piece, here.at + kCrcSize - piece});
        return here.at + kCrcSize;
      }
    }
    if (left_ == 0) return std::nullopt;
    // The breaks to try: the boundaries since the row before the last
    // valid one, those at the start of a larger cluster first (a file
    // system's clusters are all of one size), the latest first.
    const uint64_t rows = here.inflater->rows();
    size_t trials = 0;
    auto cluster_at = [this](uint64_t at) {
      uint64_t cluster = kSector;
      while (cluster < kMaxCluster && (at - start_) % (2 * cluster) == 0)
        cluster *= 2;
      return cluster;
    };
    std::vector<Place*> breaks;
    for (auto b = boundaries.rbegin();
         b != boundaries.rend() && b->rows + kRowsBack >= rows; ++b)
      breaks.push_back(&*b);
    std::stable_sort(breaks.begin(), breaks.end(), [&](Place* a, Place* b) {
      return cluster_at(a->at) > cluster_at(b->at);
    });
    for (Place* b : breaks) {
      const uint64_t cluster = cluster_at(b->at);
      if (claimed(piece, b->at)) continue;
      pieces_->push_back({piece, b->at - piece});
      --left_;
      for (uint64_t k = 1; k <= 2 * kGapClusters && trials < kTrials &&
                           all_trials_ < kTrials * kMaxPieces;
           ++k) {
        // After the break, then before it, nearest first.
        const uint64_t step = (k + 1) / 2 * cluster;
        if (k % 2 == 0 && b->at < step) continue;
        const uint64_t q = k % 2 ? b->at + step : b->at - step;
        if (claimed(q, q + kSector)) continue;
        ++trials;
        ++all_trials_;
        Place trial{b->inflater->clone(), q, b->done, b->crc, b->rows};
        if (!go(&trial, q, kRowsToTrust, nullptr)) continue;
        std::optional<uint64_t> end = follow(std::move(trial.inflater), q,
                                             trial.at, trial.done, trial.crc);
        if (end) return end;
      }
      ++left_;
      pieces_->pop_back();
    }
    return std::nullopt;
  }

  const ReadAt& read_;
  const uint64_t start_;
  const uint64_t at_;
  const uint64_t data_end_;  // of the chunk's bytes, where its CRC begins
  const std::vector<Piece>& before_;
  size_t left_ = 0;
  std::vector<Piece>* pieces_ = nullptr;
  size_t all_trials_ = 0;  // for the chunk
};

}  // namespace

void TagIndex::push(const unsigned char* data, size_t n) {
  if (overflowed_) return;
  auto note = [this](uint64_t at) {
    if (tags_.size() == kMaxTags) {
      overflowed_ = true;
      std::vector<uint64_t>().swap(tags_);
    } else {
      tags_.push_back(at);
    }
  };
  auto is_tag = [](const unsigned char* p) {
    return std::memcmp(p, kIdatTag, 4) == 0 || std::memcmp(p, kIendTag, 4) == 0;
  };
  // Tags begun in the bytes before these.
  unsigned char joined[6];
  const size_t head = std::min<size_t>(n, 3);
  std::memcpy(joined, last_, 3);
  std::memcpy(joined + 3, data, head);
  for (size_t k = 0; k < 3 && k + 4 <= 3 + head; ++k)
    if (is_tag(joined + k) && offset_ >= 3 - k) note(offset_ - 3 + k);
  // Then those wholly in these bytes.
  for (const unsigned char* p = data;
       (p = find_tag(p, data + n, kIdatTag, kIendTag)) != data + n; ++p) {
    note(offset_ + static_cast<uint64_t>(p - data));
    if (overflowed_) return;
  }
  std::memcpy(last_, n >= 3 ? data + n - 3 : joined + head, 3);
  offset_ += n;
}

void TagIndex::claim(uint64_t ihdr_tag, uint64_t run_length) {
  const auto first = std::lower_bound(tags_.begin(), tags_.end(), ihdr_tag);
  tags_.erase(first,
              std::lower_bound(first, tags_.end(), ihdr_tag + 4 + run_length));
}

Mended mend(const ReadAt& read, const std::vector<uint64_t>& tags,
            uint64_t ihdr_tag) {
  // The IHDR chunk after its tag: data and CRC, where the carve found them.
  std::vector<Piece> pieces{{ihdr_tag + 4, kIhdrDataSize + kCrcSize}};
  unsigned char ihdr[kIhdrDataSize];
  if (!ihdr_whole(read, ihdr_tag) ||
      !read_all(read, ihdr_tag + 4, ihdr, sizeof ihdr))
    return {};
  // Where the image data lies, as far as the pieces go: to inflate it, and
  // follow a chunk broken more than once, if one is.
  std::vector<Piece> data;
  Mended mended;
  uint64_t at = ihdr_tag + 4 + kIhdrDataSize + kCrcSize;  // the next chunk
  for (size_t chunks = 0; chunks < kMaxChunks; ++chunks) {
    std::optional<Chunk> c = header_at(read, at);
    if (c && whole_at(read, at, *c)) {
      if (c->is(kIdatTag)) data.push_back({at + kHeaderSize, c->length});
      pieces.back().length += kOverhead + c->length;
      at += kOverhead + c->length;
      if (c->is(kIendTag)) {
        mended.own_iend = true;
        break;
      }
      continue;
    }
    if (pieces.size() == kMaxPieces) break;
    std::optional<Join> join;
    if (c) join = split_chunk(read, tags, pieces, at, *c);
    if (join) {
      const uint64_t data_end = kHeaderSize + c->length;
      const uint64_t rest = kOverhead + c->length - join->split;
      if (c->is(kIdatTag)) {
        const uint64_t first = std::min(join->split, data_end);
        data.push_back({at + kHeaderSize, first - kHeaderSize});
        if (first < data_end) data.push_back({join->rest, data_end - first});
      }
      pieces.back().length += join->split;
      pieces.push_back({join->rest, rest});
      at = join->rest + rest;
      continue;
    }
    if (c && c->is(kIdatTag)) {
      auto guide = std::make_unique<Inflater>(ihdr);
      for (const Piece& d : data)
        feed_from(read, guide.get(), d.offset, d.length);
      std::vector<Piece> followed;
      Follow chunk(read, ihdr_tag - 4 - 8, at, *c, pieces);
      std::optional<uint64_t> next;
      if (guide->ok())
        next =
            chunk.run(std::move(guide), kMaxPieces - pieces.size(), &followed);
      if (next) {
        uint64_t done = 0;  // of the chunk's bytes
        for (const Piece& p : followed) {
          const uint64_t from = std::max(done, kHeaderSize);
          const uint64_t to =
              std::min(done + p.length, kHeaderSize + c->length);
          if (from < to) data.push_back({p.offset + (from - done), to - from});
          done += p.length;
        }
        pieces.back().length += followed.front().length;
        pieces.insert(pieces.end(), followed.begin() + 1, followed.end());
        at = *next;
        continue;
      }
    }
    std::optional<uint64_t> next;
    if (at % kSector == 0) next = chunk_at_boundary(read, tags, pieces, at);
    if (!next) break;  // the image ends here, whole or not
    pieces.push_back({*next, 0});
    at = *next;
  }
  if (pieces.back().length == 0) pieces.pop_back();
  if (pieces.size() < 2) return {};
  mended.pieces = pieces;
  // The final test: every chunk whole, and the data inflates to its size.
  StructureCheck check;
  check.start();
  mended.bytes = mended_bytes(read, mended);
  check.push(reinterpret_cast<const unsigned char*>(mended.bytes.data()),
             mended.bytes.size());
  if (std::strcmp(check.end(false), "ok") != 0) return {};
  return mended;
}

Salvaged salvage(const ReadAt& read, uint64_t ihdr_tag) {
  Salvaged salvaged;
  unsigned char data[kIhdrDataSize];
  if (!ihdr_whole(read, ihdr_tag) ||
      !read_all(read, ihdr_tag + 4, data, sizeof data))
    return salvaged;
  const double raw = raw_size(data);
  const uint32_t height = load_be32(data + 4);
  // Interlaced rows come in seven passes; an image past 256 MiB of rows is
  // not held to be cut.
  if (raw <= 0 || data[12] != 0 || raw > double{1 << 28}) return salvaged;
  const size_t row = static_cast<size_t>(raw) / height;  // filter byte too
  salvaged.height = height;

  // The chunks before the first IDAT go as they are (a palette among them).
  std::string before;
  std::vector<unsigned char> rows;  // inflated, as far as they go
  rows.reserve(static_cast<size_t>(raw));
  Inflater inflater(data, &rows);
  // Rows inflated whole, with a valid filter type.
  auto whole = [&] {
    return static_cast<size_t>(std::min(inflater.rows(), inflater.raw() / row));
  };
  bool ended = false;  // the stream, its Adler-32 right, or the input
  auto inflate_from = [&](uint64_t at, uint64_t n) {
    unsigned char buf[kBlock];
    while (n > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(n, kBlock));
      const size_t take = read(at, buf, want);  // short where the input ends
      if (take < want) ended = true;
      if (take == 0) return false;
      const bool going = inflater.feed(buf, take);
      ended = ended || inflater.ended();
      if (!going || inflater.ended()) return false;
      at += take;
      n -= take;
    }
    return true;
  };
  std::optional<size_t> kept;  // rows, once the broken chunk decides them
  uint64_t at = ihdr_tag + 4 + kIhdrDataSize + kCrcSize;
  bool idat = false;
  for (size_t chunks = 0; chunks < kMaxChunks; ++chunks) {
    std::optional<Chunk> c = header_at(read, at);
    if (!c) break;
    const bool is_idat = c->is(kIdatTag);
    if (!whole_at(read, at, *c)) {
      // The broken chunk, a sector at a time, noting where each row's bytes
      // came out. Unless the stream ends, its Adler-32 right, or the input
      // does, the break lies in the chunk, and maybe before the last valid
      // row (another file's bytes pass a row's filter type check 5 times
      // in 256): in the sector that row began in, or before. Only the rows
      // that came out before that sector are kept.
      const size_t sure = whole();
      std::vector<std::pair<uint64_t, uint64_t>> out;  // input read, inflated
      const uint64_t end = at + kHeaderSize + c->length;
      for (uint64_t p = at + kHeaderSize; is_idat && p < end;) {
        const uint64_t n = std::min(kSector - p % kSector, end - p);
        const bool going = inflate_from(p, n);
        p += n;
        out.emplace_back(p, inflater.raw());
        if (!going) break;
      }
      auto read_for = [&out](uint64_t bytes) {  // input read to inflate them
        for (const auto& [input, inflated] : out)
          if (inflated >= bytes) return input;
        return out.back().first;
      };
      size_t keep = whole();
      if (!ended && keep > sure) {
        const uint64_t cut =
            (read_for((keep - 1) * row + 1) - 1) / kSector * kSector;
        const size_t valid = keep;
        for (keep = sure; keep < valid && read_for((keep + 1) * row) <= cut;)
          ++keep;
      }
      kept = keep;
      break;
    }
    if (is_idat) {
      idat = true;
      if (!inflate_from(at + kHeaderSize, c->length)) break;
    } else if (idat || c->is(kIendTag)) {
      break;
    } else {
      before.resize(before.size() + kOverhead + c->length);
      read_all(read, at,
               reinterpret_cast<unsigned char*>(
                   &before[before.size() - kOverhead - c->length]),
               kOverhead + c->length);
    }
    at += kOverhead + c->length;
  }
  const size_t keep = kept ? *kept : whole();  // rows, from here on
  if (keep == 0) return salvaged;

  // The rows kept, as an image of their own: their data in stored
  // deflate blocks, which need no compressor, only zlib's frame.
  std::string idat_data("\x78\x01", 2);
  const size_t raw_kept = keep * row;
  for (size_t from = 0; from == 0 || from < raw_kept; from += kStoredMax) {
    const size_t n = std::min(kStoredMax, raw_kept - from);
    const bool last = from + n == raw_kept;
    const unsigned char head[5] = {
        static_cast<unsigned char>(last), static_cast<unsigned char>(n),
        static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(~n),
        static_cast<unsigned char>(~n >> 8)};
    idat_data.append(reinterpret_cast<const char*>(head), sizeof head);
    idat_data.append(reinterpret_cast<const char*>(rows.data() + from), n);
  }
  unsigned char adler[4];
  store_be32(adler,
             static_cast<uint32_t>(adler32(adler32(0, nullptr, 0), rows.data(),
                                           static_cast<uInt>(raw_kept))));
  idat_data.append(reinterpret_cast<const char*>(adler), 4);
  store_be32(data + 4, static_cast<uint32_t>(keep));
  auto chunk = [](const unsigned char* type, const std::string& body) {
    std::string out(4, '\0');
    store_be32(reinterpret_cast<unsigned char*>(&out[0]),
               static_cast<uint32_t>(body.size()));
    out.append(reinterpret_cast<const char*>(type), 4);
    out += body;
    uint32_t crc = static_cast<uint32_t>(crc32(0, type, 4));
    crc = static_cast<uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(body.data()),
              static_cast<uInt>(body.size())));
    unsigned char stored[4];
    store_be32(stored, crc);
    return out.append(reinterpret_cast<const char*>(stored), 4);
  };
  salvaged.png.assign(reinterpret_cast<const char*>(kSignature), 8);
  salvaged.png += chunk(
      kIhdrHeader + 4, std::string(reinterpret_cast<char*>(data), sizeof data));
  salvaged.png += before;
  salvaged.png += chunk(kIdatTag, idat_data);
  salvaged.png.append(reinterpret_cast<const char*>(kIendChunk),
                      sizeof kIendChunk);
  salvaged.rows = static_cast<uint32_t>(keep);
  return salvaged;
}

}  // namespace pngcarve
