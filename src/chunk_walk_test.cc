#include "chunk_walk.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using pngcarve::ChunkWalk;

std::string be32(uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
          static_cast<char>(n >> 8), static_cast<char>(n)};
}

std::string chunk_header(uint32_t length, const char* type) {
  return be32(length) + type;
}

// What the walk makes of `input`, fed `piece` bytes at a time (0: whole):
// each part as a letter and its bytes ("d13c4h8"), '|' where the run
// ended, then the run's length and whether the walk is between chunks.
std::string walked(const std::string& input, size_t piece, bool run) {
  ChunkWalk walk;
  run ? walk.start_run() : walk.start_chunks();
  std::string parts;
  char last = 0;
  size_t count = 0;
  auto flush = [&] {
    if (count > 0) parts += last + std::to_string(count);
    count = 0;
  };
  size_t at = 0;
  while (at < input.size() && !walk.ended()) {
    const size_t n =
        piece == 0 ? input.size() - at : std::min(piece, input.size() - at);
    const size_t took =
        walk.push(reinterpret_cast<const unsigned char*>(input.data()) + at, n);
    const char letter = "hdc"[static_cast<int>(walk.part())];
    if (letter != last) flush();
    last = letter;
    count += took;
    at += took;
    // A part ends where the next begins: both of two parts of one letter
    // (a CRC, then a header) show apart.
    if (walk.done()) flush();
  }
  flush();
  if (walk.ended()) parts += '|';
  return parts + " run " + std::to_string(walk.run()) +
         (walk.between() ? " between" : " inside");
}

const std::string kTail(17, 'i');  // the IHDR's data and CRC

TEST(ChunkWalkTest, PartsAndEndsAreTheSameHoweverTheBytesArePieced) {
  struct Row {
    const char* name;
    std::string input;
    bool run;
    std::string expected;
  };
  const Row rows[] = {
      {"run ended by the chunk after its IDAT",
       kTail + chunk_header(3, "IDAT") + "abc" + "crc!" +
           chunk_header(0, "IEND") + "junk after",
       true, "d13c4h8d3c4h8| run 32 between"},
      {"chunks before the first IDAT don't end it",
       kTail + chunk_header(1, "tEXt") + "a" + "crc!" +
           chunk_header(0, "IDAT") + "crc!" + chunk_header(0, "tIME"),
       true, "d13c4h8d1c4h8c4h8| run 42 between"},
      {"length FF FF FF FC wraps to no byte after the header",
       kTail + chunk_header(0xFFFFFFFC, "tEXt") + chunk_header(0, "IDAT"), true,
       "d13c4h8h8 run 33 inside"},
      {"length FF FF FF FF wraps to 3 bytes, no CRC",
       kTail + chunk_header(0xFFFFFFFF, "tEXt") + "abc" +
           chunk_header(0, "IDAT"),
       true, "d13c4h8d3h8 run 36 inside"},
      {"the input ends inside a header, which the run leaves out",
       kTail + std::string(3, '\0'), true, "d13c4h3 run 17 inside"},
      {"the input ends inside the IHDR's bytes", kTail.substr(0, 5), true,
       "d5 run 5 inside"},
      {"the input ends inside a chunk's data",
       kTail + chunk_header(10, "IDAT") + "abc", true,
       "d13c4h8d3 run 28 inside"},
      {"walked as chunks, no chunk ends it",
       chunk_header(0, "IDAT") + "crc!" + chunk_header(2, "IEND") + "ab" +
           "crc!",
       false, "h8c4h8d2c4 run 26 between"},
  };
  for (const Row& row : rows)
    for (size_t piece :
         {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{7}})
      EXPECT_EQ(walked(row.input, piece, row.run), row.expected)
          << row.name << ", in pieces of " << piece;
}

TEST(ChunkWalkTest, PassedBytesCountAsPushedOnesAndStopAtTheNextHeader) {
  ChunkWalk walk;
  walk.start_run();
  EXPECT_EQ(walk.to_header(), 17u);
  EXPECT_EQ(walk.pass(100), 17u);  // data and CRC, then the header waits
  EXPECT_TRUE(walk.between());
  const std::string header = chunk_header(0xFFFFFFFE, "IDAT");
  walk.push(reinterpret_cast<const unsigned char*>(header.data()), 8);
  EXPECT_TRUE(walk.wraps());
  EXPECT_EQ(walk.to_header(), 2u);
  EXPECT_EQ(walk.pass(1), 1u);
  EXPECT_EQ(walk.run(), 17u + 8 + 1);
}

}  // namespace
