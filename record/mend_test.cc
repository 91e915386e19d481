#include "mend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "chunk_read.h"
#include "disk.h"
#include "png_builder.h"
#include "twin.h"

namespace {

using namespace testutil;
using pngcarve::kSector;

// The budget pngcarve-report gives the one broken image of `disk`.
uint64_t budget_of(const Disk& disk) {
  return pngcarve::mend_budget(disk.bytes.size(), 1, disk.truth[0].length);
}

TEST(Mend, RebuildsWhatTheDiskBroke) {
  // 120 x 100 RGB of noise, so ~36 KB of data in IDATs of several sizes:
  // the file's clusters laid in pieces, in order or not, with gaps; on
  // filler, and on bytes of every value with decoy tags at every residue.
  struct Case {
    const char* what;
    int idat_pieces;
    std::vector<size_t> places;          // cluster of each piece
    std::vector<size_t> piece_clusters;  // clusters in each but the last
    size_t text = 0;  // a tEXt chunk of this much data before the IDATs
  } cases[] = {
      {"two pieces, in order", 4, {10, 40}, {3}},
      {"two pieces, the second first", 4, {300, 12}, {5}},
      {"a gap of 1,000 clusters", 9, {5, 1005}, {2}},
      {"one IDAT of all the data", 1, {20, 3}, {4}},
      {"three pieces", 6, {50, 8, 90}, {2, 3}},
      {"five pieces, out of order", 12, {200, 30, 150, 2, 100}, {2, 1, 3, 2}},
      {"eight pieces, out of order",
       12,
       {200, 30, 150, 2, 100, 60, 250, 80},
       {1, 1, 1, 1, 1, 1, 1}},
      // A chunk broken more than once, followed by its data's rows.
      {"one IDAT in three pieces", 1, {20, 3, 60}, {3, 2}},
      {"one IDAT in five pieces, out of order",
       1,
       {100, 30, 160, 5, 90},
       {2, 3, 1, 1}},
      {"one IDAT in seven pieces",
       1,
       {100, 30, 160, 5, 90, 120, 140},
       {1, 1, 1, 1, 1, 1}},
      {"a piece inside one of two IDATs", 2, {40, 900, 41}, {1, 1}},
      // The first IDAT's header begins 2 bytes before the break.
      {"a break inside a chunk's length", 4, {10, 40}, {3}, 12241},
  };
  for (const Case& c : cases) {
    for (bool decoys : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (decoys ? ", with decoys" : ""));
      PngShape shape = sized(120, 100, 3, c.idat_pieces);
      if (c.text)
        shape.before_idat.push_back(chunk("tEXt", std::string(c.text, 't')));
      const std::string png = make_png(shape);
      const Disk disk =
          lay(png, 1200, c.places, c.piece_clusters,
              decoys ? decoy_filler(1200 * kCluster, 11) : std::string());
      for (size_t step : {size_t{1} << 20, size_t{4093}}) {
        const pngcarve::Mended mended =
            pngcarve::mend(reader(disk.bytes), index_of(disk.bytes, step),
                           disk.ihdr_tag, budget_of(disk));
        EXPECT_EQ(mended.stopped, pngcarve::Stop::kNone);
        ASSERT_EQ(mended.pieces.size(), disk.truth.size());
        for (size_t k = 0; k < disk.truth.size(); ++k) {
          EXPECT_EQ(mended.pieces[k].offset, disk.truth[k].offset) << k;
          EXPECT_EQ(mended.pieces[k].length, disk.truth[k].length) << k;
          EXPECT_FALSE(mended.pieces[k].uncertain) << k;
        }
        EXPECT_EQ(mended.bytes, png);
      }
    }
  }
}

