// Test helpers: real PNG images built with zlib, decoded with libpng, and
// files in temporary folders.
#ifndef PNGCARVE_TESTS_PNG_BUILDER_H_
#define PNGCARVE_TESTS_PNG_BUILDER_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testutil {

// What the pixels are like, and so how they compress: noise, stored as
// is; or as real writers' images come, filtered with every filter type and
// compressed at zlib's level 9: a photograph's small differences, a
// screenshot's flat areas and runs of text, line art's lone strokes.
enum class Content { kNoise, kPhoto, kScreenshot, kLineArt };

struct PngShape {
  uint32_t width = 4;
  uint32_t height = 3;
  int bit_depth = 8;
  int color_type = 2;   // 0 gray, 2 RGB, 3 palette, 4 gray+alpha, 6 RGBA
  int idat_pieces = 1;  // the compressed stream is split into this many IDATs
  uint32_t seed = 1;    // pixel contents
  bool interlaced = false;  // Adam7: the rows of seven passes in turn
  std::vector<std::string> before_idat;  // whole chunks placed before IDAT
  std::vector<std::string> after_idat;   // whole chunks placed before IEND
  Content content = Content::kNoise;
  size_t idat_size = 0;  // IDATs of this much data but the last, if not 0
};

// Returns a shape of the given size, pixel seed and number of IDAT chunks.
PngShape sized(uint32_t width, uint32_t height, uint32_t seed,
               int idat_pieces = 1);

// Returns `v` as 4 big-endian bytes, as PNG stores lengths.
std::string be32(uint32_t v);

// Returns one chunk: big-endian length, type, data and a correct CRC.
std::string chunk(const std::string& type, const std::string& data);

// Returns a whole PNG file of the given shape.
std::string make_png(const PngShape& shape);

// Returns what the extractor writes for a well-formed PNG file: the file up
// to the end of its last IDAT chunk, then the standard IEND chunk.
std::string carved(const std::string& png);

// Decodes `png` with libpng. Returns true if it is a valid image, and sets
// its size.
bool decodes(const std::string& png, uint32_t* width = nullptr,
             uint32_t* height = nullptr);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// Returns a new empty folder under the system's temporary folder.
std::filesystem::path make_temp_dir();

// A deterministic byte string of length `n` with no "IHDR" or "IDAT" in it.
std::string filler(size_t n, uint32_t seed);

// A deterministic byte string of length `n` of every byte value, bytes
// below 5 (valid filter types) among them, with an "IDAT" or "IEND" tag
// about every 300 bytes, at every offset modulo 512, and no "IHDR": what
// tempts mending to a wrong join.
std::string decoy_filler(size_t n, uint32_t seed);

}  // namespace testutil

#endif  // PNGCARVE_TESTS_PNG_BUILDER_H_
