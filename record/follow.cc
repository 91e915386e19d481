#include "follow.h"

#include <zlib.h>

#include <algorithm>
#include <deque>

#include "join.h"
#include "stream_copy.h"

namespace pngcarve {

namespace {

// The limits of following a chunk: the sector boundaries tried as its
// breaks, those from kRowsBack rows before the last that inflated valid
// before its bytes stopped being the image's (another file's bytes, copied
// by inflate from the image's own, can pass a few rows' checks), the last
// kBreaksKept at most; the clusters each side of a break where the next
// piece may begin; the rows a piece must give to be followed, besides its
// first cluster; the continuations tried for one break, and for one chunk.
constexpr uint64_t kRowsBack = 8;
constexpr size_t kBreaksKept = 32;
constexpr uint64_t kGapClusters = 1024;
constexpr uint64_t kMaxCluster = 4096;
constexpr uint64_t kRowsToTrust = 4;
constexpr size_t kTrials = 1 << 11;
constexpr size_t kChunkTrials = 5 * kTrials;
// The continuations tried after one that passed, at all its breaks and
// theirs, before the next place is tried instead: another file's bytes can
// pass a screenshot's row checks for clusters on end (inflate copies its
// rows), and without a bound, following the first such place nearby spent
// every trial of the chunk before the right one, a few clusters farther.
constexpr size_t kSubtreeTrials = 1024;
// The longest middle piece looked for between a break and a last piece,
// and the places tried for it after one break: the nearest 128 clusters
// each side. A middle piece farther off is still found by its rows, when
// the chunk is followed; trying all kTrials for it too, at each break,
// took half of mending's time on a disk of images in 2 to 5 pieces.
constexpr uint64_t kMiddleClusters = 64;
constexpr size_t kMiddleTrials = 256;

class Follow {
 public:
  Follow(Reader* in, const TagIndex& tags, uint64_t image_start, uint64_t at,
         const Chunk& c, const std::vector<Piece>& before)
      : in_(in),
        tags_(tags),
        start_(image_start),
        at_(at),
        data_end_(kChunkHeaderSize + c.length),
        before_(before) {}

  std::optional<uint64_t> run(std::unique_ptr<Inflater> inflater,
                              size_t pieces_left, std::vector<Piece>* pieces) {
    left_ = pieces_left;
    pieces_ = pieces;
    unsigned char type[4];
    if (!in_->read(at_ + 4, type, 4)) return std::nullopt;
    return follow(std::move(inflater), at_, at_ + kChunkHeaderSize,
                  kChunkHeaderSize, static_cast<uint32_t>(crc32(0, type, 4)));
  }

 private:
  struct Place {
    std::unique_ptr<Inflater> inflater;
    uint64_t at;    // in the input
    uint64_t done;  // of the chunk's bytes
    uint32_t crc;   // of its type and data so far
    uint64_t rows;  // checked valid so far
  };

  std::unique_ptr<Inflater> clone(const Inflater& inflater) {
    return in_->spend(kCloneCost) ? inflater.clone() : nullptr;
  }

  // Feeds the chunk's bytes from `p->at` on, a sector at a time, until its
  // data ends, its bytes stop being the image's, or (with `rows`) the
  // inflater has checked that many rows more and `p->at` has come to
  // `to`, or (with `stop`) until `p->at` comes there; each sector boundary
  // passed after `piece` is told to `boundary`. False if the bytes stopped.
  bool go(Place* p, uint64_t piece, uint64_t rows, uint64_t to,
          std::deque<Place>* boundaries, uint64_t stop = UINT64_MAX) {
    const uint64_t until = p->inflater->rows() + rows;
    unsigned char buf[kSector];
    while (p->done < data_end_ && p->at < stop &&
           (rows == 0 || p->inflater->rows() < until || p->at < to)) {
      if (boundaries && p->at % kSector == 0 && p->at > piece) {
        std::unique_ptr<Inflater> here = clone(*p->inflater);
        if (!here) return false;
        boundaries->push_back(
            {std::move(here), p->at, p->done, p->crc, p->inflater->rows()});
        if (boundaries->size() > kBreaksKept) boundaries->pop_front();
      }
      const size_t n = static_cast<size_t>(
          std::min(kSector - p->at % kSector, data_end_ - p->done));
      if (!in_->read(p->at, buf, n)) return false;
      p->crc = static_cast<uint32_t>(crc32(p->crc, buf, static_cast<uInt>(n)));
      p->at += n;
      p->done += n;
      if (!p->inflater->feed(buf, n)) return false;
    }
    return true;
  }

