// End-to-end tests of pngcarve-report's mending on volumes that the file
// systems' own tools build: FAT32 by mkfs.vfat and mtools, ext4 by
// mkfs.ext4 and debugfs. Each volume is filled with small files, every
// other one is deleted, then PNGs are copied in, so that many lie in
// pieces; the file system's map of each PNG is the truth the record is held
// to. Chance IHDR tags in the kept files run on over every PNG after them,
// which are carved inside their runs. No mount is needed.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "png_builder.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

constexpr uint64_t kCluster = 4096;
constexpr int kFillFiles = 200;
constexpr int kPngs = 40;

// Where a file's bytes lie on the volume: runs of (offset, length), in the
// file's order.
using Map = std::vector<std::pair<uint64_t, uint64_t>>;

// Runs `command` with the file systems' tools on the PATH, quietly; true if
// it succeeded.
bool sh(const std::string& command) {
  return std::system(("PATH=$PATH:/usr/sbin:/sbin MTOOLS_SKIP_CHECK=1 " +
                      command + " >/dev/null 2>&1")
                         .c_str()) == 0;
}
std::string out(const std::string& command) {
  return output_of("PATH=$PATH:/usr/sbin:/sbin MTOOLS_SKIP_CHECK=1 " + command +
                   " 2>/dev/null");
}

// Joins clusters (or blocks) that follow one another into runs of bytes.
void add_cluster(Map* map, uint64_t offset) {
  if (!map->empty() && map->back().first + map->back().second == offset)
    map->back().second += kCluster;
  else
    map->emplace_back(offset, kCluster);
}

uint32_t le(const std::string& s, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | uint8_t(s[at + i]);
  return v;
}

// A FAT32 volume of 4 KiB clusters (the least FAT32 allows is 65,525 of
// them), its fill run up to a few clusters short of its end: mtools goes on
// allocating where it left off, so the first PNGs begin in those clusters
// and wrap around to the holes, their later pieces before their start.
std::vector<Map> fat32(const fs::path& vol, const std::vector<fs::path>& fill,
                       const std::vector<fs::path>& pngs) {
  std::string v = "-i '" + vol.string() + "' ";
  std::string names, deleted, copied;
  for (size_t i = 0; i < fill.size(); ++i) {
    names += " '" + fill[i].string() + "'";
    if (i % 2 == 0) deleted += " ::/" + fill[i].filename().string();
  }
  for (const fs::path& p : pngs) copied += " '" + p.string() + "'";
  fs::path rest = vol.parent_path() / "rest";
  if (!sh("mkfs.vfat -F 32 -S 512 -s 8 -C '" + vol.string() + "' 266240") ||
      !sh("mcopy " + v + names + " ::/"))
    return {};
  std::string info = out("minfo " + v);
  size_t free = info.find("free clusters=");
  if (free == std::string::npos) return {};
  std::ofstream(rest).close();
  fs::resize_file(rest, (std::stoull(info.substr(free + 14)) - 5) * kCluster);
  if (!sh("mcopy " + v + "'" + rest.string() + "' ::/") ||
      !sh("mdel " + v + deleted) || !sh("mcopy " + v + copied + " ::/"))
    return {};
  // Cluster 2 is the first of the data area, after the reserved sectors
  // and the FATs.
  std::string boot = read_file(vol).substr(0, 512);
  uint64_t data = (le(boot, 14, 2) + le(boot, 16, 1) * le(boot, 36, 4)) * 512;
  std::vector<Map> maps;
  for (const fs::path& p : pngs) {
    // "::/p0.png <66421-66426> <3-5>"
    std::istringstream runs(
        out("mshowfat " + v + "::/" + p.filename().string()));
    Map map;
    std::string run;
    runs >> run;
    while (runs >> run) {
      uint64_t first = std::stoull(run.substr(1)), last = first;
      if (size_t dash = run.find('-'); dash != std::string::npos)
        last = std::stoull(run.substr(dash + 1));
      for (uint64_t c = first; c <= last; ++c)
        add_cluster(&map, data + (c - 2) * kCluster);
    }
    maps.push_back(map);
  }
  return maps;
}

