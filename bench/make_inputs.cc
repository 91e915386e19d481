// Makes the benchmark's inputs, deterministically (no downloads):
//
//   make_inputs random PATH MIB IMAGES   pseudo-random bytes, images spread
//   make_inputs repeat PATH MIB TEXT     TEXT repeated to MIB MiB
//   make_inputs dense PATH IMAGES [SIDE] small images back to back, SIDE
//                                        pixels square (30 unless given)
//   make_inputs nested PATH IMAGES       as dense, each image holding
//                                        another in a tEXt chunk before
//                                        its data
//   make_inputs runon PATH MIB           one image whose data chunk's
//                                        length runs past the end, MIB MiB
//   make_inputs sparse PATH MIB IMAGES   a sparse file, images past 4 GiB
//   make_inputs exact PATH BYTES         one image of exactly BYTES bytes
//                                        (at least 100), padded by a tEXt
//                                        chunk before its data
//   make_inputs disk PATH MIB IMAGES     a disk of 4 KiB clusters: noise,
//                                        and images at cluster starts, one
//                                        in three in 2 to 5 pieces, a gap
//                                        of up to 64 clusters between
//                                        them, the second one before the
//                                        first in one of those in four
//   make_inputs hostile PATH TAGS        one image whose single 16 MiB
//                                        IDAT chunk fails its CRC, then
//                                        TAGS sectors of 512 bytes, each
//                                        with an IDAT tag where a join
//                                        of the chunk's rest would end
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "png_builder.h"