  // The chunk's rest after the break `b`, in one piece at the start of a
  // cluster, just before an IDAT or IEND tag, where it makes the chunk's
  // CRC match: where that piece begins.
  std::optional<uint64_t> rest_in_one(const Place& b, uint64_t cluster) {
    const uint64_t rest = data_end_ + kCrcSize - b.done;
    for (uint64_t tag : tags_.near(rest % kSector, b.at, kCandidates)) {
      const uint64_t end = tag - 4;
      if (end < rest) continue;
      const uint64_t q = end - rest;
      if (q < start_ || (q - start_) % cluster != 0 || claimed(q, end))
        continue;
      unsigned char stored[kCrcSize];
      std::optional<uint32_t> crc = crc_of(in_, q, rest - kCrcSize, b.crc);
      if (!in_->going()) return std::nullopt;
      if (crc && in_->read(end - kCrcSize, stored, kCrcSize) &&
          load_be32(stored) == *crc)
        return q;
    }
    return std::nullopt;
  }

  // The chunk's CRC cut by a break at `p` (all its data read): its first
  // bytes there, the rest at the start of a cluster, just before an IDAT
  // or IEND tag; where the next chunk begins.
  std::optional<uint64_t> crc_split(const Place& p, uint64_t piece) {
    const uint64_t boundary = round_up_to_sector(p.at);
    const uint64_t head = boundary - p.at;
    if (head == 0 || head >= kCrcSize || left_ == 0) return std::nullopt;
    unsigned char stored[kCrcSize];
    if (!in_->read(p.at, stored, static_cast<size_t>(head)))
      return std::nullopt;
    const uint64_t tail = kCrcSize - head;
    const uint64_t grid = cluster_ ? cluster_ : kSector;
    if (claimed(piece, boundary)) return std::nullopt;
    for (uint64_t tag : tags_.near(tail, boundary, kCandidates)) {
      const uint64_t q = tag - 4 - tail;
      if (q < start_ || (q - start_) % grid != 0 || claimed(q, q + tail) ||
          !in_->read(q, stored + head, static_cast<size_t>(tail)) ||
          load_be32(stored) != p.crc)
        continue;
      pieces_->push_back({piece, boundary - piece});
      pieces_->push_back({q, tail});
      return q + tail;
    }
    return std::nullopt;
  }

  // The chunk's rest after the break `b` in one piece, or in two; where
  // the next chunk begins, its pieces told.
  std::optional<uint64_t> rest_in_pieces(const Place& b, uint64_t cluster) {
    if (std::optional<uint64_t> q = rest_in_one(b, cluster)) {
      const uint64_t rest = data_end_ + kCrcSize - b.done;
      pieces_->push_back({*q, rest});
      return *q + rest;
    }
    if (left_ == 0 || !in_->going()) return std::nullopt;
    return rest_in_two(b, cluster);
  }

  // Calls `try_at(q)` at the starts of clusters after the break `b`, then
  // before it, nearest first, each of whose first `span` bytes no piece
  // holds, `per_break` at most and while `*count` is short of `most`,
  // until it gives an end or the reader stops.
  template <typename TryAt>
  std::optional<uint64_t> nearby(const Place& b, uint64_t cluster,
                                 uint64_t span, size_t* count, size_t most,
                                 TryAt try_at, size_t per_break = kTrials) {
    size_t trials = 0;  // for this break
    for (uint64_t k = 1;
         k <= 2 * kGapClusters && trials < per_break && *count < most; ++k) {
      const uint64_t step = (k + 1) / 2 * cluster;
      if (k % 2 == 0 && b.at < step) continue;
      const uint64_t q = k % 2 ? b.at + step : b.at - step;
      if (claimed(q, q + span)) continue;
      ++trials;
      ++*count;
      std::optional<uint64_t> end = try_at(q);
      if (end || !in_->going()) return end;
    }
    return std::nullopt;
  }

