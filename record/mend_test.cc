#include "mend.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "png_builder.h"
#include "stream_copy.h"

namespace {

using namespace testutil;
using pngcarve::kSector;

constexpr size_t kCluster = 4096;

// A disk of `clusters` clusters of filler, with `png` laid in pieces: piece
// k (a run of whole clusters of the file, in file order) at cluster
// places[k].
struct Disk {
  std::string bytes;
  uint64_t ihdr_tag = 0;
  std::vector<pngcarve::Piece> truth;  // the PNG's pieces from the IHDR data
};

Disk lay(const std::string& png, size_t clusters,
         const std::vector<size_t>& places,
         const std::vector<size_t>& piece_clusters) {
  Disk disk;
  disk.bytes = filler(clusters * kCluster, 7);
  size_t from = 0;
  for (size_t k = 0; k < places.size(); ++k) {
    const size_t n =
        k + 1 == places.size()
            ? png.size() - from
            : std::min(png.size() - from, piece_clusters[k] * kCluster);
    disk.bytes.replace(places[k] * kCluster, n, png, from, n);
    const uint64_t at = places[k] * kCluster;
    if (k == 0)
      disk.truth.push_back({at + 16, n - 16});
    else
      disk.truth.push_back({at, n});
    from += n;
  }
  disk.ihdr_tag = places[0] * kCluster + 12;
  return disk;
}

pngcarve::ReadAt reader(const std::string& bytes) {
  return [&bytes](uint64_t at, unsigned char* out, size_t n) -> size_t {
    if (at >= bytes.size()) return 0;
    n = std::min<size_t>(n, bytes.size() - at);
    std::memcpy(out, bytes.data() + at, n);
    return n;
  };
}

std::vector<uint64_t> tags_of(const std::string& bytes, size_t step) {
  pngcarve::TagIndex index;
  for (size_t at = 0; at < bytes.size(); at += step)
    index.push(reinterpret_cast<const unsigned char*>(bytes.data()) + at,
               std::min(step, bytes.size() - at));
  return index.tags();
}

// The raw rows of a PNG: its IDAT data, inflated.
std::string rows_of(const std::string& png) {
  std::string z;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t n = pngcarve::load_be32(
        reinterpret_cast<const unsigned char*>(png.data()) + at);
    if (png.compare(at + 4, 4, "IDAT") == 0) z += png.substr(at + 8, n);
    at += 12 + n;
  }
  std::string raw(1 << 24, '\0');
  uLongf size = raw.size();
  uncompress(reinterpret_cast<Bytef*>(raw.data()), &size,
             reinterpret_cast<const Bytef*>(z.data()), z.size());
  raw.resize(size);
  return raw;
}