namespace {

uint64_t state = 0x9E3779B97F4A7C15ull;

uint64_t next() {  // xorshift64
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

// Pseudo-random bytes with every chance "IHDR" broken, so that the only
// images are the ones placed on purpose.
std::string noise(size_t n) {
  std::string s(n + 8, '\0');
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v = next();
    std::memcpy(&s[i], &v, 8);
  }
  s.resize(n);
  for (size_t p = s.find("IHDR"); p != std::string::npos; p = s.find("IHDR", p))
    s[p] = 'i';
  return s;
}

std::string image(uint32_t i, uint32_t side) {
  return testutil::make_png(testutil::sized(side, side, i + 1, 1 + i % 3));
}

void put(FILE* f, const std::string& s) {
  if (std::fwrite(s.data(), 1, s.size(), f) != s.size()) {
    std::perror("write");
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(
        stderr,
        "usage: make_inputs random|repeat|dense|nested|runon|sparse|exact|disk "
        "PATH N [M]\n");
    return 2;
  }
  std::string kind = argv[1];
  FILE* f = std::fopen(argv[2], "wb");
  if (!f) {
    std::perror(argv[2]);
    return 1;
  }
  if (kind == "random" && argc == 5) {
    uint64_t total = std::strtoull(argv[3], nullptr, 10) << 20;
    uint32_t images = static_cast<uint32_t>(std::atoi(argv[4]));
    uint64_t written = 0;
    for (uint32_t i = 0; i < images; ++i) {
      std::string png = image(i, 64 + i % 200);
      uint64_t gap = (total / images) - png.size();
      for (uint64_t g = 0; g < gap; g += 1 << 20)
        put(f,
            noise(static_cast<size_t>(std::min<uint64_t>(1 << 20, gap - g))));
      put(f, png);
      written += gap + png.size();
    }
    put(f, noise(static_cast<size_t>(total - written)));
  } else if (kind == "repeat" && argc == 5) {
    uint64_t total = std::strtoull(argv[3], nullptr, 10) << 20;
    std::string block;
    while (block.size() < (1 << 20)) block += argv[4];
    block.resize(1 << 20);
    for (uint64_t w = 0; w < total; w += block.size()) put(f, block);
  } else if (kind == "dense" && (argc == 4 || argc == 5)) {
    uint32_t images = static_cast<uint32_t>(std::atoi(argv[3]));
    uint32_t side = argc == 5 ? static_cast<uint32_t>(std::atoi(argv[4])) : 30;
    for (uint32_t i = 0; i < images; ++i) put(f, image(i, side));
  } else if (kind == "nested" && argc == 4) {
    uint32_t images = static_cast<uint32_t>(std::atoi(argv[3]));
    for (uint32_t i = 0; i < images; ++i) {
      std::string outer = image(i, 30);
      // After the signature and the IHDR chunk.
      outer.insert(33, testutil::chunk("tEXt", std::string("nest", 5) +
                                                   image(images + i, 20)));
      put(f, outer);
    }
  } else if (kind == "runon" && argc == 4) {
    uint64_t total = std::strtoull(argv[3], nullptr, 10) << 20;
    std::string png = image(0, 8);
    // The IHDR chunk (8 + 13 + 4 bytes after the signature), then an IDAT
    // header whose length reaches past the end of the input.
    std::string head =
        png.substr(8, 25) + std::string("\xff\xff\xff\xf0IDAT", 8);
    put(f, head);
    for (uint64_t w = head.size(); w < total; w += 1 << 20)
      put(f,
          noise(static_cast<size_t>(std::min<uint64_t>(1 << 20, total - w))));
  } else if (kind == "sparse" && argc == 5) {
    off_t total = static_cast<off_t>(std::atoll(argv[3])) << 20;
    int images = std::atoi(argv[4]);
    for (int i = 0; i < images; ++i) {
      // Past 4 GiB, one image every 64 MiB plus an odd offset.
      off_t at = (off_t{4} << 30) + (off_t{i} << 26) + 12345 * i;
      fseeko(f, at, SEEK_SET);
      put(f, image(static_cast<uint32_t>(i), 100));
    }
    std::fflush(f);
    if (ftruncate(fileno(f), total) != 0) std::perror("ftruncate");
  } else if (kind == "exact" && argc == 4) {
    const size_t bytes = std::strtoull(argv[3], nullptr, 10);
    testutil::PngShape shape = testutil::sized(4, 4, 1);
    const std::string bare = testutil::make_png(shape);
    const std::string text = "Comment";
    const size_t chunk = 12 + text.size() + 1;  // length, type, CRC, NUL
    if (bytes < bare.size() + chunk) {
      std::fprintf(stderr, "make_inputs: %zu bytes is too few\n", bytes);
      return 2;
    }
    shape.before_idat.push_back(testutil::chunk(
        "tEXt", text + '\0' + std::string(bytes - bare.size() - chunk, '.')));
    put(f, testutil::make_png(shape));
  } else if (kind == "disk" && argc == 5) {
    constexpr uint64_t kCluster = 4096;
    const uint64_t total = std::strtoull(argv[3], nullptr, 10) << 20;
    const uint64_t images = std::strtoull(argv[4], nullptr, 10);
    for (uint64_t w = 0; w < total; w += 1 << 20)
      put(f,
          noise(static_cast<size_t>(std::min<uint64_t>(1 << 20, total - w))));
    // Each image has a region of its own, and its pieces lie in it.
    const uint64_t region = total / kCluster / images;
    for (uint64_t i = 0; i < images; ++i) {
      uint32_t side = 40 + static_cast<uint32_t>(next() % 120);
      std::string png = testutil::make_png(testutil::sized(
          side, side, static_cast<uint32_t>(i + 1), 1 + int(next() % 12)));
      uint64_t clusters = (png.size() + kCluster - 1) / kCluster;
      uint64_t pieces = i % 3 == 1 ? 2 + next() % 4 : 1;
      pieces = std::min(pieces, clusters);
      // Where each piece begins, in clusters from the region's start.
      std::vector<uint64_t> at(pieces), length(pieces, clusters / pieces);
      length.back() += clusters % pieces;
      std::vector<uint64_t> order(pieces);
      for (uint64_t k = 0; k < pieces; ++k) order[k] = k;
      if (pieces > 1 && i % 4 == 1) std::swap(order[0], order[1]);
      uint64_t end = 0;
      for (uint64_t k : order) {
        at[k] = end + 1 + next() % 64;
        end = at[k] + length[k];
      }
      if (end > region) {
        std::fprintf(stderr, "make_inputs: too many images for the disk\n");
        return 2;
      }
      for (uint64_t k = 0, from = 0; k < pieces; ++k) {
        fseeko(f, static_cast<off_t>((i * region + at[k]) * kCluster),
               SEEK_SET);
        put(f, png.substr(from, length[k] * kCluster));
        from += length[k] * kCluster;
      }
    }
  } else if (kind == "hostile" && argc == 4) {
    constexpr size_t kSector = 512;
    const uint64_t tags = std::strtoull(argv[3], nullptr, 10);
    const std::string data = noise(16 << 20);
    std::string png = testutil::make_png(testutil::sized(1, 1, 1));
    png = png.substr(0, 33) +
          testutil::chunk("IDAT", data).substr(0, 8 + data.size()) +
          "\xde\xad\xbe\xef";  // a CRC that fails
    put(f, png);
    const size_t residue = png.size() % kSector;
    std::string sectors(kSector - residue, 'q');
    for (uint64_t t = 0; t < tags; ++t) {
      std::string sector(kSector, 'q');
      sector.replace((residue + 4) % (kSector - 8), 4, "IDAT");
      sectors += sector;
    }
    put(f, sectors);
  } else {
    std::fprintf(stderr, "make_inputs: bad arguments\n");
    return 2;
  }
  return std::fclose(f) == 0 ? 0 : 1;
}