  // The chunk followed after the break `b` from each place nearby where its
  // data goes on, nearest first.
  std::optional<uint64_t> followed(const Place& b, uint64_t cluster) {
    return nearby(
        b, cluster, kSector, &chunk_trials_, trials_limit_,
        [&](uint64_t q) -> std::optional<uint64_t> {
          std::unique_ptr<Inflater> from = clone(*b.inflater);
          if (!from) return std::nullopt;
          // A piece is a cluster at least: its bytes are the
          // image's to the cluster's end.
          Place trial{std::move(from), q, b.done, b.crc, b.rows};
          if (!go(&trial, q, kRowsToTrust, q + cluster, nullptr))
            return std::nullopt;
          const size_t limit = trials_limit_;
          trials_limit_ = std::min(limit, chunk_trials_ + kSubtreeTrials);
          std::optional<uint64_t> end = follow(std::move(trial.inflater), q,
                                               trial.at, trial.done, trial.crc);
          trials_limit_ = limit;
          return end;
        });
  }

  // The chunk's rest after the break `b` in two pieces: whole clusters
  // nearby, where its data goes on, then a piece at the start of a
  // cluster that ends just before an IDAT or IEND tag, where the CRC
  // matches; where the next chunk begins, its pieces told.
  std::optional<uint64_t> rest_in_two(const Place& b, uint64_t cluster) {
    const uint64_t rest = data_end_ + kCrcSize - b.done;
    if (rest < cluster + kCrcSize) return std::nullopt;
    const uint64_t most =
        std::min((rest - kCrcSize) / cluster, kMiddleClusters);
    // The last pieces it can have: for each tag whose chunk would end it,
    // each length of the middle piece.
    struct Last {
      uint64_t clusters, at, end, crc;  // crc: of its bytes but the CRC
      uint32_t stored;
    };
    std::vector<Last> lasts;
    for (uint64_t tag : tags_.near(rest % kSector, b.at, kCandidates)) {
      const uint64_t end = tag - 4;
      if (end < rest || (end - rest - start_) % cluster != 0) continue;
      unsigned char stored[kCrcSize];
      if (!in_->read(end - kCrcSize, stored, kCrcSize)) {
        if (!in_->going()) return std::nullopt;
        continue;
      }
      // The CRC of each last piece, the shortest first, each longer one's
      // from a cluster's CRC and the one after it: the bytes are read once.
      const uint64_t crc_end = end - kCrcSize;
      std::optional<uint32_t> crc;
      for (uint64_t j = most; j >= 1; --j) {
        const uint64_t at = end - rest + j * cluster;
        const uint64_t next = j == most ? crc_end : at + cluster;
        std::optional<uint32_t> head = crc_of(in_, at, next - at);
        if (!in_->going()) return std::nullopt;
        if (!head) break;
        if (j == most) {
          crc = head;
        } else {
          if (!in_->spend(kCombineCost)) return std::nullopt;
          crc = static_cast<uint32_t>(
              crc32_combine(*head, *crc, static_cast<z_off_t>(crc_end - next)));
        }
        if (at > start_ && !claimed(at, end))
          lasts.push_back({j, at, end, *crc, load_be32(stored)});
      }
    }
    if (lasts.empty()) return std::nullopt;
    // By the middle piece's length, so that each length meets only its own.
    std::stable_sort(
        lasts.begin(), lasts.end(),
        [](const Last& x, const Last& y) { return x.clusters < y.clusters; });
    return nearby(
        b, cluster, cluster, &middle_trials_, kChunkTrials,
        [&](uint64_t q) -> std::optional<uint64_t> {
          std::unique_ptr<Inflater> from = clone(*b.inflater);
          if (!from) return std::nullopt;
          Place middle{std::move(from), q, b.done, b.crc, b.rows};
          for (uint64_t j = 1; j <= most; ++j) {
            if (!go(&middle, q, 0, 0, nullptr, q + j * cluster) ||
                claimed(q, q + j * cluster))
              return std::nullopt;
            const auto [from, to] = std::equal_range(
                lasts.begin(), lasts.end(), Last{j, 0, 0, 0, 0},
                [](const Last& x, const Last& y) {
                  return x.clusters < y.clusters;
                });
            for (auto last = from; last != to; ++last) {
              if (q < last->end && last->at < q + j * cluster) continue;
              if (!in_->spend(kCombineCost)) return std::nullopt;
              const uint32_t whole = static_cast<uint32_t>(crc32_combine(
                  middle.crc, static_cast<uLong>(last->crc),
                  static_cast<z_off_t>(last->end - kCrcSize - last->at)));
              if (whole != last->stored) continue;
              pieces_->push_back({q, j * cluster});
              pieces_->push_back({last->at, last->end - last->at});
              return last->end;
            }
          }
          return std::nullopt;
        },
        kMiddleTrials);
  }

