#include "check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <utility>

#include "png_builder.h"

namespace {

using namespace testutil;

const std::string kSig("\x89PNG\r\n\x1a\n", 8);

std::string ihdr(uint32_t w, uint32_t h, int depth, int type, int interlace) {
  return chunk(
      "IHDR", be32(w) + be32(h) +
                  std::string{static_cast<char>(depth), static_cast<char>(type),
                              0, 0, static_cast<char>(interlace)});
}

std::string deflated(size_t raw_bytes) {
  std::string raw(raw_bytes, '\0');
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::string z(size, '\0');
  compress(reinterpret_cast<Bytef*>(z.data()), &size,
           reinterpret_cast<const Bytef*>(raw.data()), raw.size());
  z.resize(size);
  return z;
}

// A chunk whose stored CRC is one off.
std::string bad_crc(const std::string& chunk) {
  std::string c = chunk;
  c.back() = static_cast<char>(c.back() ^ 1);
  return c;
}

const std::string kIend = chunk("IEND", "");

// Gray 8-bit 3 x 3: 12 bytes plain, 15 interlaced (Adam7's passes 1, 4, 5, 6
// and 7 hold 1, 1, 2, 2 and 3 pixels in 1, 1, 1, 2 and 1 rows).
std::string gray3(int interlace, size_t raw, const std::string& extra = "") {
  return kSig + ihdr(3, 3, 8, 0, interlace) + extra +
         chunk("IDAT", deflated(raw)) + kIend;
}

// The check's answer, and whether it found the image sound.
std::pair<std::string, bool> check(const std::string& png, bool cut,
                                   size_t piece) {
  pngcarve::StructureCheck c;
  c.start();
  const auto* data = reinterpret_cast<const unsigned char*>(png.data());
  for (size_t at = 0; at < png.size(); at += piece)
    c.push(data + at, std::min(piece, png.size() - at));
  return {c.end(cut), c.sound(cut)};
}

TEST(StructureCheckTest, FindsTheFirstFaultInPiecesOfAnySize) {
  const std::string whole = make_png({});
  const std::string z = deflated(3 * (1 + 4 * 3));
  struct Row {
    const char* what;
    std::string png;
    bool cut;
    const char* expected;
    bool sound;  // whole but for ancillary chunks' CRCs
  } rows[] = {
      {"whole", whole, false, "ok", true},
      {"whole, IDAT in pieces", make_png(sized(9, 7, 3, 4)), false, "ok", true},
      {"ended by the input", whole, true, "cut", false},
      {"a chunk unfinished", whole.substr(0, whole.size() - 14), false, "cut",
       false},
      // An ancillary chunk's CRC, which browsers let be; a critical one's.
      {"wrong CRC in tEXt",
       gray3(0, 12, bad_crc(chunk("tEXt", std::string("a\0b", 3)))), false,
       "crc", true},
      {"wrong CRC in IDAT",
       kSig + ihdr(3, 3, 8, 0, 0) + bad_crc(chunk("IDAT", deflated(12))) +
           kIend,
       false, "crc", false},
      {"wrong CRC in IHDR",
       kSig + bad_crc(ihdr(3, 3, 8, 0, 0)) + chunk("IDAT", deflated(12)) +
           kIend,
       false, "crc", false},
      {"a length that wraps",
       kSig + ihdr(3, 3, 8, 0, 0) + be32(0xFFFFFFFD) + "tEXt" + "x" +
           chunk("IDAT", deflated(12)) + kIend,
       false, "crc", false},
      {"stream cut short",
       kSig + ihdr(4, 3, 8, 2, 0) + chunk("IDAT", z.substr(0, z.size() - 4)) +
           kIend,
       false, "inflate", false},
      {"Adler-32 wrong",
       kSig + ihdr(4, 3, 8, 2, 0) +
           chunk("IDAT",
                 z.substr(0, z.size() - 1) + static_cast<char>(z.back() ^ 1)) +
           kIend,
       false, "inflate", false},
      {"no IDAT", kSig + ihdr(3, 3, 8, 0, 0) + kIend, false, "inflate", false},
      {"not zlib",
       kSig + ihdr(3, 3, 8, 0, 0) + chunk("IDAT", "nonsense") + kIend, false,
       "inflate", false},
      {"bytes after the stream's end",
       kSig + ihdr(4, 3, 8, 2, 0) + chunk("IDAT", z + "trailing") + kIend,
       false, "ok", true},
      {"a row short", gray3(0, 8), false, "size", false},
      {"a row more", gray3(0, 16), false, "size", false},
      {"far more than the IHDR implies", gray3(0, 1 << 20), false, "size",
       false},
      {"RGB of 4 bits",
       kSig + ihdr(3, 3, 4, 2, 0) + chunk("IDAT", deflated(12)) + kIend, false,
       "size", false},
      {"width 0",
       kSig + ihdr(0, 3, 8, 0, 0) + chunk("IDAT", deflated(3)) + kIend, false,
       "size", false},
      {"interlace method 2", gray3(2, 12), false, "size", false},
      {"plain 3 x 3", gray3(0, 12), false, "ok", true},
      {"Adam7 3 x 3", gray3(1, 15), false, "ok", true},
      {"Adam7 sized as if plain", gray3(1, 12), false, "size", false},
  };
  for (const Row& row : rows) {
    for (size_t piece : {row.png.size(), size_t{1}, size_t{7}}) {
      EXPECT_EQ(check(row.png, row.cut, piece),
                std::make_pair(std::string(row.expected), row.sound))
          << row.what << ", in pieces of " << piece;
    }
  }
}

TEST(StructureCheckTest, RawSizeFollowsTheIhdr) {
  auto raw = [](uint32_t w, uint32_t h, int depth, int type, int interlace) {
    std::string c = ihdr(w, h, depth, type, interlace);
    return pngcarve::raw_size(reinterpret_cast<const unsigned char*>(c.data()) +
                              8);
  };
  EXPECT_EQ(raw(1, 1, 1, 0, 0), 2);        // a filter byte and one byte
  EXPECT_EQ(raw(9, 1, 1, 0, 0), 3);        // 9 bits take two bytes
  EXPECT_EQ(raw(2, 2, 16, 6, 0), 2 * 17);  // 8 bytes a pixel
  EXPECT_EQ(raw(3, 3, 8, 0, 1), 15);
  EXPECT_EQ(raw(0x7FFFFFFF, 1, 8, 0, 0), 0x80000000);
  EXPECT_EQ(raw(0x80000000, 1, 8, 0, 0), -1);
  EXPECT_EQ(raw(1, 1, 8, 1, 0), -1);   // no colour type 1
  EXPECT_EQ(raw(1, 1, 16, 3, 0), -1);  // no 16-bit palette
}

}  // namespace
