#include "tag_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chunk_read.h"
#include "disk.h"

namespace {

using testutil::index_of;

TEST(TagIndex, FindsTagsAcrossPiecesAndStaysBounded) {
  // Tags at 4, 10 and 17, their chunks beginning at 0, 6 and 13.
  const std::string bytes = "xxxxIDATxxIENDIDAIDATIEN";
  for (size_t step = 1; step <= bytes.size(); ++step) {
    const pngcarve::TagIndex index = index_of(bytes, step);
    EXPECT_EQ(index.count(), 3u) << step;
    for (uint64_t tag : {4, 10, 17})
      EXPECT_EQ(index.near(tag - 4, 0, 8), std::vector<uint64_t>{tag}) << step;
  }
  pngcarve::TagIndex index;
  std::string idats;
  for (size_t k = 0; k <= pngcarve::kMaxTags; ++k) idats += "IDAT";
  index.push(reinterpret_cast<const unsigned char*>(idats.data()),
             idats.size());
  index.done();
  EXPECT_TRUE(index.overflowed());
  EXPECT_EQ(index.count(), 0u);
  EXPECT_EQ(index.size(), idats.size());
}

TEST(TagIndex, GivesTheNearestOfOneResidueFirst) {
  // Chunks of residue 0 at sectors 1 to 9, and one of another residue.
  std::string bytes(10 * pngcarve::kSector, 'x');
  for (size_t s = 1; s < 10; ++s)
    bytes.replace(s * pngcarve::kSector + 4, 4, "IDAT");
  bytes.replace(5 * pngcarve::kSector + 100, 4, "IEND");
  const pngcarve::TagIndex index = index_of(bytes);
  auto tag = [](uint64_t s) { return s * pngcarve::kSector + 4; };
  // After 5 sectors: 5, 6, 7 after it, then 4, 3, 2 before it.
  EXPECT_EQ(
      index.near(0, 5 * pngcarve::kSector, 3),
      (std::vector<uint64_t>{tag(5), tag(6), tag(7), tag(4), tag(3), tag(2)}));
  EXPECT_EQ(index.near(0, 20 * pngcarve::kSector, 2),
            (std::vector<uint64_t>{tag(9), tag(8)}));
  EXPECT_EQ(index.near(96, 0, 5),
            std::vector<uint64_t>{5 * pngcarve::kSector + 100});
}

}  // namespace