TEST(Mend, RebuildsWhatTheDiskBroke) {
  // 120 x 100 RGB of noise, so ~36 KB of data in IDATs of several sizes:
  // the file's clusters laid in pieces, in order or not, with gaps.
  struct Case {
    const char* what;
    int idat_pieces;
    std::vector<size_t> places;          // cluster of each piece
    std::vector<size_t> piece_clusters;  // clusters in each but the last
  } cases[] = {
      {"two pieces, in order", 4, {10, 40}, {3}},
      {"two pieces, the second first", 4, {300, 12}, {5}},
      {"a gap of 1,000 clusters", 9, {5, 1005}, {2}},
      {"one IDAT of all the data", 1, {20, 3}, {4}},
      {"three pieces", 6, {50, 8, 90}, {2, 3}},
      {"five pieces, out of order", 12, {200, 30, 150, 2, 100}, {2, 1, 3, 2}},
      // A chunk broken more than once, followed by its data's rows.
      {"one IDAT in three pieces", 1, {20, 3, 60}, {3, 2}},
      {"one IDAT in five pieces, out of order",
       1,
       {100, 30, 160, 5, 90},
       {2, 3, 1, 1}},
      {"a piece inside one of two IDATs", 2, {40, 900, 41}, {1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string png = make_png(sized(120, 100, 3, c.idat_pieces));
    const Disk disk = lay(png, 1200, c.places, c.piece_clusters);
    for (size_t step : {size_t{1} << 20, size_t{4093}}) {
      const auto tags = tags_of(disk.bytes, step);
      const pngcarve::Mended mended =
          pngcarve::mend(reader(disk.bytes), tags, disk.ihdr_tag);
      ASSERT_EQ(mended.pieces.size(), disk.truth.size());
      for (size_t k = 0; k < disk.truth.size(); ++k) {
        EXPECT_EQ(mended.pieces[k].offset, disk.truth[k].offset) << k;
        EXPECT_EQ(mended.pieces[k].length, disk.truth[k].length) << k;
      }
      EXPECT_EQ(mended.bytes, png);
    }
  }
}

TEST(Mend, LeavesAloneWhatItCannotProve) {
  const std::string png = make_png(sized(120, 100, 4, 4));
  // Whole: nothing to mend.
  Disk whole = lay(png, 40, {3}, {});
  EXPECT_TRUE(pngcarve::mend(reader(whole.bytes), tags_of(whole.bytes, 1 << 20),
                             whole.ihdr_tag)
                  .pieces.empty());
  // The second piece overwritten: no join makes the CRC match.
  Disk lost = lay(png, 400, {10, 200}, {3});
  lost.bytes.replace(200 * kCluster, kCluster, filler(kCluster, 9));
  EXPECT_TRUE(pngcarve::mend(reader(lost.bytes), tags_of(lost.bytes, 1 << 20),
                             lost.ihdr_tag)
                  .pieces.empty());
}

TEST(Salvage, KeepsTheRowsBeforeTheBreak) {
  // Rows of 361 bytes, so the break at 3 clusters cuts through a row. After
  // it, another file's bytes; or zeros for a row's length first, which the
  // data (stored, as noise is) takes for a valid row, and the row the break
  // cut through for a whole one.
  const std::string png = make_png(sized(120, 100, 5, 4));
  const size_t row = 1 + 120 * 3;
  for (size_t zeros : {size_t{0}, row}) {
    SCOPED_TRACE(zeros);
    Disk disk = lay(png, 400, {10, 200}, {3});
    disk.bytes.replace(13 * kCluster, zeros, std::string(zeros, '\0'));
    const pngcarve::Salvaged salvaged =
        pngcarve::salvage(reader(disk.bytes), disk.ihdr_tag);
    ASSERT_FALSE(salvaged.png.empty());
    EXPECT_EQ(salvaged.height, 100u);
    uint32_t width = 0, height = 0;
    ASSERT_TRUE(decodes(salvaged.png, &width, &height));
    EXPECT_EQ(width, 120u);
    EXPECT_EQ(height, salvaged.rows);
    // Every row kept is the original's, and at most three before the
    // break are lost: the data in the first piece is 3 clusters less the
    // header and chunk overheads.
    const std::string raw = rows_of(png);
    EXPECT_TRUE(rows_of(salvaged.png) == raw.substr(0, salvaged.rows * row))
        << "a row kept is not the original's";
    EXPECT_GE(salvaged.rows + 3, (3 * kCluster - 33 - 4 * 12 - 2) / row);
  }
}

TEST(TagIndex, FindsTagsAcrossPiecesAndStaysBounded) {
  const std::string bytes = "IDATxxIENDIDAIDATIEN";
  for (size_t step = 1; step <= bytes.size(); ++step)
    EXPECT_EQ(tags_of(bytes, step), (std::vector<uint64_t>{0, 6, 13})) << step;
  pngcarve::TagIndex index;
  std::string idats;
  for (size_t k = 0; k <= pngcarve::kMaxTags; ++k) idats += "IDAT";
  index.push(reinterpret_cast<const unsigned char*>(idats.data()),
             idats.size());
  EXPECT_TRUE(index.overflowed());
  EXPECT_TRUE(index.tags().empty());
}

}  // namespace