TEST(Mend, RebuildsRealImagesInSmallPieces) {
  // As they lay on used volumes: pieces of one to a few clusters, gaps of
  // a few, a later piece first; the data in one IDAT, or IDATs of 64 KiB.
  // Each image's last piece holds what the others leave. Those in 5 pieces
  // are not rebuilt yet: another file's bytes, inflated on from a
  // screenshot's or line art's data, pass the rows' checks for clusters on
  // end, and the search follows them first.
  struct Case {
    const char* what;
    Content content;
    uint32_t width, height;
    size_t idat_size;
    std::vector<size_t> places, clusters;
    bool rebuilt = true;
  } cases[] = {
      {"photo, one IDAT, 4 pieces",
       Content::kPhoto,
       300,
       88,
       0,
       {26, 34, 95, 117},
       {5, 2, 2}},
      {"photo, one IDAT, 4 pieces of 1 to 6 clusters",
       Content::kPhoto,
       640,
       37,
       0,
       {96, 106, 112, 130},
       {1, 4, 3}},
      {"screenshot, one IDAT, 3 pieces",
       Content::kScreenshot,
       1280,
       53,
       0,
       {56, 146, 159},
       {2, 2}},
      {"screenshot, one IDAT, 4 pieces, text between",
       Content::kScreenshot,
       1280,
       720,
       0,
       {26, 51, 66, 110},
       {14, 12, 28}},
      {"screenshot, IDATs of 64 KiB, 5 pieces",
       Content::kScreenshot,
       1600,
       240,
       64 << 10,
       {16, 23, 31, 74, 83},
       {4, 6, 10, 3},
       false},
      {"photo, IDATs of 64 KiB, 5 pieces, a later one first",
       Content::kPhoto,
       1024,
       59,
       64 << 10,
       {140, 31, 105, 112, 135},
       {1, 11, 5, 3},
       false},
      {"line art, one IDAT, 5 pieces, a later one first",
       Content::kLineArt,
       2000,
       191,
       0,
       {119, 76, 84, 99, 108},
       {1, 3, 6, 3},
       false},
  };
  std::string misses;
  for (const Case& c : cases) {
    PngShape shape = sized(c.width, c.height, 17, 1);
    shape.content = c.content;
    shape.idat_size = c.idat_size;
    const std::string png = make_png(shape);
    size_t before_last = 0;
    for (size_t n : c.clusters) before_last += n * kCluster;
    ASSERT_GT(png.size(), before_last + 16) << c.what;
    for (bool decoys : {false, true}) {
      const Disk disk =
          lay(png, 200, c.places, c.clusters,
              decoys ? decoy_filler(200 * kCluster, 11) : std::string());
      const pngcarve::Mended mended = pngcarve::mend(
          reader(disk.bytes), index_of(disk.bytes), disk.ihdr_tag,
          pngcarve::mend_budget(disk.bytes.size(), 1, disk.truth[0].length));
      // Never a false join; each miss named.
      if (!mended.pieces.empty()) {
        EXPECT_EQ(mended.bytes, png) << c.what;
      } else {
        misses += std::string("  ") + c.what + (decoys ? ", decoys" : "") +
                  " (" + std::to_string(png.size()) + " bytes)\n";
        EXPECT_FALSE(c.rebuilt) << c.what << (decoys ? ", decoys" : "");
      }
    }
  }
  std::printf("real images in small pieces, not rebuilt:\n%s", misses.c_str());
}

TEST(Mend, LeavesAloneWhatItCannotProve) {
  const std::string png = make_png(sized(120, 100, 4, 4));
  // Whole: nothing to mend.
  Disk whole = lay(png, 40, {3}, {});
  EXPECT_TRUE(pngcarve::mend(reader(whole.bytes), index_of(whole.bytes),
                             whole.ihdr_tag, budget_of(whole))
                  .pieces.empty());
  // The second piece overwritten: no join makes the CRC match, among
  // decoys too.
  for (bool decoys : {false, true}) {
    Disk lost = lay(png, 400, {10, 200}, {3},
                    decoys ? decoy_filler(400 * kCluster, 5) : std::string());
    lost.bytes.replace(200 * kCluster, kCluster, filler(kCluster, 9));
    const pngcarve::Mended mended =
        pngcarve::mend(reader(lost.bytes), index_of(lost.bytes), lost.ihdr_tag,
                       budget_of(lost));
    EXPECT_TRUE(mended.pieces.empty()) << decoys;
    EXPECT_EQ(mended.stopped, pngcarve::Stop::kNone) << decoys;
  }
}

TEST(Mend, NamesAsUncertainAPieceTwoPlacesHold) {
  // The second piece, and a copy of it nearer the first: the image's bytes
  // are right with either, but the record can't say which is its own.
  for (int idats : {4, 1}) {
    SCOPED_TRACE(idats);
    const std::string png = make_png(sized(120, 100, 6, idats));
    Disk disk = lay(png, 400, {10, 200}, {3});
    const std::string second = png.substr(3 * kCluster);
    disk.bytes.replace(100 * kCluster, second.size(), second);
    const pngcarve::Mended mended =
        pngcarve::mend(reader(disk.bytes), index_of(disk.bytes), disk.ihdr_tag,
                       budget_of(disk));
    ASSERT_EQ(mended.pieces.size(), 2u);
    EXPECT_EQ(mended.bytes, png);
    EXPECT_FALSE(mended.pieces[0].uncertain);
    EXPECT_TRUE(mended.pieces[1].uncertain);
  }
}