// An ext4 volume of 64 MiB in 4 KiB blocks, written by debugfs.
std::vector<Map> ext4(const fs::path& vol, const std::vector<fs::path>& fill,
                      const std::vector<fs::path>& pngs) {
  fs::path commands = vol.parent_path() / "commands";
  {
    std::ofstream c(commands);
    for (const fs::path& f : fill)
      c << "write " << f.string() << " " << f.filename().string() << "\n";
    for (size_t i = 0; i < fill.size(); i += 2)
      c << "rm " << fill[i].filename().string() << "\n";
    for (const fs::path& p : pngs)
      c << "write " << p.string() << " " << p.filename().string() << "\n";
  }
  if (!sh("mkfs.ext4 -q -b 4096 -F '" + vol.string() + "' 64M") ||
      !sh("debugfs -w -f '" + commands.string() + "' '" + vol.string() + "'"))
    return {};
  std::vector<Map> maps;
  for (const fs::path& p : pngs) {
    std::istringstream blocks(out("debugfs -R 'blocks " +
                                  p.filename().string() + "' '" + vol.string() +
                                  "'"));
    Map map;
    std::ifstream v(vol, std::ios::binary);
    for (uint64_t b; blocks >> b;) {
      // A file of more than 4 extents lists its extent tree's block too.
      char magic[2] = {};
      v.seekg(static_cast<std::streamoff>(b * kCluster));
      v.read(magic, 2);
      if (magic[0] != '\x0a' || magic[1] != '\xf3')
        add_cluster(&map, b * kCluster);
    }
    maps.push_back(map);
  }
  return maps;
}

struct FileSystem {
  const char* name;
  const char* tools;  // what must be on the PATH
  int backward;       // pieces before their image's first, at least
  std::function<std::vector<Map>(const fs::path&, const std::vector<fs::path>&,
                                 const std::vector<fs::path>&)>
      build;
};

void PrintTo(const FileSystem& system, std::ostream* os) { *os << system.name; }

class VolumeTest : public TempDirTest,
                   public ::testing::WithParamInterface<FileSystem> {};

// The record's pieces for a PNG of `size` bytes that lies in `map`: its
// bytes from offset 16 on (past the signature, IHDR's length and tag).
std::string pieces_of(const Map& map, uint64_t size) {
  std::string s;
  uint64_t at = 0;  // in the file
  for (auto [offset, length] : map) {
    uint64_t from = std::max<uint64_t>(at, 16),
             to = std::min(at + length, size);
    if (from < to)
      s += (s.empty() ? "" : ";") + std::to_string(offset + (from - at)) + "+" +
           std::to_string(to - from);
    at += length;
  }
  return s;
}

// How many of the rows of `png` (not interlaced, 8-bit RGB) inflate from
// its IDAT bytes that lie in its first `kept` bytes.
uint32_t rows_before(const std::string& png, uint64_t kept, uint32_t width) {
  std::string z;
  for (size_t at = 8; at + 12 <= png.size();) {
    uint32_t length = uint32_t(uint8_t(png[at])) << 24 |
                      uint32_t(uint8_t(png[at + 1])) << 16 |
                      uint32_t(uint8_t(png[at + 2])) << 8 |
                      uint8_t(png[at + 3]);
    if (png.compare(at + 4, 4, "IDAT") == 0 && at + 8 < kept)
      z += png.substr(at + 8, std::min<uint64_t>(length, kept - (at + 8)));
    at += 12 + size_t{length};
  }
  std::string raw(png.size() * 4, '\0');
  z_stream s{};
  inflateInit(&s);
  s.next_in = reinterpret_cast<Bytef*>(z.data());
  s.avail_in = static_cast<uInt>(z.size());
  s.next_out = reinterpret_cast<Bytef*>(raw.data());
  s.avail_out = static_cast<uInt>(raw.size());
  inflate(&s, Z_SYNC_FLUSH);
  inflateEnd(&s);
  return static_cast<uint32_t>(s.total_out / (1 + 3 * size_t{width}));
}

