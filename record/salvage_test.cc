#include "salvage.h"

#include <gtest/gtest.h>

#include <string>

#include "disk.h"
#include "png_builder.h"

namespace {

using namespace testutil;

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

}  // namespace