TEST(Mend, StopsWhereItsBudgetEnds) {
  // One 1 MiB IDAT whose CRC fails, then 4,000 sectors each with an IDAT
  // tag where the join would have the chunk's rest end: without a bound,
  // each tag costs a read of the chunk's length.
  const std::string png = make_png(sized(600, 600, 8, 1));
  const size_t at = 10 * kCluster;
  std::string bytes = filler(at, 3) + png.substr(0, png.size() - 12);
  const size_t chunk_end = bytes.size();  // where the IDAT chunk ends
  bytes[chunk_end - 5] ^= 1;              // its CRC fails
  const size_t base = (chunk_end / kSector + 1) * kSector;
  bytes.resize(base + 4000 * kSector, 'q');
  for (size_t s = 0; s + 1 < 4000; ++s)
    bytes.replace(base + s * kSector + chunk_end % kSector + 4, 4, "IDAT");
  uint64_t read = 0;
  const pngcarve::ReadAt counted = [&](uint64_t offset, unsigned char* out,
                                       size_t n) {
    read += n;
    return reader(bytes)(offset, out, n);
  };
  const uint64_t budget =
      pngcarve::mend_budget(bytes.size(), 1, chunk_end - at - 16);
  const pngcarve::Mended mended =
      pngcarve::mend(counted, index_of(bytes), at + 12, budget);
  EXPECT_TRUE(mended.pieces.empty());
  EXPECT_EQ(mended.stopped, pngcarve::Stop::kBound);
  EXPECT_LE(read, budget);
}

// Fails the Nth read of the input, for every N, while mending or
// salvaging, and then has memory run out there: each failure is said, and
// nothing is kept.
TEST(Twin, EveryReadFailingInTurnIsSaid) {
  struct Case {
    const char* what;
    int idat_pieces;
    std::vector<size_t> places;
    std::vector<size_t> piece_clusters;
    bool overwrite;  // the second piece, so that the image is salvaged
  } cases[] = {
      {"mended by CRCs", 4, {10, 40}, {3}, false},
      {"mended by following its data", 1, {20, 3, 60}, {3, 2}, false},
      {"salvaged", 4, {10, 60}, {1}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string png = make_png(sized(120, 100, 2, c.idat_pieces));
    // Fewer clusters for the search to try on a salvaged image.
    const size_t clusters = c.overwrite ? 70 : 100;
    Disk disk = lay(png, clusters, c.places, c.piece_clusters,
                    decoy_filler(clusters * kCluster, 4));
    if (c.overwrite)
      disk.bytes.replace(c.places[1] * kCluster, kCluster, filler(kCluster, 9));
    const pngcarve::TagIndex tags = index_of(disk.bytes);
    long calls = 0, fail_at = 0;
    bool memory = false;  // the Nth read finds memory gone, not the input
    const pngcarve::ReadAt failing = [&](uint64_t offset, unsigned char* out,
                                         size_t n) {
      if (++calls == fail_at && memory) throw std::bad_alloc();
      if (calls == fail_at) return pngcarve::kReadAtError;
      return reader(disk.bytes)(offset, out, n);
    };
    pngcarve::Twin whole;
    pngcarve::make_twin(failing, tags, "disk", disk.ihdr_tag, budget_of(disk),
                        "disk.0000.png", &whole);
    ASSERT_EQ(whole.record.check, c.overwrite ? "salvaged" : "ok");
    ASSERT_TRUE(whole.failure.empty());
    const long total = calls;
    for (fail_at = 1; fail_at <= 2 * total; ++fail_at) {
      calls = 0;
      memory = fail_at > total;
      if (memory) fail_at -= total;
      pngcarve::Twin twin;
      pngcarve::make_twin(failing, tags, "disk", disk.ihdr_tag, budget_of(disk),
                          "disk.0000.png", &twin);
      EXPECT_TRUE(twin.failure.starts_with(
          memory ? "disk.0000.png: out of memory while mending it"
                 : "disk.0000.png: the input could not be read again"))
          << fail_at << ": " << twin.failure;
      EXPECT_TRUE(twin.record.output.empty() && twin.bytes.empty()) << fail_at;
      if (memory) fail_at += total;
    }
    std::printf("%s: %ld reads, each failing in turn\n", c.what, total);
  }
}

}  // namespace
