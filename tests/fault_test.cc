// End-to-end fault tests: large and odd inputs, odd names, interruption.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "png_builder.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

void write_at(const fs::path& path, off_t at, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), at),
            static_cast<ssize_t>(bytes.size()));
  close(fd);
}

TEST_F(FaultTest, SparseInputPastFourGiBWithChunkCrossingTheMark) {
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

TEST_F(FaultTest, TenThousandAndFirstImageIsNamedWithFiveDigits) {
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

TEST_F(FaultTest, LongPathsAndNonUtf8NamesWork) {
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

TEST_F(FaultTest, InterruptDuringLargeCopyKeepsFinishedImages) {
  signal(SIGPIPE, SIG_IGN);  // the writer sees EPIPE once the tool is gone
  std::string png = make_png(sized(40, 40, 3));
  ASSERT_EQ(mkfifo((dir_ / "stream").c_str(), 0600), 0);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    int fd = open((dir_ / "stream").c_str(), O_WRONLY);
    std::string head = png + png + png + "IHDR" + std::string(17, 'i') +
                       std::string(
                           "\x7f\xff\xff\xff"
                           "IDAT",
                           8);
    bool ok = write(fd, head.data(), head.size()) ==
              static_cast<ssize_t>(head.size());
    std::string block(1 << 16, 'z');
    while (ok && !stop) ok = write(fd, block.data(), block.size()) > 0;
    close(fd);
  });
  pid_t pid = start_tool(dir_, {"stream"});
  fs::path partial = dir_ / "stream.0003.png";
  for (int i = 0; i < 1000; ++i) {
    std::error_code ec;
    uintmax_t size = fs::file_size(partial, ec);
    if (!ec && size > (1 << 20)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGINT);
  Result r = finish_tool(pid, dir_);
  stop = true;
  // Should the tool have ended before it opened the pipe, release the writer.
  close(open((dir_ / "stream").c_str(), O_RDONLY | O_NONBLOCK));
  writer.join();
  EXPECT_EQ(r.status, 128 + SIGINT);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(read_file(dir_ / ("stream.000" + std::to_string(i) + ".png")),
              carved(png));
  std::string cut = read_file(partial);
  EXPECT_GT(cut.size(), 1u << 20);
  EXPECT_EQ(cut.substr(0, 16), carved(png).substr(0, 16));
}

}  // namespace