// PNGs of several sizes and IDAT chunk sizes, three of them interlaced, on a
// volume fragmented by its own tools. Of those the file system split, the
// ones in 2 pieces are all rebuilt, and at least 80% of those in 3 to 5,
// each to the original's bytes, from the pieces the file system gives; no
// image is rebuilt wrong, and none in one piece is touched. One PNG's
// second piece is then overwritten: the rows before it are salvaged.
TEST_P(VolumeTest, RebuildsWhatTheFileSystemSplit) {
  const FileSystem& system = GetParam();
  std::istringstream tools(system.tools);
  for (std::string tool; tools >> tool;)
    if (out("command -v " + tool).empty())
      GTEST_SKIP() << tool
                   << " is missing: install dosfstools, mtools and "
                      "e2fsprogs to run this test";
  std::vector<fs::path> fill, files;
  std::vector<std::string> pngs;
  std::srand(7);
  fs::create_directory(dir_ / "files");
  // Text, and every third file high-entropy bytes, as media and archives
  // are. Four kept files hold an IHDR tag by chance near their end, its
  // fields no image's and its next chunk's length a random 32-bit number:
  // each runs on over the rest of the volume, the later ones inside it.
  for (int i = 0; i < kFillFiles; ++i) {
    fill.push_back(dir_ / "files" / ("f" + std::to_string(i)));
    const size_t size = 4096 + std::rand() % (124 * 1024);
    std::string bytes = filler(size, i);
    if (i % 3 == 2) {
      std::mt19937 rng(i);
      for (char& c : bytes) c = static_cast<char>(rng());
      for (size_t at = 0; (at = bytes.find("IHDR", at)) != std::string::npos;)
        bytes[at] = 'i';
    }
    if (i % 50 == 1) {
      const std::string tag(
          "IHDR\x3b\x9a\xe1\x07\xd2\x11\x40\x5c\x77\x0f\x93\x21\xa8\xc4"
          "\x5e\x02\xfb\xe1\x23\x45\x67\x9a\x13\x77\x02",
          29);
      bytes.replace(bytes.size() - 200, tag.size(), tag);
    }
    write_file(fill.back(), bytes);
  }
  const uint32_t widths[] = {50, 120, 250}, heights[] = {40, 100, 200};
  const int idats[] = {1, 3, 10, 40};
  std::vector<PngShape> shapes;
  std::vector<std::string> labels;
  for (int i = 0; i < kPngs; ++i) {
    shapes.push_back(
        sized(widths[i % 3], heights[i / 3 % 3], i, idats[i / 9 % 4]));
    shapes.back().interlaced = i % 17 == 5;
    labels.push_back("noise");
  }
  // Then as real writers make them: photographs, screenshots and line art
  // of 16 to 2,000 pixels, at zlib's level 9, their data in one IDAT or in
  // IDATs of 8 or 64 KiB.
  const struct {
    Content content;
    const char* what;
    uint32_t width, height;
  } real[] = {
      {Content::kPhoto, "photo", 120, 90},
      {Content::kPhoto, "photo", 300, 200},
      {Content::kPhoto, "photo", 400, 300},
      {Content::kPhoto, "photo", 1024, 120},
      {Content::kPhoto, "photo", 32, 32},
      {Content::kScreenshot, "screenshot", 800, 600},
      {Content::kScreenshot, "screenshot", 1280, 720},
      {Content::kScreenshot, "screenshot", 2000, 1200},
      {Content::kScreenshot, "screenshot", 300, 200},
      {Content::kScreenshot, "screenshot", 64, 64},
      {Content::kLineArt, "line art", 16, 16},
      {Content::kLineArt, "line art", 48, 48},
      {Content::kLineArt, "line art", 256, 256},
      {Content::kLineArt, "line art", 1000, 800},
      {Content::kLineArt, "line art", 2000, 300},
  };
  const size_t idat_sizes[] = {0, 8 << 10, 64 << 10};
  for (size_t k = 0; k < std::size(real); ++k) {
    PngShape shape = sized(real[k].width, real[k].height, 100 + k, 1);
    shape.content = real[k].content;
    shape.idat_size = idat_sizes[k % 3];
    shapes.push_back(shape);
    labels.push_back(
        std::string(real[k].what) + " " + std::to_string(real[k].width) + "x" +
        std::to_string(real[k].height) +
        (k % 3
             ? ", IDATs of " + std::to_string(idat_sizes[k % 3] >> 10) + " KiB"
             : ", one IDAT"));
  }
  const int count = static_cast<int>(shapes.size());
  for (int i = 0; i < count; ++i) {
    pngs.push_back(make_png(shapes[i]));
    files.push_back(dir_ / "files" / ("p" + std::to_string(i) + ".png"));
    write_file(files.back(), pngs.back());
  }
  fs::path vol = dir_ / "vol.img";
  std::vector<Map> maps = system.build(vol, fill, files);
  ASSERT_EQ(maps.size(), pngs.size()) << system.name << " volume not built";

  // The last PNG not interlaced, in 2 or more pieces, whose first holds
  // rows, loses its second.
  int lost = -1;
  for (int i = kPngs - 1; i >= 0 && lost < 0; --i)
    if (maps[i].size() >= 2 && !shapes[i].interlaced &&
        rows_before(pngs[i], maps[i][0].second, shapes[i].width) >= 2)
      lost = i;
  ASSERT_GE(lost, 0);
  {
    std::fstream v(vol, std::ios::in | std::ios::out | std::ios::binary);
    v.seekp(static_cast<std::streamoff>(maps[lost][1].first));
    v << filler(maps[lost][1].second, 99);
  }

  ToolOptions report;
  report.program = PNGCARVE_REPORT_BINARY;
  Result r = run_tool(dir_, {"--csv", "vol.img"}, report);
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<uint64_t, std::vector<std::string>> carved;    // by IHDR tag offset
  std::map<std::string, std::vector<std::string>> twins;  // by output
  int junk = 0;  // recorded, and not written
  for (const auto& row : csv_rows(r.out)) {
    if (row.size() < 16 || row[0] == "input") continue;
    if (row[10] == "junk") {
      ++junk;
      EXPECT_EQ(row[14], "junk");
      EXPECT_FALSE(fs::exists(dir_ / row[1])) << row[1];
    }
    if (row[1].find(".mended.") != std::string::npos ||
        row[1].find(".salvaged.") != std::string::npos)
      twins[row[1]] = row;
    else
      carved[std::stoull(row[2])] = row;
  }
  int split[7] = {}, rebuilt[7] = {};  // by pieces, 6 for more than 5
  int backward = 0;    // pieces of rebuilt PNGs that lie before their first
  int inside = 0;      // PNGs carved inside a chance tag's run
  std::string misses;  // of PNGs in 2 to 5 pieces, each named
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(system.name + std::string(" p") + std::to_string(i));
    size_t n = std::min<size_t>(maps[i].size(), 6);
    auto row = carved.find(maps[i][0].first + 12);
    ASSERT_NE(row, carved.end()) << labels[i];
    inside += !row->second[13].empty();
    std::string name = row->second[1];
    name = name.substr(0, name.size() - 4);
    if (n == 1) {
      EXPECT_EQ(row->second[10], "ok");
      EXPECT_EQ(twins.count(name + ".mended.png"), 0u);
      continue;
    }
    ++split[n];
    if (i == lost) {
      auto s = twins.find(name + ".salvaged.png");
      ASSERT_NE(s, twins.end());
      uint32_t height = 0, expected = rows_before(pngs[i], maps[i][0].second,
                                                  shapes[i].width);
      EXPECT_TRUE(decodes(read_file(dir_ / s->first), nullptr, &height));
      EXPECT_EQ(s->second[12], std::to_string(height) + "/" +
                                   std::to_string(shapes[i].height));
      EXPECT_GE(height + 1, expected) << "rows wholly before the fault";
      EXPECT_LE(height, expected);
      continue;
    }
    auto m = twins.find(name + ".mended.png");
    if (m == twins.end()) {
      if (n <= 5) {
        misses += "  p" + std::to_string(i) + " (" + labels[i] + ", " +
                  std::to_string(pngs[i].size()) + " bytes) in " +
                  std::to_string(maps[i].size()) + " pieces:";
        for (auto [offset, length] : maps[i])
          misses += " " + std::to_string(offset / kCluster) + "+" +
                    std::to_string(length / kCluster);
        misses += "\n";
      }
      continue;
    }
    EXPECT_EQ(read_file(dir_ / m->first), pngs[i]) << "a false join";
    EXPECT_EQ(m->second[11], pieces_of(maps[i], pngs[i].size()));
    ++rebuilt[n];
    for (auto [offset, length] : maps[i]) backward += offset < maps[i][0].first;
  }
  EXPECT_EQ(junk, 4);
  EXPECT_GE(inside * 2, count) << "most PNGs lie behind the chance tags";
  EXPECT_GE(split[2], 5) << "too few PNGs in 2 pieces to tell";
  EXPECT_GE(backward, system.backward);
  int many = split[3] + split[4] + split[5] -
             (maps[lost].size() > 2 && maps[lost].size() <= 5);
  std::printf(
      "%s: %d PNGs in 2 pieces, %d rebuilt; %d in 3 to 5, %d "
      "rebuilt; %d in more, %d rebuilt; %d pieces before their first; %d "
      "of %d PNGs inside chance tags' runs\n%s",
      system.name, split[2], rebuilt[2], many,
      rebuilt[3] + rebuilt[4] + rebuilt[5], split[6], rebuilt[6], backward,
      inside, count, misses.empty() ? "" : ("missed:\n" + misses).c_str());
  EXPECT_EQ(rebuilt[2], split[2] - (maps[lost].size() == 2)) << misses;
  EXPECT_GE((rebuilt[3] + rebuilt[4] + rebuilt[5]) * 10, many * 8) << misses;
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, VolumeTest,
    ::testing::Values(FileSystem{"FAT32", "mkfs.vfat mcopy mdel minfo mshowfat",
                                 1, fat32},
                      FileSystem{"ext4", "mkfs.ext4 debugfs", 0, ext4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