  bool claimed(uint64_t from, uint64_t to) const {
    return overlaps(before_, from, to) || overlaps(*pieces_, from, to);
  }

  std::optional<uint64_t> follow(std::unique_ptr<Inflater> inflater,
                                 uint64_t piece, uint64_t at, uint64_t done,
                                 uint32_t crc) {
    Place here{std::move(inflater), at, done, crc, 0};
    std::deque<Place> boundaries;
    if (go(&here, piece, 0, 0, &boundaries)) {
      unsigned char stored[kCrcSize];
      if (in_->read(here.at, stored, kCrcSize) &&
          load_be32(stored) == here.crc &&
          !claimed(piece, here.at + kCrcSize)) {
        pieces_->push_back({piece, here.at + kCrcSize - piece});
        return here.at + kCrcSize;
      }
      if (std::optional<uint64_t> end = crc_split(here, piece)) return end;
    }
    if (left_ == 0 || !in_->going()) return std::nullopt;
    // The breaks to try: the boundaries since kRowsBack rows before the
    // last valid one, those at the start of a larger cluster first (a file
    // system's clusters are all of one size), the latest first.
    const uint64_t rows = here.inflater->rows();
    auto cluster_at = [this](uint64_t at) {
      uint64_t cluster = kSector;
      while (cluster < kMaxCluster && (at - start_) % (2 * cluster) == 0)
        cluster *= 2;
      return cluster;
    };
    // The pieces of one file are of whole clusters of one size: once a
    // break has been taken at the start of a cluster of some size, the
    // others lie at the start of one too.
    std::vector<Place*> breaks;
    for (auto b = boundaries.rbegin();
         b != boundaries.rend() && b->rows + kRowsBack >= rows; ++b)
      if (cluster_ == 0 || (b->at - start_) % cluster_ == 0)
        breaks.push_back(&*b);
    std::stable_sort(breaks.begin(), breaks.end(), [&](Place* a, Place* b) {
      return cluster_at(a->at) > cluster_at(b->at);
    });
    const uint64_t known = cluster_;
    auto cluster_of = [&](const Place* b) {
      return known ? known : cluster_at(b->at);
    };
    // First the rest of the chunk in one or two pieces, each proved by the
    // CRC, after each break at the start of the largest cluster; then each
    // break's continuations followed in turn, which another file's bytes
    // can pass for a while.
    const uint64_t largest = breaks.empty() ? 0 : cluster_of(breaks[0]);
    for (int pass = 0; pass < 2; ++pass) {
      for (Place* b : breaks) {
        const uint64_t cluster = cluster_of(b);
        if (claimed(piece, b->at) || (pass == 0 && cluster != largest))
          continue;
        cluster_ = cluster;
        pieces_->push_back({piece, b->at - piece});
        --left_;
        std::optional<uint64_t> end =
            pass == 0 ? rest_in_pieces(*b, cluster) : followed(*b, cluster);
        if (end) return end;
        if (!in_->going()) return std::nullopt;
        ++left_;
        pieces_->pop_back();
      }
    }
    cluster_ = known;
    return std::nullopt;
  }

  Reader* const in_;
  const TagIndex& tags_;
  const uint64_t start_;
  const uint64_t at_;
  const uint64_t data_end_;  // of the chunk's bytes, where its CRC begins
  const std::vector<Piece>& before_;
  size_t left_ = 0;
  std::vector<Piece>* pieces_ = nullptr;
  size_t chunk_trials_ = 0;  // continuations followed, for the chunk,
  size_t trials_limit_ = kChunkTrials;  // and where the ones tried now stop
  size_t middle_trials_ = 0;            // and middle pieces tried
  uint64_t cluster_ = 0;  // of the breaks taken so far; 0 before the first
};

}  // namespace

std::optional<uint64_t> follow_chunk(Reader* in, const TagIndex& tags,
                                     uint64_t image_start, uint64_t at,
                                     const Chunk& c,
                                     const std::vector<Piece>& before,
                                     std::unique_ptr<Inflater> inflater,
                                     size_t pieces_left,
                                     std::vector<Piece>* pieces) {
  return Follow(in, tags, image_start, at, c, before)
      .run(std::move(inflater), pieces_left, pieces);
}

}  // namespace pngcarve
