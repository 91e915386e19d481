// End-to-end tests: the real binary on real files in temporary folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "png_builder.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

std::string progress(const std::string& path, int n) {
  return "\rExtracting: " + path + " -> " + std::to_string(n);
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(CliTest, NoArgumentsPrintsNothing) {
  Result r = run_tool(dir_, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, PathsAreProcessedInOrderAndUnopenableOnesPassSilently) {
  std::string a = make_png(sized(4, 3, 3));
  std::string b = make_png(sized(20, 3, 4));
  write_file(dir_ / "one.pak", filler(100, 1) + a + filler(50, 2) + b);
  write_file(dir_ / "-two.bin", a);
  fs::create_directory(dir_ / "folder");
  Result r = run_tool(dir_, {"one.pak", "missing.bin", "folder", "-two.bin",
                             "one.pak", "empty"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, progress("one.pak", 0) + progress("one.pak", 1) + "\n" +
                       progress("-two.bin", 0) + "\n" + progress("one.pak", 0) +
                       progress("one.pak", 1) + "\n");
  EXPECT_EQ(read_file(dir_ / "one.pak.0000.png"), carved(a));
  EXPECT_EQ(read_file(dir_ / "one.pak.0001.png"), carved(b));
  EXPECT_EQ(read_file(dir_ / "-two.bin.0000.png"), carved(a));
  EXPECT_TRUE(decodes(read_file(dir_ / "one.pak.0001.png")));
  EXPECT_FALSE(fs::exists(dir_ / "one.pak.0002.png"));
  EXPECT_FALSE(fs::exists(dir_ / "missing.bin.0000.png"));
  EXPECT_FALSE(fs::exists(dir_ / "folder.0000.png"));
}

TEST_F(CliTest, OutputGoesBesideInputInItsDirectory) {
  fs::create_directories(dir_ / "game" / "data");
  std::string png = make_png({});
  write_file(dir_ / "game" / "data" / "data.pak", filler(10, 1) + png);
  Result r = run_tool(dir_, {"game/data/data.pak"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, progress("game/data/data.pak", 0) + "\n");
  EXPECT_EQ(read_file(dir_ / "game" / "data" / "data.pak.0000.png"),
            carved(png));
}

TEST_F(CliTest, InputThroughFifoIsReadForward) {
  std::string png = make_png(sized(200, 200, 1, 5));
  std::string input;
  for (int i = 0; i < 40; ++i) input += filler(9000 + i, i) + png;
  ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  std::thread writer([&] {
    FILE* f = fopen((dir_ / "pipe").c_str(), "wb");
    for (size_t i = 0; i < input.size(); i += 1000)
      fwrite(input.data() + i, 1, std::min<size_t>(1000, input.size() - i), f);
    fclose(f);
  });
  Result r = run_tool(dir_, {"pipe"});
  writer.join();
  EXPECT_EQ(r.status, 0);
  for (int i = 0; i < 40; ++i) {
    char name[32];
    snprintf(name, sizeof name, "pipe.%04d.png", i);
    EXPECT_EQ(read_file(dir_ / name), carved(png)) << name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "pipe.0040.png"));
}

TEST_F(CliTest, CreateFailureEndsRunWithStatusOne) {
  // The input name is allowed; the output name, 9 bytes longer, is not.
  std::string name(250, 'n');
  std::string png = make_png({});
  write_file(dir_ / "first.bin", png);
  write_file(dir_ / name, png);
  write_file(dir_ / "later.bin", png);
  Result r = run_tool(dir_, {"first.bin", name, "later.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, progress("first.bin", 0) + "\n" + progress(name, 0) +
                       "\n  Failed to create file !!\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::exists(dir_ / "first.bin.0000.png"));
  EXPECT_FALSE(fs::exists(dir_ / "later.bin.0000.png"));
}

TEST_F(CliTest, WriteFailureEndsRunWithStatusOneAndKeepsPartialFile) {
  PngShape big = sized(400, 400, 9, 3);
  std::string small = make_png({});
  std::string large = make_png(big);
  ASSERT_GT(large.size(), 300000u);
  write_file(dir_ / "in.bin", small + large + small);
  write_file(dir_ / "later.bin", small);
  Result r = run_tool(dir_, {"in.bin", "later.bin"}, 200000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, progress("in.bin", 0) + progress("in.bin", 1) +
                       "\n  Failed to write file !!\n");
  EXPECT_EQ(read_file(dir_ / "in.bin.0000.png"), carved(small));
  EXPECT_EQ(fs::file_size(dir_ / "in.bin.0001.png"), 200000u);
  EXPECT_FALSE(fs::exists(dir_ / "in.bin.0002.png"));
  EXPECT_FALSE(fs::exists(dir_ / "later.bin.0000.png"));
}

TEST_F(CliTest, WriteFailureOnCloseIsCaught) {
  // The image is smaller than the output buffer, so the failing write
  // happens only when the file is flushed and closed.
  std::string png = make_png(sized(30, 30, 1));
  ASSERT_LT(png.size(), 60000u);
  write_file(dir_ / "in.bin", png);
  Result r = run_tool(dir_, {"in.bin"}, 100);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, progress("in.bin", 0) + "\n  Failed to write file !!\n");
  EXPECT_TRUE(fs::exists(dir_ / "in.bin.0000.png"));
}

}  // namespace
