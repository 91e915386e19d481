// End-to-end tests of inputs at the limits: past 4 GiB, more than 9,999
// images, and long and non-UTF-8 paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "png_builder.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

class LimitsTest : public TempDirTest {};

void write_at(const fs::path& path, off_t at, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), at),
            static_cast<ssize_t>(bytes.size()));
  close(fd);
}

TEST_F(LimitsTest, SparseInputPastFourGiBWithChunkCrossingTheMark) {
  const off_t four_gib = off_t{1} << 32;
  std::string big = make_png(sized(600, 600, 5));  // a 1 MB IDAT chunk
  std::string small = make_png(sized(9, 9, 6, 2));
  fs::path input = dir_ / "dump.img";
  write_at(input, four_gib - 500000, big);  // its IDAT spans 4 GiB
  write_at(input, four_gib + (1 << 20) + 7, small);
  ASSERT_EQ(truncate(input.c_str(), four_gib + (2 << 20)), 0);

  Result r = run_tool(dir_, {"dump.img"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\rExtracting: dump.img -> 0\rExtracting: dump.img -> 1\n");
  EXPECT_EQ(read_file(dir_ / "dump.img.0000.png"), carved(big));
  EXPECT_EQ(read_file(dir_ / "dump.img.0001.png"), carved(small));
  EXPECT_TRUE(decodes(read_file(dir_ / "dump.img.0000.png")));
}

TEST_F(LimitsTest, TenThousandAndFirstImageIsNamedWithFiveDigits) {
  std::string one = "IHDR" + std::string(17, 'h') + chunk("IDAT", "") +
                    std::string("\0\0\0\0IEND", 8);
  std::string input;
  for (int i = 0; i < 10001; ++i) input += one;
  write_file(dir_ / "many.bin", input);
  Result r = run_tool(dir_, {"many.bin"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.ends_with("-> 9999\rExtracting: many.bin -> 10000\n"));
  EXPECT_TRUE(fs::exists(dir_ / "many.bin.9999.png"));
  EXPECT_TRUE(fs::exists(dir_ / "many.bin.10000.png"));
  EXPECT_FALSE(fs::exists(dir_ / "many.bin.10001.png"));
}

TEST_F(LimitsTest, LongPathsAndNonUtf8NamesWork) {
  fs::path nested = dir_;
  std::string rel;
  for (int i = 0; i < 6; ++i) {
    std::string part(200, static_cast<char>('a' + i));
    nested /= part;
    rel += part + "/";
  }
  fs::create_directories(nested);
  std::string png = make_png(sized(5, 5, 2));
  const std::string odd = "caf\xe9-\xff\xfe.bin";  // Latin-1 and stray bytes
  write_file(nested / "x.pak", png);
  write_file(dir_ / odd, "pad" + png);
  rel += "x.pak";
  ASSERT_GT(rel.size(), 1000u);
  Result r = run_tool(dir_, {rel, odd});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\rExtracting: " + rel + " -> 0\n\rExtracting: " + odd + " -> 0\n");
  EXPECT_EQ(read_file(nested / "x.pak.0000.png"), carved(png));
  EXPECT_EQ(read_file(dir_ / (odd + ".0000.png")), carved(png));
}

}  // namespace
