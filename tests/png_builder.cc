#include "png_builder.h"

#include <png.h>
#include <stdlib.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testutil {

namespace {

int channels(int color_type) {
  switch (color_type) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

}  // namespace

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}

PngShape sized(uint32_t width, uint32_t height, uint32_t seed,
               int idat_pieces) {
  PngShape s;
  s.width = width;
  s.height = height;
  s.seed = seed;
  s.idat_pieces = idat_pieces;
  return s;
}

std::string chunk(const std::string& type, const std::string& data) {
  std::string body = type + data;
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(body.data()),
                    static_cast<uInt>(body.size()));
  return be32(static_cast<uint32_t>(data.size())) + body +
         be32(static_cast<uint32_t>(crc));
}

std::string make_png(const PngShape& s) {
  std::string ihdr = be32(s.width) + be32(s.height);
  ihdr += static_cast<char>(s.bit_depth);
  ihdr += static_cast<char>(s.color_type);
  ihdr += std::string(2, '\0');  // compression, filter
  ihdr += static_cast<char>(s.interlaced ? 1 : 0);

  std::mt19937 rng(s.seed);
  std::string raw;
  auto add_rows = [&](uint32_t width, uint32_t height) {
    size_t row_bytes =
        (size_t{width} * channels(s.color_type) * s.bit_depth + 7) / 8;
    for (uint32_t y = 0; y < height; ++y) {
      if (s.content == Content::kNoise) {
        raw += '\0';  // filter type None
        for (size_t x = 0; x < row_bytes; ++x) {
          unsigned char b = static_cast<unsigned char>(rng());
          // Palette indices must stay inside the 4-entry palette below.
          if (s.color_type == 3)
            b &= s.bit_depth == 8 ? 3 : (s.bit_depth == 1 ? 0xFF : 0x33);
          raw += static_cast<char>(b);
        }
        continue;
      }
      // The bytes after filtering, which are what compresses; any of them
      // decode, whatever the filter type.
      raw += static_cast<char>(rng() % 5);
      std::string row(row_bytes, '\0');
      if (s.content == Content::kPhoto) {
        for (char& b : row) b = static_cast<char>(int(rng() % 9) - 4);
      } else if (s.content == Content::kScreenshot) {
        // Half the rows flat, the others with runs of text.
        for (size_t x = rng() % 2 ? row_bytes : rng() % 80; x < row_bytes;) {
          for (size_t n = 3 + rng() % 12; n > 0 && x < row_bytes; --n)
            row[x++] = "\0\x40\xff\x20\x10\x80\x33\xcc"[rng() % 8];
          x += rng() % 60;
        }
      } else {
        for (size_t x = rng() % 64; x < row_bytes; x += 1 + rng() % 128)
          row[x] = static_cast<char>(rng());
      }
      raw += row;
    }
  };
  if (!s.interlaced) {
    add_rows(s.width, s.height);
  } else {
    // Each pass is the image's pixels from (x0, y0) on, every dx and dy.
    const uint32_t x0[] = {0, 4, 0, 2, 0, 1, 0}, dx[] = {8, 8, 4, 4, 2, 2, 1};
    const uint32_t y0[] = {0, 0, 4, 0, 2, 0, 1}, dy[] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; ++p) {
      uint32_t w = s.width > x0[p] ? (s.width - x0[p] + dx[p] - 1) / dx[p] : 0;
      uint32_t h =
          s.height > y0[p] ? (s.height - y0[p] + dy[p] - 1) / dy[p] : 0;
      if (w > 0) add_rows(w, h);
    }
  }
  uLongf zlen = compressBound(static_cast<uLong>(raw.size()));
  std::string z(zlen, '\0');
  if (compress2(reinterpret_cast<Bytef*>(z.data()), &zlen,
                reinterpret_cast<const Bytef*>(raw.data()),
                static_cast<uLong>(raw.size()),
                s.content == Content::kNoise ? Z_DEFAULT_COMPRESSION : 9) !=
      Z_OK)
    throw std::runtime_error("compress failed");
  z.resize(zlen);

  std::string png("\x89PNG\r\n\x1a\n", 8);
  png += chunk("IHDR", ihdr);
  if (s.color_type == 3)
    png += chunk("PLTE", std::string("\0\0\0\xff\0\0\0\xff\0\0\0\xff", 12));
  for (const std::string& c : s.before_idat) png += c;
  int pieces = s.idat_pieces < 1 ? 1 : s.idat_pieces;
  size_t step = (z.size() + pieces - 1) / pieces;
  if (s.idat_size != 0) {
    step = s.idat_size;
    pieces = static_cast<int>((z.size() + step - 1) / step);
  }
  for (int i = 0; i < pieces; ++i) {
    size_t from = std::min(z.size(), i * step);
    png += chunk("IDAT", z.substr(from, std::min(step, z.size() - from)));
  }
  for (const std::string& c : s.after_idat) png += c;
  png += chunk("IEND", "");
  return png;
}

std::string carved(const std::string& png) {
  size_t pos = 8;
  size_t end_of_last_idat = 0;
  while (pos + 8 <= png.size()) {
    uint32_t len = (uint32_t(uint8_t(png[pos])) << 24) |
                   (uint32_t(uint8_t(png[pos + 1])) << 16) |
                   (uint32_t(uint8_t(png[pos + 2])) << 8) |
                   uint32_t(uint8_t(png[pos + 3]));
    std::string type = png.substr(pos + 4, 4);
    pos += 12 + size_t{len};
    if (type == "IDAT") end_of_last_idat = pos;
  }
  return png.substr(0, end_of_last_idat) +
         std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
}

bool decodes(const std::string& png, uint32_t* width, uint32_t* height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size()))
    return false;
  image.format = PNG_FORMAT_RGBA;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
  if (width) *width = image.width;
  if (height) *height = image.height;
  png_image_free(&image);
  return ok && !PNG_IMAGE_FAILED(image);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path make_temp_dir() {
  std::string templ =
      (std::filesystem::temp_directory_path() / "pngcarve_test_XXXXXX")
          .string();
  if (mkdtemp(templ.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  return templ;
}

std::string filler(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  // Lower-case letters and digits only: no upper-case tag can form.
  for (char& c : s) c = "abcdefghijklmnopqrstuvwxyz0123456789"[rng() % 36];
  return s;
}

std::string decoy_filler(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() % 256);
  for (size_t at = rng() % 300; at + 4 <= n; at += 150 + rng() % 300)
    s.replace(at, 4, rng() % 2 ? "IDAT" : "IEND");
  for (size_t at = 0; (at = s.find("IHDR", at)) != std::string::npos;)
    s[at] = 'i';
  return s;
}

}  // namespace testutil
