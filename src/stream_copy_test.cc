#include "stream_copy.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "carve_harness.h"

namespace {

using pngcarve::Input;

// An input stream over `bytes`, and an in-memory destination.
struct Copy {
  explicit Copy(const std::string& bytes) : source(bytes) {
    src = testutil::open_memory(source);
    pngcarve::input_open(in, src);
    dst = open_memstream(&text, &size);
  }
  ~Copy() {
    fclose(src);
    if (dst) fclose(dst);
    free(text);
  }
  std::string written() {
    fflush(dst);
    return std::string(text, size);
  }
  std::string source;
  FILE* src;
  FILE* dst;
  char* text = nullptr;
  size_t size = 0;
  Input in;
};

std::string bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

TEST(StreamCopyTest, CopiesExactCountsAndStopsQuietlyAtEndOfSource) {
  const std::string data = bytes(600000);
  for (uint32_t count : {0u, 1u, 4096u, 4097u, 262144u, 262145u, 599999u}) {
    Copy c(data);
    EXPECT_TRUE(pngcarve::fcopy(c.dst, c.in, count));
    EXPECT_EQ(c.written(), data.substr(0, count)) << count;
    // What follows is still there to read.
    char next = 0;
    EXPECT_EQ(pngcarve::input_read(c.in, &next, 1), 1u);
    EXPECT_EQ(next, data[count]);
  }
  for (uint32_t count : {600001u, 0x80000000u, 0xFFFFFFFFu}) {
    Copy c(data);
    EXPECT_TRUE(pngcarve::fcopy(c.dst, c.in, count));
    EXPECT_EQ(c.written(), data) << count;
  }
}

TEST(StreamCopyTest, ConsecutiveCopiesAndReadsSeeEveryByteOnce) {
  const std::string data = bytes(1000000);
  Copy c(data);
  uint32_t step = 1;
  std::string header(8, '\0');
  std::string expected;
  size_t pos = 0;
  while (pos < data.size()) {
    ASSERT_TRUE(pngcarve::fcopy(c.dst, c.in, step));
    expected += data.substr(pos, step);
    pos = std::min(data.size(), pos + step);
    size_t got = pngcarve::input_read(c.in, header.data(), 8);
    EXPECT_EQ(header.substr(0, got), data.substr(pos, got));
    pos += got;
    step = step * 3 + 1;
  }
  EXPECT_EQ(c.written(), expected);
}

TEST(StreamCopyTest, EmptySourceCopiesNothing) {
  Copy c("");
  EXPECT_TRUE(pngcarve::fcopy(c.dst, c.in, 100));
  EXPECT_EQ(c.written(), "");
  char b;
  EXPECT_EQ(pngcarve::input_read(c.in, &b, 1), 0u);
}

TEST(StreamCopyTest, FailedWriteIsReported) {
  Copy c(bytes(100000));
  FILE* full = fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_FALSE(pngcarve::fcopy(full, c.in, 50000));
  fclose(full);
}

TEST(StreamCopyTest, FillKeepsUnreadBytesContiguous) {
  const std::string data = bytes(pngcarve::kInputBufferSize + 10);
  Copy c(data);
  ASSERT_EQ(pngcarve::input_fill(c.in, 1), pngcarve::kInputBufferSize);
  c.in.pos = pngcarve::kInputBufferSize - 3;
  ASSERT_EQ(pngcarve::input_fill(c.in, 4), 13u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&c.in.buf[c.in.pos]), 13),
            data.substr(pngcarve::kInputBufferSize - 3));
}

TEST(StreamCopyTest, ByteOrderHelpers) {
  EXPECT_EQ(pngcarve::swap_endian(0x0D000000u), 13u);
  EXPECT_EQ(pngcarve::swap_endian(0x12345678u), 0x78563412u);
  const unsigned char len[4] = {0x00, 0x00, 0x00, 0x0D};
  EXPECT_EQ(pngcarve::load_be32(len), 13u);
  const unsigned char big[4] = {0xFF, 0xFF, 0xFF, 0xFC};
  EXPECT_EQ(pngcarve::load_be32(big), 0xFFFFFFFCu);
  EXPECT_EQ(pngcarve::min(5, 3), 3u);
  EXPECT_EQ(pngcarve::min(3, 5), 3u);
  EXPECT_EQ(pngcarve::min(0xFFFFFFFFu, 4096), 4096u);
}

}  // namespace
